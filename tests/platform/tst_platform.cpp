// The platform layer on crafted disk images: partition tables that lie, image
// paths that are not images, and byte windows that must not leak.
#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "platform/drive_table.h"
#include "platform/partitions.h"
#include "platform/raw_device.h"
#include "platform/volumes.h"

#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

constexpr uint64_t sector = 512;

struct mbr_entry_s {
    uint8_t status = 0;
    uint8_t type = 0;
    uint32_t first_lba = 0;
    uint32_t sectors = 0;
};

void put_le32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes an MBR (and, for an extended entry, nothing else) into a disk of
// the given sector count. Returns the image path.
void write_mbr(std::vector<uint8_t>& disk, uint64_t at_sector, const std::vector<mbr_entry_s>& entries)
{
    const size_t base = static_cast<size_t>(at_sector * sector);
    for (size_t i = 0; i < entries.size() && i < 4; ++i) {
        const size_t e = base + 446 + 16 * i;
        disk[e] = entries[i].status;
        disk[e + 4] = entries[i].type;
        put_le32(disk, e + 8, entries[i].first_lba);
        put_le32(disk, e + 12, entries[i].sectors);
    }
    disk[base + 510] = 0x55;
    disk[base + 511] = 0xAA;
}

std::string save(const QTemporaryDir& dir, const char* name, const std::vector<uint8_t>& bytes)
{
    const std::string path = dir.filePath(name).toStdString();
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

}  // namespace

class tst_platform : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        platform::set_block_devices_enabled(false);
        platform::close_disk_images();
    }

    void format_size_data()
    {
        QTest::addColumn<quint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << quint64(0) << "0B";
        QTest::newRow("1 KiB is still bytes") << quint64(1024) << "1024B";
        QTest::newRow("just above 1 KiB") << quint64(1025) << "1.00K";
        QTest::newRow("1 MiB is still KiB") << quint64(1048576) << "1024.00K";
        QTest::newRow("1 GiB is still MiB") << quint64(1073741824) << "1024.00M";
        QTest::newRow("5 GiB") << quint64(5368709120ULL) << "5.00G";
        QTest::newRow("largest count") << quint64(~0ULL) << "17179869184.00G";
    }
    void format_size()
    {
        QFETCH(quint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(::format_size(bytes), text);
    }

    void bad_image_paths_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "missing" << "no such file";
        QTest::newRow("folder") << "folder" << "folder";
        QTest::newRow("empty") << "empty" << "empty";
        QTest::newRow("unreadable") << "unreadable" << "permission denied";
    }
    void bad_image_paths()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        std::string path = dir.filePath("x.img").toStdString();
        if (kind == "folder")
            path = dir.path().toStdString();
        if (kind == "empty")
            std::ofstream(path).flush();
        if (kind == "unreadable") {
            if (geteuid() == 0)
                QSKIP("root reads every file, so no image is unreadable");
            std::ofstream(path) << "data";
            QFile::setPermissions(QString::fromStdString(path), QFileDevice::WriteOwner);
        }
        std::string error;
        QCOMPARE(platform::open_disk_image(path, &error), -1);
        QVERIFY2(error.find(reason.toStdString()) != std::string::npos, error.c_str());
        QVERIFY(error.find('\n') == std::string::npos);
        QVERIFY(platform::drive_table().empty());
    }

    void at_most_ten_drives()
    {
        QTemporaryDir dir;
        std::vector<uint8_t> bytes(4096, 0);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(platform::open_disk_image(save(dir, qPrintable(QString("d%1.img").arg(i)), bytes)), 0);
        std::string error;
        QCOMPARE(platform::open_disk_image(save(dir, "eleven.img", bytes), &error), -1);
        QVERIFY(!error.empty());
        QCOMPARE(platform::drive_table().size(), size_t(10));
        // Opening the same image again is not a new drive.
        QCOMPARE(platform::open_disk_image(dir.filePath("d3.img").toStdString()), 0);
        QCOMPARE(platform::drive_table().size(), size_t(10));
    }

    // Entries that run past the end are clipped, entries that start past it
    // and entries overlapping an earlier one are left out; the disk stays.
    void lying_mbr_entries()
    {
        QTemporaryDir dir;
        const uint64_t sectors = 8192;
        std::vector<uint8_t> disk(sectors * sector, 0);
        write_mbr(disk, 0, {{0, 0x0c, 2048, 1000000}, {0, 0x07, 100000, 2048}, {0, 0x07, 2100, 100}});
        const std::string path = save(dir, "lying.img", disk);
        const auto parts = platform::read_partitions(path);
        QCOMPARE(parts.size(), size_t(1));
        QCOMPARE(parts[0].number, 1);
        QCOMPARE(parts[0].start_bytes, uint64_t(2048 * sector));
        QCOMPARE(parts[0].size_bytes, uint64_t((sectors - 2048) * sector));

        QCOMPARE(platform::open_disk_image(path), 0);
        platform::raw_device_c dev;
        QCOMPARE(dev.open(path + ":p1"), 0);
        QCOMPARE(dev.size(), uint64_t((sectors - 2048) * sector));
        std::vector<uint8_t> buffer(4 * sector, 0xEE);
        QCOMPARE(dev.read_at(dev.size() - sector, buffer.data(), buffer.size()), int64_t(sector));
        QCOMPARE(dev.read_at(dev.size(), buffer.data(), buffer.size()), int64_t(0));
        QCOMPARE(dev.open(path + ":p2"), -1);
        QVERIFY(!dev.error().empty());
    }

    // An extended partition whose chain points back at itself must end.
    void looping_extended_chain()
    {
        QTemporaryDir dir;
        std::vector<uint8_t> disk(8192 * sector, 0);
        write_mbr(disk, 0, {{0, 0x0c, 64, 512}, {0, 0x05, 1024, 4096}});
        // First EBR: one logical partition, then a link back to itself.
        write_mbr(disk, 1024, {{0, 0x0c, 32, 256}, {0, 0x05, 0, 4096}});
        const std::string path = save(dir, "loop.img", disk);
        const auto started = std::chrono::steady_clock::now();
        const auto parts = platform::read_partitions(path);
        QVERIFY(std::chrono::steady_clock::now() - started < std::chrono::seconds(5));
        QVERIFY(!parts.empty());
        for (const auto& p : parts)
            QVERIFY(p.start_bytes + p.size_bytes <= disk.size());
        QCOMPARE(platform::open_disk_image(path), 0);
        enumerate_drives();
        QCOMPARE(drive_list.size(), size_t(2));
    }

    // A GPT whose header is damaged: the disk is still listed, nothing breaks.
    void damaged_gpt_header()
    {
        QTemporaryDir dir;
        std::vector<uint8_t> disk(4096 * sector, 0);
        write_mbr(disk, 0, {{0, 0xEE, 1, 4095}});
        std::memcpy(&disk[sector], "EFI PART", 8);
        disk[sector + 16] = 0xFF;  // header size nonsense, CRC wrong
        const std::string path = save(dir, "gpt.img", disk);
        QCOMPARE(platform::open_disk_image(path), 0);
        enumerate_drives();
        QCOMPARE(drive_list.size(), size_t(2));
        QCOMPARE(drive_list[1].device_path, QString::fromStdString(dir.filePath("gpt.img").toStdString()));
        enumerate_volumes();
        QCOMPARE(volume_list.size(), size_t(1));  // header row only
    }

    void image_volume_paths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("split");
        QTest::addColumn<QString>("image");
        QTest::addColumn<int>("partition");
        QTest::newRow("partition") << "/a/card.img:p2" << true << "/a/card.img" << 2;
        QTest::newRow("whole image") << "/a/card.img:p0" << true << "/a/card.img" << 0;
        QTest::newRow("plain path") << "/a/card.img" << false << "" << -1;
        QTest::newRow("not digits") << "/a/card.img:px" << false << "" << -1;
        QTest::newRow("no number") << "/a/card.img:p" << false << "" << -1;
        QTest::newRow("block device") << "/dev/sdb1" << false << "" << -1;
    }
    void image_volume_paths()
    {
        QFETCH(QString, path);
        QFETCH(bool, split);
        QFETCH(QString, image);
        QFETCH(int, partition);
        std::string got_image;
        int got_partition = -1;
        QCOMPARE(platform::split_image_volume_path(path.toStdString(), &got_image, &got_partition), split);
        if (split) {
            QCOMPARE(QString::fromStdString(got_image), image);
            QCOMPARE(got_partition, partition);
        }
    }
};

QTEST_GUILESS_MAIN(tst_platform)
#include "tst_platform.moc"
