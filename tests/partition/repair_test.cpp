// The partition table repair: cylinder/head/sector bytes, the sector it
// writes (read back by sfdisk), its refusals, the backup and its restore.
#include "disk_image.h"
#include "partition/boot_code.h"
#include "partition/mbr_layout.h"
#include "partition/partition_repair.h"
#include "partition/sector0_backup.h"
#include "platform/partitions.h"
#include "support/fixtures.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace part_test;

namespace {
// Searches image and repairs it; returns write_partition_table's result.
int search_and_repair(partition_repair_c& thread, const QString& image,
                      partition::table_kind kind = partition::table_kind::automatic)
{
    const drive_item_s drive = drive_for(image);
    thread.start_search(&drive);
    thread.wait();
    return thread.write_partition_table(false, kind);
}

// Zeroes the boot sectors of the table's partitions numbered in `numbers`,
// so the search cannot find them.
bool hide_partitions(const QString& disk, std::initializer_list<int> numbers)
{
    for (const auto& p : platform::read_partitions(disk.toStdString()))
        for (int n : numbers)
            if (p.number == n && !write_at(disk, p.start_bytes, QByteArray(512, '\0').constData(), 512))
                return false;
    return true;
}

QByteArray whole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// sfdisk's reading of the disk's table: the partitions' start, size, type
// and bootable flag.
QJsonArray sfdisk_partitions(const QString& sfdisk, const QString& disk)
{
    QByteArray out;
    if (run_tool(sfdisk, {"--json", disk}, &out) != 0)
        return {};
    return QJsonDocument::fromJson(out).object()["partitiontable"].toObject()["partitions"].toArray();
}
}  // namespace

class repair_test_c : public QObject {
    Q_OBJECT
    QString dir_;

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("partition-repair"));
        QVERIFY(!dir_.isEmpty());
        // Backups land in the test's own folder, not the user's.
        qputenv("XDG_STATE_HOME", (dir_ + "/state").toLocal8Bit());
    }

    void chs_bytes_data()
    {
        QTest::addColumn<uint64_t>("sector");
        QTest::addColumn<uint32_t>("heads");
        QTest::addColumn<uint32_t>("per_track");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("start 2048") << uint64_t(2048) << 255u << 63u << QByteArray("\x20\x21\x00", 3);
        QTest::newRow("end 1002047") << uint64_t(1002047) << 255u << 63u << QByteArray("\x5F\x21\x3E", 3);
        QTest::newRow("cylinder 1100 wraps to 76") << uint64_t(17671500) << 255u << 63u << QByteArray("\x00\x01\x4C", 3);
        QTest::newRow("cylinder bits 8-9") << uint64_t(1023ull * 255 * 63 + 62) << 255u << 63u
                                           << QByteArray("\x00\xFF\xFF", 3);
        QTest::newRow("only the low 32 bits count") << uint64_t((1ull << 32) + 2048) << 255u << 63u
                                                    << QByteArray("\x20\x21\x00", 3);
        QTest::newRow("16 heads, 32 sectors") << uint64_t(1000) << 16u << 32u << QByteArray("\x0F\x09\x01", 3);
    }

    void chs_bytes()
    {
        QFETCH(uint64_t, sector);
        QFETCH(uint32_t, heads);
        QFETCH(uint32_t, per_track);
        QFETCH(QByteArray, bytes);
        const auto got = partition::chs_bytes(sector, heads, per_track);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(got.data()), 3).toHex(' '), bytes.toHex(' '));
    }

    // The whole sector for one NTFS partition at 2048..1002047.
    void sector_for_one_partition()
    {
        partition::sector_t old{};
        for (size_t i = 0; i < old.size(); ++i)
            old[i] = uint8_t(i * 7 + 1);
        const auto sector = partition::build_master_boot_record(old, {{"NTFS", 7, 2048, 1002047}}, 255, 63);
        QVERIFY(std::equal(partition::master_boot_code.begin(), partition::master_boot_code.end(), sector.begin()));
        QVERIFY(std::equal(old.begin() + 440, old.begin() + 446, sector.begin() + 440));
        const QByteArray entry1(reinterpret_cast<const char*>(sector.data() + 446), 16);
        QCOMPARE(entry1.toHex(' '), QByteArray("80 20 21 00 07 5f 21 3e 00 08 00 00 40 42 0f 00"));
        for (size_t i = 462; i < 510; ++i)
            QCOMPARE(int(sector[i]), 0);  // entries without a partition: all zeros
        QCOMPARE(int(sector[510]), 0x55);
        QCOMPARE(int(sector[511]), 0xAA);
    }

    void refused_tables_data()
    {
        QTest::addColumn<uint64_t>("start");
        QTest::addColumn<uint64_t>("end");
        QTest::newRow("start at 2^32") << uint64_t(1ull << 32) << uint64_t((1ull << 32) + 10);
        QTest::newRow("end at 2^32") << uint64_t(2048) << uint64_t(1ull << 32);
        QTest::newRow("end before start") << uint64_t(2048) << uint64_t(2047);
    }

    void refused_tables()
    {
        QFETCH(uint64_t, start);
        QFETCH(uint64_t, end);
        QVERIFY(!partition::table_refusal({}).empty());
        QVERIFY(!partition::table_refusal({{"NTFS", 7, 63, 100}, {"NTFS", 7, start, end}}).empty());
        // Only the first four go into the table.
        QVERIFY(partition::table_refusal({{"NTFS", 7, 1, 2}, {"NTFS", 7, 3, 4}, {"NTFS", 7, 5, 6},
                                          {"NTFS", 7, 7, 8}, {"NTFS", 7, start, end}})
                    .empty());
    }

    // Three volumes found on a wiped disk: the table sfdisk reads back,
    // the disk signature and old status bytes kept, the fourth entry zero;
    // then the backup puts the old sector back.
    void repair_and_restore_image()
    {
        PART_NEED_TOOL(sfdisk, "sfdisk");
        PART_NEED_TOOL(mkfs_fat, "mkfs.fat");
        PART_NEED_TOOL(mkntfs, "mkntfs");
        const QString fat = dir_ + "/fat.img", ntfs = dir_ + "/ntfs.img", disk = dir_ + "/disk.img";
        QVERIFY(make_sparse(fat, 40 << 20));
        QCOMPARE(run_tool(mkfs_fat, {"-F", "32", "-s", "1", fat}), 0);
        QVERIFY(make_sparse(ntfs, 20 << 20));
        QCOMPARE(run_tool(mkntfs, {"-q", "-F", "-f", "-s", "512", ntfs}), 0);
        QVERIFY(make_sparse(disk, 300 << 20));
        QVERIFY(place_file(disk, 2048 * 512, fat));
        QVERIFY(place_file(disk, 100000 * 512, ntfs));
        QVERIFY(place_file(disk, 300000 * 512, ntfs));

        // What is left of the old sector 0: a disk signature and stray
        // status bytes in entries 2 to 4, no table.
        partition::sector_t old{};
        const uint8_t kept[6] = {0xDE, 0xAD, 0xBE, 0xEF, 0x5A, 0xA5};
        std::copy(kept, kept + 6, old.begin() + 440);
        old[462] = 0x80;
        old[478] = 0x00;
        old[494] = 0x80;
        QVERIFY(write_at(disk, 0, old.data(), old.size()));
        const QByteArray before = whole(disk);

        partition_repair_c thread;
        const int repaired = search_and_repair(thread, disk);
        QVERIFY2(repaired == 0, thread.last_repair().reason.c_str());
        const auto& outcome = thread.last_repair();
        QCOMPARE(outcome.reason, std::string());

        const QByteArray sector = read_at(disk, 0, 512);
        QCOMPARE(sector.mid(440, 6), QByteArray(reinterpret_cast<const char*>(kept), 6));
        // Entry 1 alone is active: the old 0x80 at entry 2 would make two.
        QCOMPARE(uint8_t(sector[446]), uint8_t(0x80));
        QCOMPARE(uint8_t(sector[462]), uint8_t(0x00));
        QCOMPARE(uint8_t(sector[478]), uint8_t(0x00));
        QCOMPARE(sector.mid(494, 16), QByteArray(16, '\0'));  // no fourth partition
        QCOMPARE(sector.left(440), QByteArray(reinterpret_cast<const char*>(partition::master_boot_code.data()), 440));

        const QJsonArray parts = sfdisk_partitions(sfdisk, disk);
        QCOMPARE(parts.size(), 3);
        const struct {
            qint64 start, size;
            const char* type;
        } want[] = {{2048, 81920, "c"}, {100000, 40960, "7"}, {300000, 40960, "7"}};
        for (int i = 0; i < 3; ++i) {
            const QJsonObject p = parts[i].toObject();
            QCOMPARE(p["start"].toInteger(), want[i].start);
            QCOMPARE(p["size"].toInteger(), want[i].size);
            QCOMPARE(p["type"].toString(), QString(want[i].type));
        }
        QVERIFY(parts[0].toObject()["bootable"].toBool());
        QVERIFY(!parts[1].toObject()["bootable"].toBool());

        // The backup holds the old sector; restoring it gives the disk back
        // exactly as it was, and the repaired sector is saved in turn.
        QVERIFY(!outcome.backup_path.empty());
        QCOMPARE(whole(QString::fromStdString(outcome.backup_path)).left(512), before.left(512));
        QVERIFY(QString::fromStdString(outcome.backup_path).startsWith(dir_ + "/state/"));
        QVERIFY(QString::fromStdString(outcome.backup_path).endsWith(".mbr"));
        std::string replaced, error;
        uint64_t sectors = 0;
        QCOMPARE(partition::restore_sector0(disk.toStdString(), outcome.backup_path, &replaced, &error, nullptr, false,
                                            nullptr, &sectors),
                 0);
        QCOMPARE(sectors, uint64_t(1));
        QCOMPARE(error, std::string());
        QVERIFY(whole(disk) == before);
        QCOMPARE(whole(QString::fromStdString(replaced)).left(512), sector);
        QVERIFY(replaced != outcome.backup_path);
    }

    // Each refusal leaves the disk as it was and says why.
    void refusals_write_nothing_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("no partition found") << "blank";
        // An MBR asked for over any of a GPT's marks.
        QTest::newRow("protective MBR") << "protective";
        QTest::newRow("GPT header in sector 1") << "efi";
        QTest::newRow("backup GPT header in the last sector") << "efi-backup";
        QTest::newRow("NTFS volume over the whole disk") << "ntfs-at-0";
        QTest::newRow("partition reaching sector 2^32") << "huge";
    }

    void refusals_write_nothing()
    {
        QFETCH(QString, setup);
        const QString disk = dir_ + "/refuse-" + setup + ".img";
        QVERIFY(make_sparse(disk, 8 << 20));
        if (setup != "blank")
            QVERIFY(put_sector(disk, 2048, ntfs_boot_sector(setup == "huge" ? (1ull << 32) : 999)));
        if (setup == "protective") {
            sector_bytes_t s = signature_only_sector();
            s[446 + 4] = 0xEE;
            QVERIFY(put_sector(disk, 0, s));
        } else if (setup == "efi") {
            QVERIFY(write_at(disk, 512, "EFI PART", 8));
        } else if (setup == "efi-backup") {
            QVERIFY(write_at(disk, (8 << 20) - 512, "EFI PART", 8));
        } else if (setup == "ntfs-at-0") {
            QVERIFY(put_sector(disk, 0, ntfs_boot_sector(999)));
        }
        const QByteArray before = whole(disk);
        const bool gpt = setup.startsWith("efi") || setup == "protective";
        const auto kind = gpt ? partition::table_kind::mbr : partition::table_kind::automatic;
        partition_repair_c thread;
        QCOMPARE(search_and_repair(thread, disk, kind), -1);
        QVERIFY(!thread.last_repair().reason.empty());
        QVERIFY(thread.last_repair().backup_path.empty());
        QVERIFY(whole(disk) == before);
        // A GPT is told before any search.
        if (gpt)
            QCOMPARE(partition::check_disk_before_search(disk.toStdString(), kind).status,
                     partition::repair_status::gpt_disk);
    }

    // A volume formatted over the whole disk (a "superfloppy") starts at
    // sector 0: a table written there would overwrite its boot sector.
    void whole_disk_volumes_are_refused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FAT32, found by the search") << "fat32";
        QTest::newRow("NTFS, found by the search") << "ntfs";
        QTest::newRow("FAT16, which the search does not look for") << "fat16";
    }

    void whole_disk_volumes_are_refused()
    {
        QFETCH(QString, kind);
        PART_NEED_TOOL(mkfs_fat, "mkfs.fat");
        PART_NEED_TOOL(mkntfs, "mkntfs");
        const QString disk = dir_ + "/whole-" + kind + ".img";
        QVERIFY(make_sparse(disk, 48 << 20));
        if (kind == "ntfs")
            QCOMPARE(run_tool(mkntfs, {"-q", "-F", "-f", "-s", "512", disk}), 0);
        else
            QCOMPARE(run_tool(mkfs_fat, {"-F", kind == "fat32" ? "32" : "16", disk}), 0);
        const QByteArray before = whole(disk);
        QCOMPARE(partition::check_disk_before_search(disk.toStdString()).status,
                 partition::repair_status::whole_disk_volume);
        partition_repair_c thread;
        QCOMPARE(search_and_repair(thread, disk), -1);
        QCOMPARE(thread.last_repair().status, partition::repair_status::whole_disk_volume);
        QVERIFY(whole(disk) == before);
    }

    // A disk whose table is intact, with a primary FAT16 and FAT16 and NTFS
    // logical partitions, the FAT16 boot sectors wiped: the search finds the
    // NTFS one only, so the new table would lose the other two. Refused and
    // named, unless confirmed.
    void current_table_partitions_are_not_dropped()
    {
        QUARVEL_FIXTURE(f, "mbr_logical");
        const QString disk = dir_ + "/logical.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(QString::fromStdString(f.image), disk));
        QVERIFY(hide_partitions(disk, {1, 5}));
        const QByteArray before = whole(disk);
        partition_repair_c thread;
        QCOMPARE(search_and_repair(thread, disk), -1);
        const auto& refused = thread.last_repair();
        QCOMPARE(refused.status, partition::repair_status::would_drop);
        QCOMPARE(int(refused.dropped.size()), 2);
        QCOMPARE(refused.dropped[0].number, 1);
        QCOMPARE(refused.dropped[0].start_sector, uint64_t(2048));
        QCOMPARE(refused.dropped[1].number, 5);
        QVERIFY2(refused.reason.find("partition 1 (sectors 2048-26623)") != std::string::npos,
                 refused.reason.c_str());
        QVERIFY(refused.backup_path.empty());
        QVERIFY(whole(disk) == before);

        QCOMPARE(thread.write_partition_table(true), 0);
        QCOMPARE(int(thread.last_repair().dropped.size()), 2);
        QVERIFY(whole(disk) != before);
    }

    // A real GPT disk made by sfdisk: its partitions are found, and the
    // repair refuses to put an MBR over it.
    void refuses_gpt_fixture()
    {
        QUARVEL_FIXTURE(f, "gpt");
        const QString disk = dir_ + "/gpt.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(QString::fromStdString(f.image), disk));
        const QByteArray before = whole(disk);
        partition_repair_c thread;
        QCOMPARE(search_and_repair(thread, disk), -1);
        QVERIFY(thread.partition_count() >= 2);
        QVERIFY2(thread.last_repair().reason.find("GPT") != std::string::npos, thread.last_repair().reason.c_str());
        QVERIFY(whole(disk) == before);
    }

    void refuses_without_drive_or_while_searching()
    {
        partition_repair_c idle;
        QCOMPARE(idle.write_partition_table(), -1);

        const QString disk = dir_ + "/busy.img";
        QVERIFY(make_sparse(disk, 64ull << 30));
        QVERIFY(put_sector(disk, 2048, ntfs_boot_sector(999)));
        partition_repair_c thread;
        const drive_item_s drive = drive_for(disk);
        thread.start_search(&drive);
        QTRY_VERIFY_WITH_TIMEOUT(thread.partition_count() == 1, 20000);
        QCOMPARE(thread.write_partition_table(), -1);
        QVERIFY(thread.last_repair().reason.find("running") != std::string::npos);
        thread.request_stop();
        thread.wait();
        // What a stopped search found is not the whole disk's story.
        QCOMPARE(thread.write_partition_table(), -1);
        QCOMPARE(thread.last_repair().status, partition::repair_status::search_incomplete);
        QCOMPARE(read_at(disk, 0, 512), QByteArray(512, '\0'));
    }

    // A disk with a mounted partition is refused, naming it; once unmounted
    // the repair goes through and the kernel takes the new table at once.
    void mounted_disk_is_refused()
    {
        if (!is_root())
            QSKIP("skip: loop devices and mounting need root");
        PART_NEED_TOOL(losetup, "losetup");
        PART_NEED_TOOL(sfdisk, "sfdisk");
        PART_NEED_TOOL(mkfs_fat, "mkfs.fat");
        PART_NEED_TOOL(mount, "mount");
        PART_NEED_TOOL(umount, "umount");
        const QString backing = dir_ + "/mounted.img";
        QVERIFY(make_sparse(backing, 80 << 20));
        QProcess table;
        table.start(sfdisk, {"-q", "--no-reread", "--no-tell-kernel", backing});
        QVERIFY(table.waitForStarted());
        table.write("start=2048, size=120000, type=c\n");
        table.closeWriteChannel();
        QVERIFY(table.waitForFinished());
        QCOMPARE(table.exitCode(), 0);
        QByteArray out;
        if (run_tool(losetup, {"-f", "-P", "--show", backing}, &out) != 0)
            QSKIP("skip: no free loop device");
        const QString loop = QString::fromLatin1(out.trimmed());
        const QString part = loop + "p1";
        QTest::qWait(500);
        if (!QFile::exists(part)) {
            run_tool(losetup, {"-d", loop});
            QSKIP("skip: no device node for the loop partition (no udev here)");
        }
        const QString where = dir_ + "/mnt";
        QDir().mkpath(where);
        const bool made = run_tool(mkfs_fat, {"-F", "32", "-s", "1", part}) == 0;
        const bool mounted = made && run_tool(mount, {part, where}) == 0;
        if (!mounted) {
            run_tool(losetup, {"-d", loop});
            QSKIP("skip: cannot format or mount a loop partition here");
        }
        partition_repair_c thread;
        drive_item_s drive = drive_for(loop);
        thread.start_search(&drive);
        thread.wait();
        const int while_mounted = thread.write_partition_table();
        const repair_outcome_s refused = thread.last_repair();
        run_tool(umount, {where});
        const int unmounted = thread.write_partition_table();
        const repair_outcome_s written = thread.last_repair();
        const bool part_back = QFile::exists(part);
        run_tool(losetup, {"-d", loop});
        QCOMPARE(while_mounted, -1);
        QCOMPARE(refused.status, partition::repair_status::in_use);
        QVERIFY2(refused.reason.find(part.toStdString() + " on " + where.toStdString()) != std::string::npos,
                 refused.reason.c_str());
        QVERIFY(refused.backup_path.empty());
        QCOMPARE(unmounted, 0);
        QVERIFY2(written.note.empty(), written.note.c_str());
        QVERIFY(part_back);
    }

    // The same with the disk itself mounted (a volume over the whole disk):
    // the disk in use is named before anything else is looked at.
    void mounted_whole_disk_is_refused()
    {
        if (!is_root())
            QSKIP("skip: loop devices and mounting need root");
        PART_NEED_TOOL(losetup, "losetup");
        PART_NEED_TOOL(mkfs_fat, "mkfs.fat");
        PART_NEED_TOOL(mount, "mount");
        PART_NEED_TOOL(umount, "umount");
        const QString backing = dir_ + "/mounted-whole.img";
        QVERIFY(make_sparse(backing, 40 << 20));
        QCOMPARE(run_tool(mkfs_fat, {"-F", "32", "-s", "1", backing}), 0);
        QByteArray out;
        if (run_tool(losetup, {"-f", "--show", backing}, &out) != 0)
            QSKIP("skip: no free loop device");
        const QString loop = QString::fromLatin1(out.trimmed());
        const QString where = dir_ + "/mnt-whole";
        QDir().mkpath(where);
        if (run_tool(mount, {loop, where}) != 0) {
            run_tool(losetup, {"-d", loop});
            QSKIP("skip: cannot mount a loop device here");
        }
        const QByteArray before = whole(backing);
        partition::table_request_s request;
        request.device_path = loop.toStdString();
        request.partitions = {{"FAT32", 12, 2048, 4095}};
        const repair_outcome_s refused = partition::write_table(request);
        const auto early = partition::check_disk_before_search(loop.toStdString()).status;
        run_tool(umount, {where});
        run_tool(losetup, {"-d", loop});
        QCOMPARE(refused.status, partition::repair_status::in_use);
        QCOMPARE(early, partition::repair_status::in_use);  // told before any search
        QVERIFY2(refused.reason.find(loop.toStdString() + " on " + where.toStdString()) != std::string::npos,
                 refused.reason.c_str());
        QVERIFY(whole(backing) == before);
    }

    // The same repair on a loop device, and on one with 4096-byte sectors.
    void loop_devices()
    {
        if (!is_root())
            QSKIP("skip: loop devices need root");
        PART_NEED_TOOL(losetup, "losetup");
        PART_NEED_TOOL(sfdisk, "sfdisk");
        const QString backing = dir_ + "/loop.img";
        QVERIFY(make_sparse(backing, 64 << 20));
        QVERIFY(put_sector(backing, 2048, ntfs_boot_sector(40959)));
        QByteArray out;
        if (run_tool(losetup, {"-f", "--show", backing}, &out) != 0)
            QSKIP("skip: no free loop device");
        const QString loop = QString::fromLatin1(out.trimmed());
        partition_repair_c thread;
        drive_item_s drive = drive_for(loop);
        drive.size_bytes = 64 << 20;
        thread.start_search(&drive);
        thread.wait();
        const int result = thread.write_partition_table();
        const QJsonArray parts = sfdisk_partitions(sfdisk, loop);
        run_tool(losetup, {"-d", loop});
        QCOMPARE(result, 0);
        QCOMPARE(parts.size(), 1);
        QCOMPARE(parts[0].toObject()["start"].toInteger(), 2048);
        QCOMPARE(parts[0].toObject()["size"].toInteger(), 40960);

        // With 4096-byte sectors the table counts in them: the boot sector
        // at byte 1 MiB is sector 256.
        const QString big_sectors = dir_ + "/loop4k.img";
        QVERIFY(make_sparse(big_sectors, 64 << 20));
        sector_bytes_t ntfs4k = ntfs_boot_sector(4095);
        ntfs4k[11] = 0x00, ntfs4k[12] = 0x10;  // 4096 bytes per sector
        QVERIFY(put_sector(big_sectors, 2048, ntfs4k));
        if (run_tool(losetup, {"-f", "--show", "--sector-size", "4096", big_sectors}, &out) != 0)
            QSKIP("skip: loop device with 4096-byte sectors not available");
        const QString loop4k = QString::fromLatin1(out.trimmed());
        partition_repair_c thread4k;
        drive = drive_for(loop4k);
        drive.size_bytes = 64 << 20;
        thread4k.start_search(&drive);
        thread4k.wait();
        const int result4k = thread4k.write_partition_table();
        const QJsonArray parts4k = sfdisk_partitions(sfdisk, loop4k);
        run_tool(losetup, {"-d", loop4k});
        QVERIFY2(result4k == 0, thread4k.last_repair().reason.c_str());
        QCOMPARE(parts4k.size(), 1);
        QCOMPARE(parts4k[0].toObject()["start"].toInteger(), 256);
        QCOMPARE(parts4k[0].toObject()["size"].toInteger(), 4096);
    }
};

QTEST_GUILESS_MAIN(repair_test_c)
#include "repair_test.moc"
