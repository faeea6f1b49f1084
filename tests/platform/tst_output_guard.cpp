// Where the program may write: never onto the device or image it scans, nor
// into a file system stored on it; and under sudo, what it makes belongs to
// the person who ran it.
#include "platform/invoking_user.h"
#include "platform/output_guard.h"
#include "scan/safe_name.h"

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
