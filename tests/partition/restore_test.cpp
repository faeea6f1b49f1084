// Putting a saved sector 0 back only onto the disk it came from: the
// backup's record of its disk, the checks on the backup itself, and the
// refusal while a file system on the image is mounted.
#include "disk_image.h"
#include "partition/sector0_backup.h"
#include "platform/raw_device.h"
#include "support/fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <sys/stat.h>

using namespace part_test;

namespace {
QByteArray whole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::string save_backup_of(const QString& disk, std::string* error)
{
    platform::raw_device_c device;
    if (device.open(disk.toStdString()) != 0) {
        *error = device.error();
        return {};
    }
    partition::sector_t sector{};
    device.read_at(0, sector.data(), sector.size());
    return partition::save_sector0_backup(disk.toStdString(), device, sector, error);
}
}  // namespace

class restore_test_c : public QObject {
    Q_OBJECT
    QString dir_;

    // A 1 MiB image whose sector 0 is a boot record marked with tag.
    QString disk(const QString& name, char tag, uint64_t size = 1 << 20)
    {
        const QString path = dir_ + "/" + name;
        QFile::remove(path);
        sector_bytes_t s{};
        s[0] = uint8_t(tag);
        s[510] = 0x55;
        s[511] = 0xAA;
        return make_sparse(path, size) && put_sector(path, 0, s) ? path : QString();
    }

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("partition-restore"));
        QVERIFY(!dir_.isEmpty());
        qputenv("XDG_STATE_HOME", (dir_ + "/state").toLocal8Bit());
    }

    void a_backup_goes_back_only_to_its_own_disk()
    {
        const QString a = disk("a.img", 'a');
        const QString b = disk("b.img", 'b');
        const QString bigger = disk("big.img", 'c', 2 << 20);
        std::string error;
        const std::string backup = save_backup_of(a, &error);
        QVERIFY2(!backup.empty(), error.c_str());
        // Sector 0 first, so a plain sector reader reads the right bytes.
        QCOMPARE(whole(QString::fromStdString(backup)).left(512), whole(a).left(512));

        const QByteArray b_before = whole(b);
        std::string replaced, note;
        bool mismatch = false;
        QCOMPARE(partition::restore_sector0(b.toStdString(), backup, &replaced, &error, &note, false, &mismatch), -1);
        QVERIFY2(error.find("another disk") != std::string::npos && error.find("identity") != std::string::npos,
                 error.c_str());
        QVERIFY(mismatch);
        QCOMPARE(partition::restore_sector0(bigger.toStdString(), backup, &replaced, &error), -1);
        QVERIFY2(error.find("its size (1048576 bytes then, 2097152 now)") != std::string::npos, error.c_str());
        QVERIFY(whole(b) == b_before);
        QVERIFY(replaced.empty());

        // Renamed, the image is still the same disk; forced, another one takes it.
        const QString moved = dir_ + "/a-moved.img";
        QVERIFY(QFile::rename(a, moved));
        QCOMPARE(partition::restore_sector0(moved.toStdString(), backup, &replaced, &error), 0);
        QCOMPARE(partition::restore_sector0(b.toStdString(), backup, &replaced, &error, &note, true), 0);
        QCOMPARE(whole(b).at(0), 'a');
    }

    void backups_that_are_refused()
    {
        const QString target = disk("target.img", 't');
        const QByteArray before = whole(target);
        std::string error, replaced;
        const auto refused = [&](const QString& backup, const char* why) {
            error.clear();
            const bool ok = partition::restore_sector0(target.toStdString(), backup.toStdString(), &replaced, &error) == -1 &&
                            error.find(why) != std::string::npos;
            if (!ok)
                qWarning("%s", error.c_str());
            return ok;
        };
        // An older plain backup: any 512 bytes are not a sector 0.
        const QString plain = dir_ + "/plain.mbr";
        QVERIFY(make_sparse(plain, 512));
        QVERIFY(refused(plain, "0x55AA"));
        // A FIFO is refused at once, never waited on.
        const QString fifo = dir_ + "/fifo.mbr";
        QCOMPARE(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(refused(fifo, "not a regular file"));
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY(refused("/dev/zero", "not a regular file"));
        // A damaged backup of this very disk.
        const std::string good = save_backup_of(target, &error);
        QVERIFY(!good.empty());
        QByteArray bytes = whole(QString::fromStdString(good));
        bytes[700] = char(bytes[700] ^ 1);
        const QString damaged = dir_ + "/damaged.mbr";
        QFile out(damaged);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
        out.close();
        QVERIFY(refused(damaged, "checksum"));
        // Only disks and image files are written.
        error.clear();
        QCOMPARE(partition::restore_sector0(dir_.toStdString(), good, &replaced, &error), -1);
        QVERIFY2(error.find("neither a disk nor a disk image") != std::string::npos, error.c_str());
        QVERIFY(whole(target) == before);

        // An older plain backup that is a boot record still goes back.
        const QString old_style = dir_ + "/old.mbr";
        QFile old(old_style);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(whole(disk("source.img", 's')).left(512)) == 512);
        old.close();
        QCOMPARE(partition::restore_sector0(target.toStdString(), old_style.toStdString(), &replaced, &error), 0);
        QCOMPARE(whole(target).at(0), 's');
    }

    // A partition of the image mounted through a loop device at its offset,
    // or the image mounted through FUSE: the file is not written under it.
    void refused_while_the_image_is_mounted()
    {
        if (!is_root())
            QSKIP("skip: loop devices and mounting need root");
        PART_NEED_TOOL(losetup, "losetup");
        PART_NEED_TOOL(mkfs_ext2, "mkfs.ext2");
        PART_NEED_TOOL(mount, "mount");
        PART_NEED_TOOL(umount, "umount");
        const QString image = disk("mounted.img", 'm', 40 << 20);
        const QString part = dir_ + "/part.img";
        QVERIFY(make_sparse(part, 32 << 20));
        QCOMPARE(run_tool(mkfs_ext2, {"-q", "-F", part}), 0);
        QVERIFY(place_file(image, 1 << 20, part));
        std::string error;
        const std::string backup = save_backup_of(image, &error);
        QVERIFY(!backup.empty());
        const QString where = dir_ + "/mnt";
        QDir().mkpath(where);
        QByteArray out;
        if (run_tool(losetup, {"-f", "--show", "-o", "1048576", image}, &out) != 0)
            QSKIP("skip: no free loop device");
        const QString loop = QString::fromLatin1(out.trimmed());
        if (run_tool(mount, {loop, where}) != 0) {
            run_tool(losetup, {"-d", loop});
            QSKIP("skip: cannot mount a loop device here");
        }
        // (The mount itself writes the file system's own blocks.)
        const QByteArray before = read_at(image, 0, 512);
        std::string replaced;
        const int result = partition::restore_sector0(image.toStdString(), backup, &replaced, &error);
        const std::string early = partition::mounted_refusal(image.toStdString());
        run_tool(umount, {where});
        run_tool(losetup, {"-d", loop});
        QCOMPARE(result, -1);
        QVERIFY2(error.find(loop.toStdString() + " on " + where.toStdString()) != std::string::npos, error.c_str());
        QCOMPARE(early, error);
        QVERIFY(read_at(image, 0, 512) == before);
        QVERIFY(replaced.empty());

        const QString ntfs_3g = find_tool("ntfs-3g");
        const QString mkntfs = find_tool("mkntfs");
        if (ntfs_3g.isEmpty() || mkntfs.isEmpty() || !QFile::exists("/dev/fuse"))
            QSKIP("skip: ntfs-3g, mkntfs or /dev/fuse missing; the FUSE case was not run");
        const QString ntfs = dir_ + "/ntfs.img";
        QVERIFY(make_sparse(ntfs, 8 << 20));
        QCOMPARE(run_tool(mkntfs, {"-F", "-q", "-Q", ntfs}), 0);
        if (run_tool(ntfs_3g, {ntfs, where}) != 0)
            QSKIP("skip: ntfs-3g cannot mount here; the FUSE case was not run");
        const std::string fuse = partition::mounted_refusal(ntfs.toStdString());
        run_tool(umount, {where});
        QVERIFY2(fuse.find("FUSE file system served by ntfs-3g") != std::string::npos, fuse.c_str());
    }
};

QTEST_GUILESS_MAIN(restore_test_c)
#include "restore_test.moc"
