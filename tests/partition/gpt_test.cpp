// GPT disks: the header checks, the repair of a damaged copy from the sound
// one and of both from the search, with 512- and 4096-byte sectors, on disks
// made by sgdisk and the real mkfs tools; and the search's file systems
// beyond FAT, exFAT and NTFS.
#include "disk_image.h"
#include "ondisk/gpt.h"
#include "partition/gpt_disk.h"
#include "partition/mbr_layout.h"
#include "partition/partition_repair.h"
#include "partition/sector0_backup.h"
#include "support/fixtures.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace part_test;

namespace {
QByteArray whole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int dd(const QString& in, const QString& out, uint32_t block, uint64_t seek)
{
    return run_tool(find_tool("dd"), {"if=" + in, "of=" + out, "bs=" + QString::number(block),
                                      "seek=" + QString::number(seek), "conv=notrunc,sparse", "status=none"});
}

QJsonArray sfdisk_partitions(const QString& disk)
{
    QByteArray out;
    if (run_tool(find_tool("sfdisk"), {"--json", disk}, &out) != 0)
        return {};
    return QJsonDocument::fromJson(out).object()["partitiontable"].toObject()["partitions"].toArray();
}

// start, size and type of each partition: what a rebuilt table must match.
QStringList layout(const QJsonArray& parts)
{
    QStringList out;
    for (const auto& p : parts)
        out << QStringLiteral("%1+%2 %3")
                   .arg(p.toObject()["start"].toInteger())
                   .arg(p.toObject()["size"].toInteger())
                   .arg(p.toObject()["type"].toString());
    return out;
}

// A disk to run the tools on: the image itself, or a loop device with
// 4096-byte sectors over it. Detached when it goes.
struct disk_s {
    QString image, device;
    bool loop = false;
    bool attach(uint32_t sector)
    {
        device = image;
        if (sector == 512)
            return true;
        QByteArray out;
        if (run_tool(find_tool("losetup"), {"-f", "--show", "--sector-size", QString::number(sector), image},
                     &out) != 0)
            return false;
        device = QString::fromLatin1(out.trimmed());
        loop = true;
        return true;
    }
    void detach()
    {
        if (loop)
            run_tool(find_tool("losetup"), {"-d", device});
        loop = false;
    }
    ~disk_s() { detach(); }
};
}  // namespace

class gpt_test_c : public QObject {
    Q_OBJECT
    QString dir_;

    // A GPT disk of 4 partitions (NTFS, FAT32, ext4, swap) made by sgdisk
    // and the mkfs tools, with ss-byte sectors. With 512-byte ones the FAT32
    // holds an EFI folder as an EFI system partition (mtools cannot write a
    // FAT of 4096-byte sectors). Empty with a skip reason
    // in *why when a tool or root is missing.
    QString make_disk(uint32_t ss, const QString& name, QString* why)
    {
        for (const char* t : {"sgdisk", "sfdisk", "mkfs.ntfs", "mkfs.vfat", "mkfs.ext4", "mkswap", "dd", "mmd"})
            if (find_tool(t).isEmpty()) {
                *why = QStringLiteral("skip: %1 is not installed").arg(t);
                return {};
            }
        if (ss != 512 && (!is_root() || find_tool("losetup").isEmpty())) {
            *why = "skip: 4096-byte sectors need root and losetup";
            return {};
        }
        disk_s disk{dir_ + "/" + name + ".img"};
        QFile::remove(disk.image);
        if (!make_sparse(disk.image, 96ull << 20) || !disk.attach(ss)) {
            *why = "skip: no loop device with 4096-byte sectors";
            return {};
        }
        const uint64_t first = (1 << 20) / ss;
        run_tool(find_tool("sgdisk"), {"-n", QStringLiteral("1:%1:+8M").arg(first), "-t", "1:0700", "-c", "1:win",
                                       "-n", "2:0:+40M", "-t", ss == 512 ? "2:EF00" : "2:0700", "-n", "3:0:+12M", "-t", "3:8300", "-n",
                                       "4:0:+8M", "-t", "4:8200", disk.device});
        const QJsonArray parts = sfdisk_partitions(disk.device);
        disk.detach();
        if (parts.size() != 4)
            return {};
        const QStringList mkfs[4] = {{"mkfs.ntfs", "-q", "-F", "-s", QString::number(ss), "-L", "winvol"},
                                     {"mkfs.vfat", "-F", "32", "-S", QString::number(ss), "-n", "FATVOL"},
                                     {"mkfs.ext4", "-q", "-b", "4096", "-L", "linvol"},
                                     {"mkswap", "-L", "swapvol"}};
        for (int i = 0; i < 4; ++i) {
            const QString volume = dir_ + QStringLiteral("/vol%1.img").arg(i);
            QFile::remove(volume);
            make_sparse(volume, uint64_t(parts[i].toObject()["size"].toInteger()) * ss);
            QStringList args = mkfs[i].mid(1);
            args << volume;
            if (run_tool(find_tool(mkfs[i][0]), args) != 0 ||
                (i == 1 && ss == 512 && run_tool(find_tool("mmd"), {"-i", volume, "::/EFI"}) != 0) ||
                dd(volume, disk.image, ss, uint64_t(parts[i].toObject()["start"].toInteger())) != 0)
                return {};
            QFile::remove(volume);
        }
        return disk.image;
    }

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("partition-gpt"));
        QVERIFY(!dir_.isEmpty());
        qputenv("XDG_STATE_HOME", (dir_ + "/state").toLocal8Bit());
    }

    void header_checks()
    {
        const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        QCOMPARE(ondisk::crc32(digits, sizeof digits), 0xCBF43926u);
        ondisk::guid_t g{};
        QVERIFY(ondisk::parse_guid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B", &g));
        QCOMPARE(g[0], uint8_t(0x28));  // the first field little-endian on disk
        QCOMPARE(ondisk::guid_text(g), std::string("C12A7328-F81F-11D2-BA4B-00A0C93EC93B"));

        ondisk::gpt_header_fields_s h;
        h.my_lba = 1, h.alternate_lba = 999, h.first_usable = 34, h.last_usable = 966, h.entries_lba = 2;
        h.entry_count = 128, h.entry_size = 128;
        uint8_t sector[512];
        ondisk::encode_gpt_header(h, sector, sizeof sector);
        QCOMPARE(ondisk::check_gpt_header(sector, 512, 1, 1000), std::string());
        QVERIFY(ondisk::check_gpt_header(sector, 512, 999, 1000).find("sector 1") != std::string::npos);
        QVERIFY(ondisk::check_gpt_header(sector, 512, 1, 900).find("usable") != std::string::npos);
        sector[60] ^= 1;
        QVERIFY(ondisk::check_gpt_header(sector, 512, 1, 1000).find("CRC32") != std::string::npos);
        h.entry_count = 0x01000000;  // 2 GiB of entries
        ondisk::encode_gpt_header(h, sector, sizeof sector);
        QVERIFY(ondisk::check_gpt_header(sector, 512, 1, 1000).find("impossible") != std::string::npos);
    }

    void repair_data()
    {
        QTest::addColumn<uint32_t>("ss");
        QTest::addColumn<QString>("damage");
        for (uint32_t ss : {512u, 4096u})
            for (const char* damage : {"primary", "backup", "both"})
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(ss).arg(damage))) << ss << QString(damage);
    }

    // The primary (with the protective MBR) or the backup zeroed comes back
    // byte for byte from the other; both zeroed, the search's table has the
    // same starts, sizes and types. sgdisk finds no fault, the partitions'
    // bytes are untouched, and undo puts the damaged state back exactly.
    void repair()
    {
        QFETCH(uint32_t, ss);
        QFETCH(QString, damage);
        QString why;
        const QString image = make_disk(ss, QStringLiteral("gpt-%1-%2").arg(ss).arg(damage), &why);
        if (image.isEmpty() && !why.isEmpty())
            QSKIP(qPrintable(why));
        QVERIFY(!image.isEmpty());
        const QByteArray original = whole(image);
        disk_s disk{image};
        QVERIFY(disk.attach(ss));
        const QJsonArray then = sfdisk_partitions(disk.device);
        disk.detach();
        const uint64_t size = uint64_t(original.size());
        const QByteArray zeros(int(34 * ss), '\0');
        // "both" keeps the protective MBR: the disk still shows it is GPT.
        if (damage != "backup")
            QVERIFY(write_at(image, damage == "both" ? ss : 0, zeros.constData(), size_t(damage == "both" ? 33 : 34) * ss));
        if (damage != "primary")
            QVERIFY(write_at(image, size - 33 * ss, zeros.constData(), 33 * size_t(ss)));
        const QByteArray damaged = whole(image);
        QVERIFY(disk.attach(ss));
        partition::repair_outcome_s outcome;
        if (damage == "both") {
            partition_repair_c search;
            const drive_item_s drive = drive_for(disk.device);
            search.start_search(&drive);
            search.wait();
            QCOMPARE(int(search.partition_count()), 4);
            QCOMPARE(search.write_partition_table(), 0);
            outcome = search.last_repair();
        } else {
            QVERIFY(!partition::repair_needs_search(disk.device.toStdString()));
            partition::table_request_s request;
            request.device_path = disk.device.toStdString();
            outcome = partition::write_table(request);
        }
        QVERIFY2(outcome.result == 0, outcome.reason.c_str());
        QCOMPARE(outcome.written, partition::table_kind::gpt);
        QByteArray verify;
        run_tool(find_tool("sgdisk"), {"-v", disk.device}, &verify);
        QVERIFY2(verify.contains("No problems found"), verify.constData());
        disk.detach();

        const QByteArray repaired = whole(image);
        if (damage != "both") {
            QVERIFY(repaired == original);
        } else {
            QVERIFY(disk.attach(ss));
            const QJsonArray now = sfdisk_partitions(disk.device);
            disk.detach();
            QCOMPARE(layout(now), layout(then));
            QCOMPARE(now[0].toObject()["name"].toString(), QStringLiteral("winvol"));
            const uint64_t first = uint64_t(then[0].toObject()["start"].toInteger()) * ss;
            const uint64_t last = uint64_t(then[3].toObject()["start"].toInteger() + then[3].toObject()["size"].toInteger()) * ss;
            QVERIFY(repaired.mid(qsizetype(first), qsizetype(last - first)) ==
                    original.mid(qsizetype(first), qsizetype(last - first)));
        }

        // The backup keeps the head and the tail, and is named for a GPT; the
        // undo says how many sectors went back (34 + 33 of 512 bytes).
        QVERIFY2(QString::fromStdString(outcome.backup_path).endsWith(".gpt"), outcome.backup_path.c_str());
        std::string replaced, error;
        uint64_t sectors = 0;
        QVERIFY(disk.attach(ss));
        const int restored = partition::restore_sector0(disk.device.toStdString(), outcome.backup_path, &replaced,
                                                        &error, nullptr, false, nullptr, &sectors);
        disk.detach();
        QVERIFY2(restored == 0, error.c_str());
        QVERIFY(whole(image) == damaged);
        if (ss == 512)
            QCOMPARE(sectors, uint64_t(67));
        QVERIFY(sectors > 1);
        QVERIFY(QString::fromStdString(replaced).endsWith(".gpt"));
        QFile::remove(image);
    }

    // A wrong dd put an MBR over the primary GPT: rebuilding the GPT from its
    // backup would drop the MBR's partition, so it is refused and named
    // until the person agrees; then the GPT is back as it was.
    void mbr_over_gpt_asks_before_dropping()
    {
        QUARVEL_FIXTURE(f, "gpt");
        const QString disk = dir_ + "/dd-over-gpt.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(QString::fromStdString(f.image), disk));
        const QByteArray original = whole(disk);
        QVERIFY(write_at(disk, 0, QByteArray(34 * 512, '\0').constData(), 34 * 512));
        partition_item_s stray;
        stray.file_system = "FAT32", stray.type = 12, stray.start_sector = 4096, stray.end_sector = 8191;
        const partition::sector_t mbr = partition::build_master_boot_record({}, {stray}, 255, 63);
        QVERIFY(write_at(disk, 0, mbr.data(), mbr.size()));
        const QByteArray damaged = whole(disk);

        partition::table_request_s request;
        request.device_path = disk.toStdString();
        partition::repair_outcome_s outcome = partition::write_table(request);
        QCOMPARE(outcome.status, partition::repair_status::would_drop);
        QVERIFY2(outcome.reason.find("sectors 4096-8191") != std::string::npos, outcome.reason.c_str());
        QVERIFY(whole(disk) == damaged);
        request.drop_confirmed = true;
        outcome = partition::write_table(request);
        QVERIFY2(outcome.result == 0, outcome.reason.c_str());
        // The protective MBR is ours now; everything after it is as it was.
        QVERIFY(whole(disk).mid(512) == original.mid(512));
    }

    // ext4, XFS, Btrfs and swap at 1 MiB boundaries, FAT16 and exFAT at odd
    // sectors: each found at its start with the length its own size field
    // states, named and labelled, on a disk with no table at all.
    void search_finds_other_file_systems()
    {
        struct volume_s {
            const char* tool;
            QStringList args;
            uint64_t start, sectors;
            QString expected;
        };
        const std::vector<volume_s> volumes = {
            {"mkfs.ext4", {"-q", "-L", "lin"}, 2048, 16384, "ext4 lin"},
            {"mkfs.vfat", {"-F", "16", "-n", "SIXTEEN"}, 18500, 32768, "FAT16 SIXTEEN"},
            {"mkfs.exfat", {"-L", "ex"}, 53249, 16384, "exFAT ex"},
            {"mkfs.xfs", {"-q", "-L", "xf"}, 71680, 614400, "xfs xf"},
            {"mkfs.btrfs", {"-q", "-L", "bt"}, 688128, 262144, "btrfs bt"},
            {"mkswap", {"-L", "sw"}, 952320, 8192, "swap sw"},
        };
        const QString disk = dir_ + "/others.img";
        QVERIFY(make_sparse(disk, 480ull << 20));
        QStringList expected;
        for (const auto& v : volumes) {
            if (find_tool(v.tool).isEmpty()) {
                qWarning("%s is not installed: its volume is left out", v.tool);
                continue;
            }
            const QString file = dir_ + "/other.img";
            QFile::remove(file);
            QVERIFY(make_sparse(file, v.sectors * 512));
            QVERIFY2(run_tool(find_tool(v.tool), QStringList(v.args) << file) == 0, v.tool);
            // The FAT16 one as DOS formats: "MSDOS5.0" and a signature at the
            // next sector's end, which the FAT32 test once took for its own.
            if (v.expected.startsWith("FAT16")) {
                const uint8_t signature[2] = {0x55, 0xAA};
                QVERIFY(write_at(file, 3, "MSDOS5.0", 8) && write_at(file, 1022, signature, 2));
            }
            QCOMPARE(dd(file, disk, 512, v.start), 0);
            expected << QStringLiteral("%1 %2-%3").arg(v.expected).arg(v.start).arg(v.start + v.sectors - 1);
        }
        partition_repair_c search;
        const drive_item_s drive = drive_for(disk);
        search.start_search(&drive);
        search.wait();
        QStringList found;
        for (const auto& p : search.partitions())
            found << QStringLiteral("%1 %2 %3-%4").arg(p.file_system, p.label).arg(p.start_sector).arg(p.end_sector);
        QCOMPARE(found, expected);
        QFile::remove(disk);
    }
};

QTEST_GUILESS_MAIN(gpt_test_c)
#include "gpt_test.moc"
