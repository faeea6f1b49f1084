// Disks opened for a user who may not: the helper that hands over a
// descriptor, its refusals, and a scan and a recovery run as nobody through
// it, compared with the same run as root, on a loop device over a fixture.
#include "platform/device_access.h"
#include "support/fixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString bin(const char* name) { return qEnvironmentVariable("QUARVEL_BIN_DIR") + "/" + name; }
std::string helper() { return bin("quarvel-open-device").toStdString(); }

// "" when the machine has no loop device for us.
QString attach_loop(const std::string& image, long long offset, long long size)
{
    if (offset < 0 || size <= 0)
        return {};
    QProcess attach;
    attach.start("losetup", {"--find", "--show", "--read-only", "--offset", QString::number(offset), "--sizelimit",
                             QString::number(size), QString::fromStdString(image)});
    if (!attach.waitForFinished(20000) || attach.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(attach.readAllStandardOutput()).trimmed();
}

struct run_s {
    int status = -1;
    QByteArray out, err;
};

run_s run(const QString& program, const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    run_s r;
    if (!p.waitForFinished(120000))
        return r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// Name and SHA-256 of every file below dir, sorted.
QStringList tree_hashes(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out << QDir(dir).relativeFilePath(path) + " " + QString::fromStdString(test_support::sha256_of_file(path.toStdString()));
    }
    out.sort();
    return out;
}

}  // namespace

class tst_device_access : public QObject {
    Q_OBJECT

private slots:
    // Everything it is given comes from an unprivileged caller.
    void helper_refuses()
    {
        const std::string shm = "/dev/shm/quarvel-device-access-" + std::to_string(::getpid());
        const std::string file = shm + "-file", out_link = shm + "-link";
        auto cleanup = qScopeGuard([&] {
            ::unlink(file.c_str());
            ::unlink(out_link.c_str());
        });
        const bool have_shm = ::close(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)) == 0 &&
                              ::symlink("/etc/hostname", out_link.c_str()) == 0;
        struct case_s {
            std::string path;
            const char* why;
        };
        std::vector<case_s> cases = {{"/etc/hostname", "is not under /dev"},
                                     {"/dev/../etc/hostname", "leads out of /dev"},
                                     {"/dev/null", "is not a block device"},
                                     {"/dev/no-such-node", "No such file"}};
        if (have_shm) {
            cases.push_back({file, "is not a block device"});
            cases.push_back({out_link, "leads out of /dev"});
        }
        for (const auto& c : cases) {
            std::string error;
            const int fd = platform::open_through_helper(c.path, platform::descriptor_mode::read, &error, helper(), "");
            if (fd >= 0)
                ::close(fd);
            QVERIFY2(fd < 0, c.path.c_str());
            QVERIFY2(error.find(c.why) != std::string::npos, error.c_str());
        }
        // Extra words, another mode, or an answer channel that is not a socket.
        QCOMPARE(run(bin("quarvel-open-device"), {"read", "/dev/null", "extra"}).status, 2);
        QCOMPARE(run(bin("quarvel-open-device"), {"write", "/dev/null"}).status, 2);
        const run_s piped = run(bin("quarvel-open-device"), {"read", "/dev/null"});
        QCOMPARE(piped.status, 1);
        QVERIFY(piped.err.contains("must be a socket"));
    }

    // As root (pkexec's part), the helper hands back the very device named,
    // and the program as nobody scans and recovers through it what root does.
    void user_scans_through_helper()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: the helper opens the disk as root, and the scan runs as nobody");
        if (QStandardPaths::findExecutable("runuser").isEmpty())
            QSKIP("runuser is not installed");
        QUARVEL_FIXTURE(f, "demo");
        // The first volume alone on a loop device: a kernel in a container
        // may make no partition nodes for a partitioned one.
        const auto volumes = test_support::entries_on(f, "volume", 1);
        QVERIFY(!volumes.empty());
        const QString volume = attach_loop(f.image, test_support::field_number(volumes.front(), 3),
                                           test_support::field_number(volumes.front(), 4));
        if (volume.isEmpty())
            QSKIP("no loop device here (losetup needs root and /dev/loop*)");
        auto detach = qScopeGuard([&] { QProcess::execute("losetup", {"-d", volume}); });
        struct stat st {};
        QVERIFY(::stat(volume.toLocal8Bit().constData(), &st) == 0);
        QVERIFY2(!(st.st_mode & S_IROTH), "the partition is readable by everyone; nothing would be proved");

        std::string error;
        const int fd = platform::open_through_helper(volume.toStdString(), platform::descriptor_mode::read, &error, helper(), "");
        QVERIFY2(fd >= 0, error.c_str());
        struct stat handed {};
        QVERIFY(::fstat(fd, &handed) == 0);
        ::close(fd);
        QVERIFY(S_ISBLK(handed.st_mode) && handed.st_rdev == st.st_rdev);

        // A helper that needs no launcher, where nobody may start it: a
        // setuid copy stands in for pkexec.
        char pattern[] = "/tmp/quarvel-device-access-XXXXXX";
        QVERIFY(::mkdtemp(pattern));
        const QString dir = pattern;
        auto remove = qScopeGuard([&] { QDir(dir).removeRecursively(); });
        QVERIFY(::chmod(pattern, 0755) == 0);
        const QString setuid_helper = dir + "/quarvel-open-device";
        QVERIFY(QFile::copy(bin("quarvel-open-device"), setuid_helper));
        QVERIFY(::chmod(setuid_helper.toLocal8Bit().constData(), 04755) == 0);
        for (const char* sub : {"/root-out", "/user-out"})
            QVERIFY(QDir().mkpath(dir + sub));
        const passwd* nobody = ::getpwnam("nobody");
        QVERIFY(nobody);
        QVERIFY(::chown((dir + "/user-out").toLocal8Bit().constData(), nobody->pw_uid, nobody->pw_gid) == 0);

        QProcessEnvironment user_env = QProcessEnvironment::systemEnvironment();
        user_env.insert("QUARVEL_DEVICE_HELPER", setuid_helper);
        user_env.insert("QUARVEL_DEVICE_LAUNCHER", "");
        user_env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");  // no udisks2: the helper's way
        user_env.insert("HOME", dir + "/user-out");
        user_env.insert("XDG_RUNTIME_DIR", dir + "/user-out");
        const QString cli = bin("quarvel-cli");
        const auto as_user = [&](QStringList args) {
            return run("runuser", QStringList{"-u", "nobody", "--", cli} + args, user_env);
        };

        const run_s listed = as_user({"--json", "volumes"});
        QCOMPARE(listed.status, 0);
        QVERIFY2(listed.out.contains("\"device_path\":\"" + volume.toUtf8() + "\"") &&
                     listed.out.contains("\"locked\":1"),
                 listed.out.constData());

        const run_s root_scan = run(cli, {"--json", "scan", volume});
        QCOMPARE(root_scan.status, 0);
        QVERIFY(!root_scan.out.isEmpty());
        const run_s user_scan = as_user({"--json", "scan", volume});
        QVERIFY2(user_scan.status == 0, user_scan.err.constData());
        QCOMPARE(user_scan.out, root_scan.out);

        QCOMPARE(run(cli, {"recover", volume, "--to", dir + "/root-out", "--all"}).status, 0);
        const run_s user_recover = as_user({"recover", volume, "--to", dir + "/user-out/files", "--all"});
        QVERIFY2(user_recover.status == 0, user_recover.err.constData());
        const QStringList written = tree_hashes(dir + "/root-out");
        QVERIFY(!written.isEmpty());
        QCOMPARE(tree_hashes(dir + "/user-out/files"), written);

        // When asking fails, nobody is told why and what to do, by scan and
        // by the partition search alike: a stand-in pkexec says what the
        // real one says, or there is none.
        QVERIFY(QDir().mkpath(dir + "/fake-bin"));
        const auto fake_pkexec = [&](const QByteArray& words, int status) {
            QFile script(dir + "/fake-bin/pkexec");
            QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
            script.write("#!/bin/sh\necho '" + words + "' >&2\nexit " + QByteArray::number(status) + "\n");
            script.close();
            QVERIFY(::chmod(QFile::encodeName(script.fileName()).constData(), 0755) == 0);
        };
        user_env.remove("QUARVEL_DEVICE_LAUNCHER");
        const auto refused = [&](const QString& path, QStringList args) {
            return run("runuser", QStringList{"-u", "nobody", "--", "env", "PATH=" + path, cli} + args, user_env);
        };
        const QByteArray way_out = "run as a user with access to the disk";
        struct case_s {
            QByteArray pkexec_says;
            int status;
            QByteArray told;
        };
        for (const case_s& c :
             {case_s{"Error executing command as another user: No authentication agent found.", 127,
                     "no polkit authentication agent runs in this session"},
              case_s{"Error executing command as another user: Request dismissed", 126, "the password prompt was cancelled"},
              case_s{"Error executing command as another user: Not authorized", 127, "permission was refused"}}) {
            fake_pkexec(c.pkexec_says, c.status);
            for (const QStringList& args : {QStringList{"scan", volume}, QStringList{"partitions", volume}}) {
                const run_s r = refused(dir + "/fake-bin:/usr/bin:/bin", args);
                QVERIFY2(r.status == 1 && r.err.contains(c.told) && r.err.contains(way_out),
                         (args.join(' ').toUtf8() + ": " + r.err).constData());
            }
        }
        const run_s nobody_to_ask = refused(dir + "/no-such-bin", {"scan", volume});
        QVERIFY2(nobody_to_ask.status == 1 && nobody_to_ask.err.contains("neither udisks2 nor pkexec") &&
                     nobody_to_ask.err.contains(way_out),
                 nobody_to_ask.err.constData());
    }

    // pkexec's words and codes, as the person is told them.
    void pkexec_refusals()
    {
        using platform::open_refusal_e;
        const std::string prefix = "Error executing command as another user: ";
        QCOMPARE(platform::pkexec_refusal(127, prefix + "No authentication agent found."), open_refusal_e::no_agent);
        QCOMPARE(platform::pkexec_refusal(126, prefix + "Request dismissed"), open_refusal_e::dismissed);
        QCOMPARE(platform::pkexec_refusal(127, prefix + "Not authorized\n\nThis incident has been reported.\n"),
                 open_refusal_e::not_authorized);
        QCOMPARE(platform::pkexec_refusal(127, "Error getting authority: Error initializing authority: Could not connect"),
                 open_refusal_e::no_way_to_ask);
        QCOMPARE(platform::pkexec_refusal(1, "something else"), open_refusal_e::other);
        // The way on is named only for a refusal of access.
        QVERIFY(platform::with_way_out("r", open_refusal_e::dismissed).find("--image") != std::string::npos);
        QCOMPARE(platform::with_way_out("r", open_refusal_e::other), std::string("r"));
        QCOMPARE(platform::with_way_out("r", open_refusal_e::none), std::string("r"));
    }

    // The udisks2 way, end to end: nobody asks udisks2, polkit says yes (a
    // rule for this test alone), OpenForBackup hands the descriptor over and
    // the scan matches root's. Needs a running udev (udisks2 lists only the
    // disks udev has seen) and udisksd and polkitd installed; the test starts
    // its own bus, udisksd and polkitd.
    void user_scans_through_udisks()
    {
        if (::geteuid() != 0)
            QSKIP("needs root: it starts udisksd and polkitd on a bus of its own");
        const QString udisksd = "/usr/libexec/udisks2/udisksd", polkitd = "/usr/lib/polkit-1/polkitd";
        if (!QFileInfo::exists(udisksd) || !QFileInfo::exists(polkitd) ||
            QStandardPaths::findExecutable("dbus-daemon").isEmpty() || QStandardPaths::findExecutable("runuser").isEmpty())
            QSKIP("udisks2, polkitd, dbus-daemon or runuser is not installed");
        if (!QFileInfo::exists("/run/udev/control"))
            QSKIP("udev is not running here, and udisks2 lists only the disks udev has seen");
        QUARVEL_FIXTURE(f, "demo");
        const auto volumes = test_support::entries_on(f, "volume", 1);
        QVERIFY(!volumes.empty());
        const QString volume = attach_loop(f.image, test_support::field_number(volumes.front(), 3),
                                           test_support::field_number(volumes.front(), 4));
        if (volume.isEmpty())
            QSKIP("no loop device here (losetup needs root and /dev/loop*)");
        auto detach = qScopeGuard([&] { QProcess::execute("losetup", {"-d", volume}); });
        QProcess::execute("udevadm", {"settle", "--timeout=10"});

        char pattern[] = "/tmp/quarvel-udisks-XXXXXX";
        QVERIFY(::mkdtemp(pattern));
        const QString dir = pattern;
        auto remove = qScopeGuard([&] { QDir(dir).removeRecursively(); });
        QVERIFY(::chmod(pattern, 0755) == 0);
        const QString rule = "/etc/polkit-1/rules.d/49-quarvel-test-" + QString::number(::getpid()) + ".rules";
        QFile rule_file(rule);
        QVERIFY(QDir().mkpath("/etc/polkit-1/rules.d") && rule_file.open(QIODevice::WriteOnly));
        rule_file.write("polkit.addRule(function(action, subject) {\n"
                        "    if (action.id.indexOf(\"org.freedesktop.udisks2.open-device\") == 0 && subject.user == \"nobody\")\n"
                        "        return polkit.Result.YES;\n});\n");
        rule_file.close();
        auto unrule = qScopeGuard([&] { QFile::remove(rule); });
        QFile config(dir + "/bus.conf");
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(("<busconfig><type>system</type><listen>unix:path=" + dir + "/bus</listen>"
                      "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                      "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n").toUtf8());
        config.close();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir + "/bus");
        std::vector<std::unique_ptr<QProcess>> daemons;
        auto stop = qScopeGuard([&] {
            for (auto it = daemons.rbegin(); it != daemons.rend(); ++it) {
                (*it)->terminate();
                if (!(*it)->waitForFinished(5000))
                    (*it)->kill();
                (*it)->waitForFinished(5000);
            }
        });
        const auto start = [&](const QString& program, const QStringList& args) {
            auto p = std::make_unique<QProcess>();
            p->setProcessEnvironment(env);
            p->setStandardOutputFile(QProcess::nullDevice());
            p->setStandardErrorFile(QProcess::nullDevice());
            p->start(program, args);
            const bool started = p->waitForStarted(10000);
            daemons.push_back(std::move(p));
            return started;
        };
        QVERIFY(start("dbus-daemon", {"--nofork", "--config-file=" + dir + "/bus.conf"}));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir + "/bus"), 10000);
        QVERIFY(start(polkitd, {"--no-debug"}));
        QVERIFY(start(udisksd, {}));
        // Ready once it answers for the loop device.
        bool known = false;
        for (int i = 0; i < 40 && !known; ++i) {
            const run_s asked = run("busctl", {"--address=unix:path=" + dir + "/bus", "call", "org.freedesktop.UDisks2",
                                               "/org/freedesktop/UDisks2/Manager", "org.freedesktop.UDisks2.Manager",
                                               "ResolveDevice", "a{sv}a{sv}", "1", "path", "s", volume, "0"}, env);
            known = asked.out.contains("block_devices");
            if (!known)
                QTest::qWait(250);
        }
        if (!known)
            QSKIP("udisksd did not come up or does not see the loop device here");

        QProcessEnvironment user_env = env;
        user_env.insert("QUARVEL_DEVICE_LAUNCHER", "/bin/false");  // the helper's way is shut
        user_env.insert("HOME", dir);
        user_env.insert("XDG_RUNTIME_DIR", dir);
        const QString cli = bin("quarvel-cli");
        const run_s root_scan = run(cli, {"--json", "scan", volume});
        QCOMPARE(root_scan.status, 0);
        const run_s user_scan = run("runuser", {"-u", "nobody", "--", cli, "--json", "scan", volume}, user_env);
        QVERIFY2(user_scan.status == 0, user_scan.err.constData());
        QCOMPARE(user_scan.out, root_scan.out);
    }
};

QTEST_GUILESS_MAIN(tst_device_access)
#include "tst_device_access.moc"
