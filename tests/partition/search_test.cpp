// The partition search on disk images: volumes made by the real tools with
// the first sector wiped, and crafted boot sectors at the awkward places.
#include "disk_image.h"
#include "ondisk/exfat_boot_sector.h"
#include "partition/partition_repair.h"
#include "support/fixtures.h"

#include <QSignalSpy>
#include <QTest>
#include <cerrno>
#include <limits>

using namespace part_test;

namespace {
struct expect_s {
    const char* fs;
    uint64_t start;
    uint64_t end;
};

std::vector<partition_item_s> search(const QString& image, std::string* error = nullptr, double* progress = nullptr)
{
    partition_repair_c thread;
    const drive_item_s drive = drive_for(image);
    thread.start_search(&drive);
    thread.wait();
    if (error)
        *error = thread.search_error();
    if (progress)
        *progress = thread.get_progress();
    return thread.partitions();
}

QString describe(const std::vector<partition_item_s>& found)
{
    QString text;
    for (const auto& p : found)
        text += QStringLiteral("%1 %2..%3; ").arg(p.file_system).arg(p.start_sector).arg(p.end_sector);
    return text;
}

void check_found(const std::vector<partition_item_s>& found, const std::vector<expect_s>& want)
{
    QVERIFY2(found.size() == want.size(), qPrintable(describe(found)));
    for (size_t i = 0; i < want.size(); ++i) {
        QCOMPARE(found[i].file_system, QString::fromLatin1(want[i].fs));
        QCOMPARE(found[i].type, found[i].file_system == "NTFS" ? 7 : 12);
        QCOMPARE(found[i].start_sector, want[i].start);
        QCOMPARE(found[i].end_sector, want[i].end);
    }
}
}  // namespace

class search_test_c : public QObject {
    Q_OBJECT
    QString dir_;

private slots:
    void initTestCase()
    {
        register_partition_types();
        dir_ = QString::fromStdString(test_support::make_temp_dir("partition-search"));
        QVERIFY(!dir_.isEmpty());
    }

    // Volumes made by mkfs.fat and mkntfs, copied into a 5 GiB sparse disk
    // whose sector 0 stays zero: one FAT32 past 2^32 bytes and one NTFS past
    // 2^31, so every position must be a 64-bit one.
    void finds_real_volumes_in_order()
    {
        PART_NEED_TOOL(mkfs_fat, "mkfs.fat");
        PART_NEED_TOOL(mkntfs, "mkntfs");
        const QString fat = dir_ + "/fat32.img", ntfs = dir_ + "/ntfs.img", disk = dir_ + "/disk5g.img";
        QVERIFY(make_sparse(fat, 40 << 20));
        QCOMPARE(run_tool(mkfs_fat, {"-F", "32", "-s", "1", "-n", "LOSTFAT", fat}), 0);
        QVERIFY(make_sparse(ntfs, 20 << 20));
        QCOMPARE(run_tool(mkntfs, {"-q", "-F", "-f", "-s", "512", "-L", "LOST", ntfs}), 0);
        // mkfs.fat leaves its own OEM name: only the structural test finds it.
        QCOMPARE(read_at(fat, 3, 8), QByteArray("mkfs.fat"));

        QVERIFY(make_sparse(disk, 5ull << 30));
        QVERIFY(place_file(disk, 2048ull * 512, fat));
        QVERIFY(place_file(disk, 100000ull * 512, ntfs));
        QVERIFY(place_file(disk, 5000000ull * 512, ntfs));
        QVERIFY(place_file(disk, 9000000ull * 512, fat));
        QVERIFY(write_at(disk, 9000000ull * 512 + 3, "MSWIN4.1", 8));

        std::string error;
        double progress = 0;
        const auto found = search(disk, &error, &progress);
        QCOMPARE(error, std::string());
        QCOMPARE(progress, 1.0);
        // FAT32: the total-sector count; NTFS: its count plus the backup
        // boot sector, which is the whole file mkntfs was given.
        check_found(found, {{"FAT32", 2048, 2048 + 81920 - 1},
                            {"NTFS", 100000, 100000 + 40960 - 1},
                            {"NTFS", 5000000, 5000000 + 40960 - 1},
                            {"FAT32", 9000000, 9000000 + 81920 - 1}});
    }

    void finds_ntfs_at_sector_63()
    {
        PART_NEED_TOOL(mkntfs, "mkntfs");
        const QString ntfs = dir_ + "/ntfs63.img", disk = dir_ + "/disk63.img";
        QVERIFY(make_sparse(ntfs, 8 << 20));
        QCOMPARE(run_tool(mkntfs, {"-q", "-F", "-f", "-s", "512", "-p", "63", ntfs}), 0);
        QVERIFY(make_sparse(disk, 64 << 20));
        QVERIFY(place_file(disk, 63 * 512, ntfs));
        check_found(search(disk), {{"NTFS", 63, 63 + 16384 - 1}});
    }

    // The shared fixture whose table is gone: both volumes come back where
    // the table had them, with the type byte it had.
    void finds_lost_partitions_fixture()
    {
        QUARVEL_FIXTURE(f, "lost_partitions");
        const auto lost = test_support::entries_of(f, "lost_partition");
        QCOMPARE(lost.size(), size_t(2));
        const auto found = search(QString::fromStdString(f.image));
        QVERIFY2(found.size() == lost.size(), qPrintable(describe(found)));
        for (size_t i = 0; i < lost.size(); ++i) {
            QVERIFY(lost[i].fields.size() >= 4);
            const uint64_t start = std::stoull(lost[i].fields[1]) / 512, size = std::stoull(lost[i].fields[2]) / 512;
            QCOMPARE(found[i].start_sector, start);
            QCOMPARE(found[i].end_sector, start + size - 1);
            QCOMPARE(found[i].type, int32_t(std::stoul(lost[i].fields[3], nullptr, 16)));
        }
    }

    void crafted_layouts_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<uint64_t>("disk_sectors");
        QTest::addColumn<QString>("expected");

        QTest::newRow("sector 0 with only 0x55AA is no boot sector") << "sig@0" << uint64_t(4096) << "";
        QTest::newRow("boot sector at a block's last sector") << "ntfs:99@255" << uint64_t(4096) << "NTFS 255..354";
        QTest::newRow("FAT16 'MSDOS' with 0x55AA after it counts as FAT32")
            << "msdos:5000@600 sig@601" << uint64_t(8192) << "FAT32 600..5599";
        QTest::newRow("FAT16 'MSDOS' without a signed next sector is skipped")
            << "msdos:5000@600" << uint64_t(8192) << "";
        QTest::newRow("OEM 'MSWIN' needs the next sector signed too")
            << "mswin:100@40" << uint64_t(4096) << "";
        QTest::newRow("second boot sector inside the first partition is skipped")
            << "ntfs:49@10 ntfs:9@30" << uint64_t(4096) << "NTFS 10..59";
        QTest::newRow("second boot sector of the block after the first partition")
            << "ntfs:19@10 ntfs:9@100" << uint64_t(4096) << "NTFS 10..29; NTFS 100..109";
        QTest::newRow("zero-length NTFS steps one sector on")
            << "ntfs:max@700 ntfs:9@701" << uint64_t(4096) << "NTFS 701..710";
        QTest::newRow("zero-length FAT32 steps one sector on")
            << "mswin:0@700 sig@701 ntfs:9@702" << uint64_t(4096) << "NTFS 702..711";
        QTest::newRow("size past the end is recorded and ends the search")
            << "ntfs:999999@300 ntfs:9@2000" << uint64_t(4096) << "NTFS 300..1000299";
        QTest::newRow("size past any disk does not wrap round")
            << "ntfs:huge@300 ntfs:9@2000" << uint64_t(4096) << "NTFS 300..18446744073709551615";
        // 356 sectors: the second read (sectors 255..510) comes back short.
        QTest::newRow("final partial block is not examined")
            << "ntfs:9@300" << uint64_t(356) << "";
        QTest::newRow("partition ending at the last whole block")
            << "ntfs:9@200" << uint64_t(356) << "NTFS 200..209";
        // The disk is read 1 MiB (2048 sectors) at a time: blocks at the end
        // of one read and at the start of the next.
        QTest::newRow("FAT32 pair at the last block sector before a read ends")
            << "mswin:100@2039 sig@2040" << uint64_t(8192) << "FAT32 2039..2138";
        QTest::newRow("boot sectors either side of a read's end")
            << "ntfs:3@2043 ntfs:9@2047 ntfs:9@4095 ntfs:9@4200" << uint64_t(8192)
            << "NTFS 2043..2046; NTFS 2047..2056; NTFS 4095..4104; NTFS 4200..4209";
    }

    void crafted_layouts()
    {
        QFETCH(QString, layout);
        QFETCH(uint64_t, disk_sectors);
        QFETCH(QString, expected);
        const QString disk = dir_ + "/crafted.img";
        QFile::remove(disk);
        QVERIFY(make_sparse(disk, disk_sectors * 512));
        for (const QString& item : layout.split(' ', Qt::SkipEmptyParts)) {
            const auto at = item.split('@');
            const uint64_t sector = at[1].toULongLong();
            const auto kind = at[0].split(':');
            const QString size = kind.value(1);
            sector_bytes_t s;
            if (kind[0] == "sig")
                s = signature_only_sector();
            else if (kind[0] == "ntfs")
                s = ntfs_boot_sector(size == "max"    ? std::numeric_limits<uint64_t>::max()
                                     : size == "huge" ? std::numeric_limits<uint64_t>::max() - 1
                                                      : size.toULongLong());
            else if (kind[0] == "msdos")
                s = oem_boot_sector("MSDOS5.0", size.toUInt());
            else
                s = oem_boot_sector("MSWIN4.1", size.toUInt());
            QVERIFY(put_sector(disk, sector, s));
        }
        std::string error;
        double progress = 0;
        const auto found = search(disk, &error, &progress);
        QString text;
        for (const auto& p : found)
            text += QStringLiteral("%1%2 %3..%4").arg(text.isEmpty() ? "" : "; ", p.file_system).arg(p.start_sector).arg(p.end_sector);
        QCOMPARE(text, expected);
        QCOMPARE(error, std::string());
        QCOMPARE(progress, 1.0);
    }

    // A FAT32 boot sector from mkfs.fat whose FSInfo sector was damaged is
    // no longer taken on its structure alone.
    void structural_fat32_needs_fsinfo()
    {
        PART_NEED_TOOL(mkfs_fat, "mkfs.fat");
        const QString fat = dir_ + "/fsinfo.img";
        QVERIFY(make_sparse(fat, 40 << 20));
        QCOMPARE(run_tool(mkfs_fat, {"-F", "32", "-s", "1", fat}), 0);
        const QByteArray head = read_at(fat, 0, 2048);
        QCOMPARE(head.size(), 2048);
        const auto* bytes = reinterpret_cast<const uint8_t*>(head.constData());
        QVERIFY(partition_repair_c::is_fat32_boot_sector(bytes, 2048));
        QVERIFY(!partition_repair_c::is_ntfs_boot_sector(bytes));
        QVERIFY(!partition_repair_c::is_fat32_boot_sector(bytes, 512));  // the next sector is not there
        QByteArray broken = head;
        broken[512 + 484] = 'x';  // "rrAa" of the FSInfo sector
        QVERIFY(!partition_repair_c::is_fat32_boot_sector(reinterpret_cast<const uint8_t*>(broken.constData()), 2048));
        broken = head;
        broken[12] = 0x10;  // 4096 bytes per sector
        QVERIFY(!partition_repair_c::is_fat32_boot_sector(reinterpret_cast<const uint8_t*>(broken.constData()), 2048));
        broken = head;
        std::memcpy(broken.data() + 3, "MSDOS5.0", 8);  // the OEM rule still matches
        QVERIFY(partition_repair_c::is_fat32_boot_sector(reinterpret_cast<const uint8_t*>(broken.constData()), 2048));
    }

    // With its boot sector gone, a volume's backup copy is met first; the
    // volume still starts where it did, told by the copy's distance and the
    // volume's own structures (or a sound primary the tests passed over).
    void volumes_are_not_placed_at_their_backup_boot_sector()
    {
        PART_NEED_TOOL(mkfs_fat, "mkfs.fat");
        PART_NEED_TOOL(mkntfs, "mkntfs");
        const QString fat = dir_ + "/bfat.img", ntfs = dir_ + "/bntfs.img", disk = dir_ + "/backup.img";
        QVERIFY(make_sparse(fat, 40 << 20));
        QCOMPARE(run_tool(mkfs_fat, {"-F", "32", "-s", "1", fat}), 0);
        QVERIFY(make_sparse(ntfs, 20 << 20));
        QCOMPARE(run_tool(mkntfs, {"-q", "-F", "-f", "-s", "512", ntfs}), 0);
        QVERIFY(make_sparse(disk, 160 << 20));
        QVERIFY(place_file(disk, 2048 * 512, fat));
        QVERIFY(place_file(disk, 100000 * 512, ntfs));
        const sector_bytes_t zeros{};
        QVERIFY(put_sector(disk, 2048, zeros));
        QVERIFY(put_sector(disk, 100000, zeros));
        std::vector<expect_s> want = {{"FAT32", 2048, 2048 + 81920 - 1}, {"NTFS", 100000, 100000 + 40960 - 1}};
        check_found(search(disk), want);

        // A primary that fails the FAT32 test (its FSInfo damaged) but has
        // the copy's geometry still wins over the copy.
        QVERIFY(place_file(disk, 2048 * 512, fat));
        QVERIFY(write_at(disk, 2049 * 512 + 484, "xxxx", 4));
        check_found(search(disk), want);

        // The copy of a volume whose FATs are not where its start would put
        // them is taken as it stands: a boot sector copied alone.
        QVERIFY(make_sparse(disk, 64 << 20));
        QVERIFY(write_at(disk, 4000 * 512, read_at(fat, 6 * 512, 1024).constData(), 1024));
        check_found(search(disk), {{"FAT32", 4000, 4000 + 81920 - 1}});

        // exFAT: the backup boot region, twelve sectors on.
        const QString mkfs_exfat = find_tool("mkfs.exfat");
        if (mkfs_exfat.isEmpty())
            QSKIP("skip: mkfs.exfat is not installed (the FAT32 and NTFS cases passed)");
        const QString exfat = dir_ + "/bexfat.img";
        QVERIFY(make_sparse(exfat, 20 << 20));
        QCOMPARE(run_tool(mkfs_exfat, {exfat}), 0);
        QVERIFY(make_sparse(disk, 64 << 20));
        QVERIFY(place_file(disk, 2048 * 512, exfat));
        QVERIFY(put_sector(disk, 2048, zeros));
        const auto found = search(disk);
        QVERIFY2(found.size() == 1, qPrintable(describe(found)));
        QCOMPARE(found[0].file_system, QStringLiteral("exFAT"));
        QCOMPARE(found[0].start_sector, uint64_t(2048));
        QCOMPARE(found[0].end_sector, uint64_t(2048 + 40960 - 1));
    }

    // An image saved from a failing disk, with its rescue map beside it:
    // what the map leaves unrescued is reported as never read, and the
    // volume after it is still found.
    void rescue_map_marks_sectors_never_read()
    {
        const QString disk = dir_ + "/rescued.img";
        QVERIFY(make_sparse(disk, 8 << 20));
        QVERIFY(put_sector(disk, 2048, ntfs_boot_sector(999)));
        const QByteArray map = QStringLiteral("# Mapfile\n0x0 +\n0x0 0xC800 +\n0xC800 0x400 -\n0xCC00 0x%1 +\n")
                                   .arg((8 << 20) - 0xCC00, 0, 16)
                                   .toLatin1();
        QVERIFY(write_at(disk + ".map", 0, map.constData(), size_t(map.size())));
        partition_repair_c thread;
        const drive_item_s drive = drive_for(disk);
        thread.start_search(&drive);
        thread.wait();
        QCOMPARE(thread.search_error(), std::string());
        check_found(thread.partitions(), {{"NTFS", 2048, 2048 + 999}});
        const auto unreadable = thread.unreadable();
        QCOMPARE(unreadable.size(), size_t(1));
        QCOMPARE(unreadable[0].first_sector, uint64_t(100));
        QCOMPARE(unreadable[0].sector_count, uint64_t(2));
        QCOMPARE(unreadable[0].error, 0);
        QFile::remove(disk + ".map");
    }

    // The source's map (bytes) as the search reports it: whole sectors of
    // the disk, pieces of one sector one range, the system's words.
    void unreadable_ranges_in_sectors()
    {
        using partition::unreadable_sectors_s;
        const std::vector<platform::unreadable_range_s> map = {
            {100 * 512, 512, EIO}, {1500 * 512, 2048, EIO}, {1504 * 512, 512, 0}};
        const auto small = partition::unreadable_sectors(map, 512);
        QCOMPARE(small.size(), size_t(3));
        QCOMPARE(partition::describe(small[0]), std::string("sector 100 (1 sector): Input/output error"));
        QCOMPARE(partition::describe(small[1]), std::string("sectors 1500-1503 (4 sectors): Input/output error"));
        QCOMPARE(small[2].error, 0);
        QVERIFY(!small[2].reason.empty());
        // Under 4096-byte sectors: 100*512 lies in sector 12; 1500..1504 in 187 and 188.
        const auto large = partition::unreadable_sectors(map, 4096);
        QCOMPARE(large.size(), size_t(3));
        QCOMPARE(large[0], (unreadable_sectors_s{12, 1, EIO, "Input/output error"}));
        QCOMPARE(large[1].first_sector, uint64_t(187));
        QCOMPARE(large[1].sector_count, uint64_t(1));
        QCOMPARE(large[2].first_sector, uint64_t(188));
        QCOMPARE(partition::total_sectors(large), uint64_t(3));
    }

    // The search looks at a sector's full tests only when it ends with
    // 0x55AA; a test that accepted a sector without it would go unseen.
    void every_boot_sector_test_needs_the_signature()
    {
        std::vector<uint8_t> pair(1024, 0);
        const sector_bytes_t oem = oem_boot_sector("MSWIN4.1", 100), sig = signature_only_sector();
        std::memcpy(pair.data(), oem.data(), 512);
        std::memcpy(pair.data() + 512, sig.data(), 512);
        const sector_bytes_t ntfs = ntfs_boot_sector(99);
        uint8_t exfat[512] = {0xEB, 0x76, 0x90, 'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
        exfat[108] = 9;
        exfat[510] = 0x55;
        exfat[511] = 0xAA;
        QVERIFY(partition::is_fat32_boot_sector(pair.data(), pair.size()));
        QVERIFY(partition::is_ntfs_boot_sector(ntfs.data()));
        QCOMPARE(exfat::boot_sector_bytes(exfat, sizeof exfat), 512u);
        std::vector<uint8_t> structural;
        if (const QString mkfs_fat = find_tool("mkfs.fat"); !mkfs_fat.isEmpty()) {
            const QString fat = dir_ + "/signature.img";
            QVERIFY(make_sparse(fat, 40 << 20));
            QCOMPARE(run_tool(mkfs_fat, {"-F", "32", "-n", "NONAME", "-s", "1", fat}), 0);
            const QByteArray head = read_at(fat, 0, 2048);
            structural.assign(head.begin(), head.end());
            std::memcpy(structural.data() + 3, "mkfs.fat", 8);  // only the structure can match
            QVERIFY(partition::is_fat32_boot_sector(structural.data(), structural.size()));
        }
        for (const int at : {510, 511}) {
            pair[size_t(at)] ^= 0xFF;
            QVERIFY(!partition::is_fat32_boot_sector(pair.data(), pair.size()));
            pair[size_t(at)] ^= 0xFF;
            sector_bytes_t n = ntfs;
            n[size_t(at)] ^= 0xFF;
            QVERIFY(!partition::is_ntfs_boot_sector(n.data()));
            exfat[at] ^= 0xFF;
            QCOMPARE(exfat::boot_sector_bytes(exfat, sizeof exfat), 0u);
            exfat[at] ^= 0xFF;
            if (!structural.empty()) {
                structural[size_t(at)] ^= 0xFF;
                QVERIFY(!partition::is_fat32_boot_sector(structural.data(), structural.size()));
                structural[size_t(at)] ^= 0xFF;
            }
        }
    }

    // A block device is read unbuffered in large chunks, an image through the
    // page cache in small ones: both must find the same.
    void loop_device_finds_what_its_image_holds()
    {
        if (!is_root())
            QSKIP("skip: attaching a loop device needs root");
        PART_NEED_TOOL(losetup, "losetup");
        const QString backing = dir_ + "/looped.img";
        QVERIFY(make_sparse(backing, 48 << 20));
        // Around the 16 MiB (32768-sector) chunk ends, and one a block before the disk's end.
        for (const uint64_t at : {uint64_t(63), uint64_t(32760), uint64_t(32767), uint64_t(65536), uint64_t(98000)})
            QVERIFY(put_sector(backing, at, ntfs_boot_sector(5)));
        QByteArray out;
        if (run_tool(losetup, {"-f", "-r", "--show", backing}, &out) != 0)
            QSKIP("skip: no free loop device");
        const QString loop = QString::fromLatin1(out.trimmed());
        std::string loop_error;
        const auto on_loop = search(loop, &loop_error);
        run_tool(losetup, {"-d", loop});
        const auto on_image = search(backing);
        QCOMPARE(describe(on_loop), describe(on_image));
        QCOMPARE(describe(on_image), QStringLiteral("NTFS 63..68; NTFS 32760..32765; NTFS 32767..32772; "
                                                    "NTFS 65536..65541; NTFS 98000..98005; "));
        QCOMPARE(loop_error, std::string());
    }

    void unreadable_disk()
    {
        std::string error;
        double progress = -1;
        const auto found = search(dir_ + "/no-such-disk.img", &error, &progress);
        QVERIFY(found.empty());
        QVERIFY(!error.empty());
        QCOMPARE(progress, 0.0);

        partition_repair_c thread;  // no drive at all
        thread.start();
        thread.wait();
        QVERIFY(thread.partitions().empty());
        QVERIFY(!thread.search_error().empty());
    }

    // A stop request ends a long search between blocks; the thread ends
    // promptly, keeps what it found and leaves progress short of 1.0.
    void stop_half_way()
    {
        const QString disk = dir_ + "/big.img";
        QVERIFY(make_sparse(disk, 64ull << 30));
        QVERIFY(put_sector(disk, 2048, ntfs_boot_sector(99)));
        partition_repair_c thread;
        QSignalSpy finished(&thread, &QThread::finished);
        const drive_item_s drive = drive_for(disk);
        thread.start_search(&drive);
        QTRY_VERIFY_WITH_TIMEOUT(thread.get_progress() > 0.001, 20000);
        thread.request_stop();
        QVERIFY(thread.wait(5000));
        QVERIFY(finished.wait(1000) || finished.count() == 1);
        QVERIFY(thread.get_progress() < 1.0);
        QCOMPARE(thread.partition_count(), size_t(1));

        // The next search starts from an empty list.
        const QString small = dir_ + "/small.img";
        QVERIFY(make_sparse(small, 1 << 20));
        const drive_item_s other = drive_for(small);
        thread.start_search(&other);
        QVERIFY(thread.wait(10000));
        QCOMPARE(thread.partition_count(), size_t(0));
        QCOMPARE(thread.get_progress(), 1.0);
    }

    // Many finds while another thread keeps reading the list: every
    // partition_found() matches one record, the list stays in order.
    void list_read_while_searching()
    {
        const QString disk = dir_ + "/many.img";
        const uint64_t count = 400;
        QVERIFY(make_sparse(disk, (count * 1000 + 1000) * 512));
        for (uint64_t i = 0; i < count; ++i)
            QVERIFY(put_sector(disk, 500 + i * 1000, ntfs_boot_sector(9)));
        partition_repair_c thread;
        QSignalSpy found(&thread, &partition_repair_c::partition_found);
        const drive_item_s drive = drive_for(disk);
        thread.start_search(&drive);
        size_t reads = 0;
        while (!thread.isFinished()) {
            const auto now = thread.partitions();
            for (size_t i = 1; i < now.size(); ++i)
                QVERIFY(now[i - 1].start_sector < now[i].start_sector);
            ++reads;
        }
        thread.wait();
        QTRY_COMPARE(found.count(), int(count));
        QCOMPARE(thread.partition_count(), size_t(count));
        QVERIFY(reads > 0);
    }
};

QTEST_GUILESS_MAIN(search_test_c)
#include "search_test.moc"
