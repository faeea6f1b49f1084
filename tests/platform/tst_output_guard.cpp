// Where the program may write: never onto the device or image it scans, nor
// into a file system stored on it; and under sudo, what it makes belongs to
// the person who ran it.
#include "platform/invoking_user.h"
#include "platform/output_guard.h"
#include "scan/safe_name.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int sh(const QString& command)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", env.value("PATH") + ":/usr/sbin:/sbin");
    p.setProcessEnvironment(env);
    p.start("sh", {"-c", command});
    return p.waitForFinished(60000) ? p.exitCode() : -1;
}

bool have(const char* tool)
{
    return !QStandardPaths::findExecutable(tool).isEmpty() ||
           !QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin"}).isEmpty();
}

}  // namespace

class tst_output_guard : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;
    std::string dir_;

private slots:
    void initTestCase()
    {
        QVERIFY(tmp_.isValid());
        dir_ = tmp_.path().toStdString();
    }

    void the_source_itself_and_what_is_no_regular_file()
    {
        const std::string image = dir_ + "/card.img";
        QCOMPARE(sh(QString("truncate -s 1M '%1'").arg(QString::fromStdString(image))), 0);
        const std::string volume = image + ":p1";
        QCOMPARE(::link(image.c_str(), (dir_ + "/hard").c_str()), 0);
        QCOMPARE(::symlink(image.c_str(), (dir_ + "/soft").c_str()), 0);
        QCOMPARE(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
        for (const std::string& target : {image, dir_ + "/hard", dir_ + "/soft"})
            QVERIFY(platform::output_refusal(target, volume).find("scanned disk image itself") != std::string::npos);
        QVERIFY(platform::output_refusal(dir_ + "/fifo", volume).find("not a regular file") != std::string::npos);
        QVERIFY(platform::output_refusal(dir_, volume).find("not a regular file") != std::string::npos);
        QVERIFY(platform::output_refusal(image, volume, platform::output_kind::folder).find("not a folder") != std::string::npos);
        struct stat st {};
        if (::stat("/dev/loop0", &st) == 0 && S_ISBLK(st.st_mode))
            QVERIFY(platform::output_refusal("/dev/loop0", volume).find("block device") != std::string::npos);
        // Beside the image, on the same file system, is fine: a new file
        // there does not touch the image's bytes.
        QCOMPARE(platform::output_refusal(dir_ + "/new/deeper/scan.sav", volume), std::string());
        QCOMPARE(platform::output_refusal(dir_, volume, platform::output_kind::folder), std::string());
        QCOMPARE(platform::output_refusal("relative.sav", volume), std::string());
    }

    // A file system stored on the scanned image, mounted through a loop
    // device or through FUSE on the image file itself.
    void file_systems_stored_on_the_source()
    {
        if (::geteuid() != 0)
            QSKIP("mounting images needs root");
        const QString dir = QString::fromStdString(dir_);
        int mounted = 0;
        if (have("mkfs.ext2") && have("losetup")) {
            const QString image = dir + "/ext.img";
            QCOMPARE(sh(QString("truncate -s 8M '%1' && mkfs.ext2 -q -F '%1' && mkdir -p '%2/ext'").arg(image, dir)), 0);
            if (sh(QString("mount -o loop '%1' '%2/ext'").arg(image, dir)) == 0) {
                ++mounted;
                const std::string refusal = platform::output_refusal((dir + "/ext/out").toStdString(), image.toStdString() + ":p0",
                                                                     platform::output_kind::folder);
                const std::string other = platform::output_refusal((dir + "/ext/out").toStdString(), dir_ + "/other.img:p0",
                                                                   platform::output_kind::folder);
                sh(QString("umount '%1/ext'").arg(dir));
                QVERIFY2(refusal.find("file system stored on the scanned") != std::string::npos, refusal.c_str());
                QCOMPARE(other, std::string());
            }
        }
        if (have("mkntfs") && have("ntfs-3g") && QFile::exists("/dev/fuse")) {
            const QString image = dir + "/ntfs.img";
            QCOMPARE(sh(QString("truncate -s 8M '%1' && mkntfs -F -q -Q '%1' >/dev/null 2>&1 && mkdir -p '%2/fuse'").arg(image, dir)), 0);
            if (sh(QString("ntfs-3g '%1' '%2/fuse'").arg(image, dir)) == 0) {
                ++mounted;
                const std::string refusal = platform::output_refusal((dir + "/fuse/a/b.jpg").toStdString(), image.toStdString() + ":p0");
                sh(QString("umount '%1/fuse'").arg(dir));
                QVERIFY2(refusal.find("file system stored on the scanned") != std::string::npos, refusal.c_str());
            }
        }
        if (mounted == 0)
            QSKIP("neither a loop mount nor an ntfs-3g mount could be made here");
    }

    // Ways a file system stored on the image hides that from its mount
    // entry: an overlay whose upper folder lies on a loop mount of it (the
    // overlay's source reads "overlay"), a bind mount of a folder of it, and
    // an ntfs-3g mount of an image renamed since (the mount entry keeps the
    // old name).
    void file_systems_stored_on_the_source_under_another_name()
    {
        if (::geteuid() != 0)
            QSKIP("mounting images needs root");
        const QString dir = QString::fromStdString(dir_) + "/hidden";
        QVERIFY(QDir().mkpath(dir));
        int mounted = 0;
        const auto refused = [](const QString& target, const QString& image) {
            const std::string why =
                platform::output_refusal(target.toStdString(), image.toStdString() + ":p0", platform::output_kind::folder);
            return why.find("scanned") != std::string::npos;
        };
        if (have("mkfs.ext2") && have("losetup")) {
            const QString image = dir + "/ext.img";
            QCOMPARE(sh(QString("truncate -s 8M '%1' && mkfs.ext2 -q -F '%1' && mkdir -p '%2/ext' '%2/lower' "
                                "'%2/merged' '%2/bound'").arg(image, dir)), 0);
            if (sh(QString("mount -o loop '%1' '%2/ext' && mkdir -p '%2/ext/upper' '%2/ext/work' '%2/ext/sub'")
                       .arg(image, dir)) == 0) {
                const bool overlay = sh(QString("mount -t overlay overlay -o lowerdir='%1/lower',upperdir='%1/ext/upper',"
                                                "workdir='%1/ext/work' '%1/merged'").arg(dir)) == 0;
                const bool bound = sh(QString("mount --bind '%1/ext/sub' '%1/bound'").arg(dir)) == 0;
                const bool overlay_refused = overlay && refused(dir + "/merged/rec", image);
                const bool bound_refused = bound && refused(dir + "/bound/rec", image);
                const bool other_refused = overlay && refused(dir + "/merged/rec", dir + "/other.img");
                sh(QString("umount '%1/merged'; umount '%1/bound'; umount '%1/ext'").arg(dir));
                if (overlay) {
                    ++mounted;
                    QVERIFY(overlay_refused);
                    QVERIFY(!other_refused);
                } else {
                    qWarning("overlayfs could not be mounted here; its case was not run");
                }
                if (bound) {
                    ++mounted;
                    QVERIFY(bound_refused);
                }
            }
        }
        if (have("mkntfs") && have("ntfs-3g") && QFile::exists("/dev/fuse")) {
            const QString image = dir + "/a.img";
            QCOMPARE(sh(QString("truncate -s 8M '%1' && mkntfs -F -q -Q '%1' >/dev/null 2>&1 && mkdir -p '%2/fuse'")
                            .arg(image, dir)), 0);
            if (sh(QString("ntfs-3g '%1' '%2/fuse'").arg(image, dir)) == 0) {
                ++mounted;
                const QString renamed = dir + "/b.img";
                QCOMPARE(::rename(image.toLocal8Bit().constData(), renamed.toLocal8Bit().constData()), 0);
                const bool renamed_refused = refused(dir + "/fuse/rec", renamed);
                const std::vector<std::string> users = platform::mounts_stored_on(renamed.toStdString());
                sh(QString("umount '%1/fuse'").arg(dir));
                QVERIFY(renamed_refused);
                QCOMPARE(users.size(), size_t(1));
                QVERIFY2(users[0].find("FUSE file system served by ntfs-3g") != std::string::npos, users[0].c_str());
            }
        }
        if (mounted == 0)
            QSKIP("neither an overlay, a bind mount nor an ntfs-3g mount could be made here");
    }

    // Names an exFAT destination cannot hold are written with the characters
    // replaced; a name that still fails says why.
    void names_for_the_destination_file_system()
    {
        QCOMPARE(safe_file_name("doc.txt:secret", name_rules_e::windows), QString("doc.txt_secret"));
        QCOMPARE(safe_file_name("doc.txt:secret"), QString("doc.txt:secret"));
        QCOMPARE(safe_file_name("a<b>c?d*e|f\\g\"h.", name_rules_e::windows), QString("a_b_c_d_e_f_g_h_"));
        QCOMPARE(safe_file_name("con.txt", name_rules_e::windows), QString("_con.txt"));
        QCOMPARE(safe_file_name("LPT1", name_rules_e::windows), QString("_LPT1"));
        QCOMPARE(safe_file_name("console.txt", name_rules_e::windows), QString("console.txt"));
        QCOMPARE(numbered_file_name("x:y.jpg", 2, name_rules_e::windows), QString("x_y (2).jpg"));
        QCOMPARE(destination_name_rules(QString::fromStdString(dir_)), name_rules_e::posix);
        if (::geteuid() != 0 || !have("mkfs.exfat") || !have("mount.exfat-fuse") || !have("losetup"))
            QSKIP("mounting an exFAT image needs root, mkfs.exfat, mount.exfat-fuse and losetup");
        const QString dir = QString::fromStdString(dir_) + "/exfatdest";
        QCOMPARE(sh(QString("mkdir -p '%1/m' && truncate -s 8M '%1/x.img' && mkfs.exfat '%1/x.img' >/dev/null").arg(dir)), 0);
        if (sh(QString("losetup -f --show '%1/x.img' > '%1/loop' && mount.exfat-fuse \"$(cat '%1/loop')\" '%1/m'").arg(dir)) != 0) {
            sh(QString("losetup -d \"$(cat '%1/loop')\"").arg(dir));
            QSKIP("an exFAT image could not be mounted here");
        }
        const name_rules_e rules = destination_name_rules(dir + "/m");
        forget_target_failure();
        const int raw = open_recovery_target(dir + "/m/doc.txt:secret");
        const QString why = last_target_failure();
        const int cleaned = open_recovery_target(dir + "/m/" + safe_file_name("doc.txt:secret", rules));
        if (raw >= 0)
            ::close(raw);
        if (cleaned >= 0)
            ::close(cleaned);
        // The writer keeps a descriptor of its own on the file it created
        // until it sets the file's time; without letting it go the mount
        // stays busy and the image stays attached.
        forget_created_target();
        sh(QString("umount '%1/m'; losetup -d \"$(cat '%1/loop')\"").arg(dir));
        QCOMPARE(rules, name_rules_e::windows);
        QCOMPARE(raw, -1);
        QVERIFY2(why.startsWith("cannot create doc.txt:secret: "), qPrintable(why));
        QVERIFY(cleaned >= 0);
    }

    void created_files_and_folders_belong_to_the_invoking_user()
    {
        if (::geteuid() != 0)
            QSKIP("handing files over needs root");
        qputenv("SUDO_UID", "4321");
        qputenv("SUDO_GID", "8765");
        const std::string folder = dir_ + "/made/for/you";
        QVERIFY(platform::make_folder_for_user(folder));
        const int fd = open_recovery_target(QString::fromStdString(folder + "/a.jpg"));
        qunsetenv("SUDO_UID");
        qunsetenv("SUDO_GID");
        QVERIFY(fd >= 0);
        ::close(fd);
        for (const std::string& path : {dir_ + "/made", folder, folder + "/a.jpg"}) {
            struct stat st {};
            QCOMPARE(::stat(path.c_str(), &st), 0);
            QCOMPARE(st.st_uid, uid_t(4321));
            QCOMPARE(st.st_gid, gid_t(8765));
        }
        struct stat st {};
        QCOMPARE(::stat(tmp_.path().toLocal8Bit().constData(), &st), 0);
        QCOMPARE(st.st_uid, uid_t(0));  // what was there before is left alone
        qputenv("SUDO_UID", "0; rm -rf /");
        uid_t uid = 0;
        gid_t gid = 0;
        QVERIFY(!platform::invoking_user(&uid, &gid));
        qunsetenv("SUDO_UID");
    }
};

QTEST_GUILESS_MAIN(tst_output_guard)
#include "tst_output_guard.moc"
