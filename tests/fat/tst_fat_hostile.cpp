// The FAT reader and scanner on volumes laid out by hand: mount boundaries,
// rejected boot sectors, code page 936 names, deleted long names, and the
// damaged cases (loops, self-containing folders, chains that leave the
// volume, truncation, endless folders), and guesses at where a deleted
// folder goes on. None may crash, hang or list data as entries.
#include "fat_image.h"

#include "engines/fat/fat_fs.h"
#include "engines/fat/fat_internal.h"
#include "engines/fat/fat_trust.h"
#include "platform/drive_table.h"
#include "scan/fat/fat_recovery.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QElapsedTimer>
#include <map>

namespace {

// Runs a scan to its end; false when it did not end within the limit.
bool scan(fat_recovery_c& scanner, const volume_item_s& volume, int limit_ms = 60000)
{
    scanner.reset();
    scanner.set_volume(volume);
    scanner.start();
    return scanner.wait(limit_ms);
}

const fat_node_s* named(const fat_recovery_c& scanner, const QString& name)
{
    for (const auto& [key, node] : scanner.store())
        if (node.name == name)
            return &node;
    QStringList names;
    for (const auto& [key, node] : scanner.store())
        names << QString("%1=%2").arg(key).arg(node.name);
    qDebug() << "no" << name << "among" << names;
    return nullptr;
}

QByteArray read_all(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Fills n bytes of a cluster run with a recognisable pattern.
QByteArray pattern(int n, char seed)
{
    QByteArray b(n, 0);
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>(seed + i % 23);
    return b;
}

}  // namespace

class tst_fat_hostile : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    int serial_ = 0;

    // A unique file name for every image.
    QString image_name() { return QString("v%1.img").arg(++serial_); }

    // Mounts a saved image's whole-image volume through the reader.
    int mount(const volume_item_s& v, fat_volume_s* fs)
    {
        auto source = platform::open_byte_source(v.device_path.toStdString(), nullptr);
        if (!source)
            return -1;
        fat_attach(fs, source);
        fat_dir_s dir;
        return f_opendir(&dir, fs, u"/");
    }

private slots:
    void initTestCase()
    {
        platform::set_block_devices_enabled(false);
        platform::close_disk_images();
    }
    void init() { platform::close_disk_images(); }

    void mount_follows_cluster_count_boundaries_data()
    {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("clusters");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("type");
        QTest::newRow("4085 is FAT12") << 12 << 4085 << int(fr_ok) << int(fat_12);
        QTest::newRow("4086 is FAT16") << 16 << 4086 << int(fr_ok) << int(fat_16);
        QTest::newRow("65525 is FAT16") << 16 << 65525 << int(fr_ok) << int(fat_16);
        QTest::newRow("65526 is FAT32") << 32 << 65526 << int(fr_ok) << int(fat_32);
        // Laid out as FAT12 but counted as FAT16: its FAT is too small.
        QTest::newRow("FAT too small") << 12 << 4086 << int(fr_no_filesystem) << int(fat_none);
    }
    void mount_follows_cluster_count_boundaries()
    {
        QFETCH(int, bits);
        QFETCH(int, clusters);
        QFETCH(int, result);
        QFETCH(int, type);
        fat_image_c image(bits, static_cast<uint32_t>(clusters));
        const auto v = image.save(tmp_.path(), image_name());
        fat_volume_s fs;
        QCOMPARE(mount(v, &fs), result);
        QCOMPARE(int(fs.fs_type), type);
        if (result == fr_ok)
            QCOMPARE(fs.fat_entries, uint32_t(clusters + 2));
    }

    void rejected_boot_sectors_data()
    {
        QTest::addColumn<int>("offset");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("8192-byte sectors") << 11 << QByteArray("\x00\x20", 2);
        QTest::newRow("256-byte sectors") << 11 << QByteArray("\x00\x01", 2);
        QTest::newRow("1536-byte sectors") << 11 << QByteArray("\x00\x06", 2);
        QTest::newRow("three FATs") << 16 << QByteArray("\x03", 1);
        QTest::newRow("no FAT") << 16 << QByteArray("\x00", 1);
        QTest::newRow("3 sectors per cluster") << 13 << QByteArray("\x03", 1);
        QTest::newRow("no reserved sectors") << 14 << QByteArray("\x00\x00", 2);
        QTest::newRow("root entries not a multiple of 16") << 17 << QByteArray("\x11\x00", 2);
        QTest::newRow("volume smaller than its FAT") << 19 << QByteArray("\x05\x00", 2);
        QTest::newRow("no signature") << 510 << QByteArray("\x00\x00", 2);
        QTest::newRow("no FAT name") << 54 << QByteArray("XYZ", 3);
        QTest::newRow("huge FAT size") << 22 << QByteArray("\xff\xff", 2);
    }
    void rejected_boot_sectors()
    {
        QFETCH(int, offset);
        QFETCH(QByteArray, bytes);
        fat_image_c image(16, 5000);
        std::memcpy(image.bytes.data() + offset, bytes.constData(), static_cast<size_t>(bytes.size()));
        const auto v = image.save(tmp_.path(), image_name());
        fat_volume_s fs;
        QCOMPARE(mount(v, &fs), int(fr_no_filesystem));

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        QCOMPARE(scanner.outcome().root_result, int(fr_no_filesystem));
        QCOMPARE(scanner.store().size(), size_t(1));  // the root node only
    }

    void code_page_936_names()
    {
        fat_image_c image(16, 5000);
        // A live folder named with two double-byte characters (U+4E2D U+6587).
        fat_image_c::put_short(image.entry(0, 0), "\xD6\xD0\xCE\xC4       ", 0x10, 3, 0);
        // Inside: a deleted file whose 0xE5 mark forms one double-byte code
        // with the next byte, and one where it cannot ("1" is no trail byte).
        fat_image_c::put_short(image.entry(3, 0), "\xE5\xA1" "BC    TXT", 0x20, 10, 100);
        fat_image_c::put_short(image.entry(3, 1), "\xE5" "1BC    TXT", 0x20, 11, 100);
        // A live lower-case folder (case flags) holding a deleted file.
        fat_image_c::put_short(image.entry(0, 1), "LOWER      ", 0x10, 4, 0);
        image.entry(0, 1)[12] = 0x08;
        fat_image_c::put_short(image.entry(4, 0), "\xE5OTES   TXT", 0x20, 12, 10);
        image.chain(3, 1);
        image.chain(4, 1);
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        const QString chinese = QString::fromUtf16(u"\u4E2D\u6587");
        QVERIFY(named(scanner, chinese));
        QVERIFY(named(scanner, "#BC.TXT"));
        QCOMPARE(named(scanner, "#BC.TXT")->parent, 3u);
        QVERIFY(named(scanner, "#1BC.TXT"));
        QVERIFY(named(scanner, "lower"));
        QCOMPARE(named(scanner, "lower")->has_files, uint8_t(1));

        // The other direction: a path with those characters finds the folder.
        fat_volume_s fs;
        QCOMPARE(mount(v, &fs), int(fr_ok));
        fat_dir_s dir;
        QCOMPARE(f_opendir(&dir, &fs, u"/\u4E2D\u6587"), int(fr_ok));
        QCOMPARE(dir.start_cluster, 3u);
        QCOMPARE(f_opendir(&dir, &fs, u"/LOWER"), int(fr_ok));
        QCOMPARE(f_opendir(&dir, &fs, u"/nothere"), int(fr_no_path));
        QCOMPARE(f_opendir(&dir, &fs, u"/a*b"), int(fr_invalid_name));
    }

    void deleted_long_names()
    {
        fat_image_c image(32, 70000);
        image.chain(2, 16);  // a root of 256 entries, clusters 2..17
        uint32_t i = 0;
        i = image.put_named(0, i, u"holiday photo 2024.jpg", "HOLIDA~1JPG", 0x20, 100, 10, true);
        i = image.put_named(0, i, u"exactly13unit", "EXACTL~1   ", 0x20, 101, 10, true);
        // Checksum taken from another short name: the long name is not this entry's.
        {
            const uint32_t at = i;
            i = image.put_named(0, i, u"wrong checksum.txt", "OTHERN~1TXT", 0x20, 102, 10, true);
            std::memcpy(image.entry(0, i - 1), "\xE5RONGC~1TXT", 11);
            (void)at;
        }
        // A full 13-unit piece preceded by another name's piece: it may be
        // the middle of a longer name, so it is not taken.
        i = image.put_named(0, i, u"foreign piece", "ZZZZZZ~1   ", 0x20, 0, 0, true);  // 1 piece
        {
            // The short entry of that name is replaced by the next name's pieces.
            i -= 1;
            uint8_t sum = 0;
            const char* name11 = "MIDDLE~1TXT";
            for (int k = 0; k < 11; ++k)
                sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + uint8_t(name11[k]));
            const std::u16string full = u"middle of a longer name.txt";
            fat_image_c::put_long(image.entry(0, i++), 0xE5, sum, full, 0);  // only the first 13 units
            fat_image_c::put_short(image.entry(0, i++), name11, 0x20, 103, 10);
            image.entry(0, i - 1)[0] = 0xE5;
        }
        // First letter of the long name does not fit the checksum's byte.
        i = image.put_named(0, i, u"mismatch.txt", "XISMAT~1TXT", 0x20, 104, 10, true);
        // Live entries with their long-name pieces in the wrong order keep
        // only the short name (and are not listed, so use a folder).
        {
            const uint32_t first = i;
            i = image.put_named(0, i, u"a folder with a long name", "AFOLDE~1   ", 0x10, 200, 0, false);
            uint8_t swap[32];
            std::memcpy(swap, image.entry(0, first), 32);
            std::memcpy(image.entry(0, first), image.entry(0, first + 1), 32);
            std::memcpy(image.entry(0, first + 1), swap, 32);
            image.chain(200, 1);
        }
        // The longest names: 255 units live and deleted; 256 is too long.
        const std::u16string longest(255, u'x');
        i = image.put_named(0, i, longest, "XXXXXX~1   ", 0x10, 201, 0, false);
        i = image.put_named(0, i, u"y" + longest.substr(1), "YXXXXX~1   ", 0x20, 105, 10, true);
        i = image.put_named(0, i, u"z" + longest, "ZXXXXX~1   ", 0x20, 106, 10, true);
        image.chain(201, 1);
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        QVERIFY(scanner.node(201) && scanner.node(105) && scanner.node(106));
        QCOMPARE(scanner.node(201)->name, QString::fromStdU16String(longest));
        QCOMPARE(scanner.node(105)->name, "#" + QString::fromStdU16String(longest.substr(1)));
        QCOMPARE(scanner.node(106)->name, QString("#XXXXX~1"));  // only the 0xE5 becomes "#"
        QVERIFY(named(scanner, "#oliday photo 2024.jpg"));
        QCOMPARE(named(scanner, "#oliday photo 2024.jpg")->cluster, 100u);
        QVERIFY(named(scanner, "#xactly13unit"));
        // (0xE5 before an ASCII letter is the mark alone: one "#", the letter stays.)
        QVERIFY(named(scanner, "#RONGC~1.TXT"));
        QVERIFY(named(scanner, "#IDDLE~1.TXT"));
        QVERIFY(named(scanner, "#ISMAT~1.TXT"));
        QVERIFY(named(scanner, "AFOLDE~1"));
        QVERIFY(!named(scanner, "a folder with a long name"));
    }

    void same_cluster_rules_and_hidden_entries()
    {
        fat_image_c image(16, 5000);
        const uint16_t d2020 = (40 << 9) | (1 << 5) | 1;
        const uint16_t d2021 = (41 << 9) | (1 << 5) | 1;
        fat_image_c::put_short(image.entry(0, 0), "LABEL      ", 0x08, 0, 0);
        // Two deleted files on one cluster: the later creation wins, in either order.
        fat_image_c::put_short(image.entry(0, 1), "\xE5" "1OLD   BIN", 0x20, 20, 1, d2020);
        fat_image_c::put_short(image.entry(0, 2), "\xE5" "1NEW   BIN", 0x20, 20, 2, d2021);
        fat_image_c::put_short(image.entry(0, 3), "\xE5" "2NEW   BIN", 0x20, 21, 2, d2021);
        fat_image_c::put_short(image.entry(0, 4), "\xE5" "2OLD   BIN", 0x20, 21, 1, d2020);
        // A live folder, then a deleted folder entry on its cluster, newer.
        fat_image_c::put_short(image.entry(0, 5), "LIVE       ", 0x10, 3, 0, d2020);
        fat_image_c::put_short(image.entry(0, 6), "\xE5" "3DEAD      ", 0x10, 3, 0, d2021);
        fat_image_c::put_short(image.entry(3, 0), ".          ", 0x10, 3, 0);
        fat_image_c::put_short(image.entry(3, 1), "..         ", 0x10, 0, 0);
        fat_image_c::put_short(image.entry(3, 2), "\xE5" "4IN    TXT", 0x20, 30, 9);
        image.chain(3, 1);
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        QCOMPARE(scanner.node(20)->name, QString("#1NEW.BIN"));
        QCOMPARE(scanner.node(21)->name, QString("#2NEW.BIN"));
        QCOMPARE(scanner.node(3)->name, QString("LIVE"));
        QCOMPARE(scanner.node(30)->parent, 3u);
        QString path;
        QCOMPARE(scanner.get_full_path(30, &path), 0);
        QCOMPARE(path, v.device_path + "/LIVE/#4IN.TXT");

        // The reader never hands out ".", ".." or the volume label.
        fat_volume_s fs;
        QCOMPARE(mount(v, &fs), int(fr_ok));
        fat_dir_s dir;
        QCOMPARE(f_opendir(&dir, &fs, u"/LIVE"), int(fr_ok));
        fat_info_s info;
        char16_t long_name[fat_long_name_units];
        info.long_name = long_name;
        info.long_name_capacity = fat_long_name_units;
        QCOMPARE(f_readdir(&dir, &info), int(fr_ok));
        QCOMPARE(QString::fromUtf16(info.short_name), QString("?4IN.TXT"));
        QVERIFY(info.attributes & fat_attr_deleted);
        QCOMPARE(f_readdir(&dir, &info), int(fr_ok));
        QCOMPARE(info.short_name[0], char16_t(0));
        QCOMPARE(f_opendir(&dir, &fs, u"/"), int(fr_ok));
        QCOMPARE(f_readdir(&dir, &info), int(fr_ok));
        QVERIFY(QString::fromUtf16(info.short_name) != "LABEL");
    }

    void folders_that_contain_themselves()
    {
        fat_image_c image(16, 5000);
        // /A (3) holds a live entry pointing back at 3, and /A/B (4) holds
        // one pointing at 4's parent 3; deleted files sit in both.
        fat_image_c::put_short(image.entry(0, 0), "A          ", 0x10, 3, 0);
        fat_image_c::put_short(image.entry(3, 0), "SELF       ", 0x10, 3, 0);
        fat_image_c::put_short(image.entry(3, 1), "B          ", 0x10, 4, 0);
        fat_image_c::put_short(image.entry(3, 2), "\xE5" "1      BIN", 0x20, 10, 5);
        fat_image_c::put_short(image.entry(4, 0), "BACK       ", 0x10, 3, 0);
        fat_image_c::put_short(image.entry(4, 1), "\xE5" "2      BIN", 0x20, 11, 5);
        image.chain(3, 1);
        image.chain(4, 1);
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v, 10000));
        QVERIFY(named(scanner, "#1.BIN"));
        QVERIFY(named(scanner, "#2.BIN"));
        QString path;
        QCOMPARE(scanner.get_full_path(10, &path), -1);
        QCOMPARE(scanner.get_full_path(11, &path), -1);
        int shown = 0;
        scanner.visit_shown_files([&](const fat_node_s&, const QString&) { ++shown; });
        QVERIFY(shown <= 2);
        for (const auto& [key, node] : scanner.store())
            for (const fat_node_s* child : node.children)
                QVERIFY(child != &node);
    }

    void chains_that_loop_or_leave_the_volume()
    {
        fat_image_c image(32, 70000);
        // The root's chain loops onto itself: the folder ends at 65,535 entries.
        image.set_fat(2, 2);
        for (uint32_t i = 0; i < 16; ++i)
            fat_image_c::put_short(image.entry(0, i), "\xE5OOP    BIN", 0x20, 1000 + i, 512);
        // A folder elsewhere whose chain points past the last cluster.
        fat_image_c::put_short(image.entry(0, 15), "OUT        ", 0x10, 50, 0);
        image.set_fat(50, 70010);
        fat_image_c::put_short(image.entry(50, 0), "\xE5NSIDE  BIN", 0x20, 2000, 512);
        // A deleted file that starts at the last cluster and claims two.
        fat_image_c::put_short(image.entry(50, 1), "\xE5" "DGE    BIN", 0x20, 70001, 1024);
        const QByteArray tail = pattern(512, 'a');
        std::memcpy(image.cluster(70001), tail.constData(), 512);
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(scan(scanner, v, 60000));
        QVERIFY(scanner.get_read_count() >= 65536);
        QVERIFY(scanner.get_read_count() <= 65540);
        QVERIFY(named(scanner, "#NSIDE.BIN"));

        // Contiguous reading stops at the volume's end: the copy fails and
        // its partial file is removed.
        const QString out = tmp_.filePath("edge.bin");
        QCOMPARE(scanner.recover_file(70001, out), -1);
        QVERIFY(!QFile::exists(out));
        QCOMPARE(scanner.recover_file(123456, tmp_.filePath("none.bin")), -1);
        QVERIFY(!QFile::exists(tmp_.filePath("none.bin")));
    }

    void nesting_deeper_than_the_bound()
    {
        fat_image_c image(16, 5000);
        const uint32_t levels = fat_recovery_c::max_depth + 20;
        fat_image_c::put_short(image.entry(0, 0), "D          ", 0x10, 3, 0);
        for (uint32_t l = 0; l < levels; ++l) {
            fat_image_c::put_short(image.entry(3 + l, 0), "D          ", 0x10, 4 + l, 0);
            fat_image_c::put_short(image.entry(3 + l, 1), "\xE5" "F      BIN", 0x20, 2000 + l, 1);
            image.chain(3 + l, 1);
        }
        const auto v = image.save(tmp_.path(), image_name());
        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        QCOMPARE(scanner.outcome().folders_too_deep, 1);
    }

    void truncated_volume_keeps_what_it_can_read()
    {
        fat_image_c image(16, 20000);
        fat_image_c::put_short(image.entry(0, 0), "NEAR       ", 0x10, 3, 0);
        fat_image_c::put_short(image.entry(0, 1), "FAR        ", 0x10, 19000, 0);
        fat_image_c::put_short(image.entry(0, 2), "\xE5" "ATE    BIN", 0x20, 19500, 2048);
        fat_image_c::put_short(image.entry(3, 0), "\xE5" "1EAR   TXT", 0x20, 5, 600);
        fat_image_c::put_short(image.entry(19000, 0), "\xE5" "2AR    TXT", 0x20, 6, 600);
        image.chain(3, 1);
        image.chain(19000, 1);
        const QByteArray near = pattern(600, 'n');
        std::memcpy(image.cluster(5), near.constData(), 600);
        // Cut the image a little after cluster 10,000.
        image.bytes.resize(static_cast<size_t>((image.first_data_sector() + 10000) * 512));
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        QVERIFY(named(scanner, "#1EAR.TXT"));
        QVERIFY(!scanner.node(6));
        QCOMPARE(scanner.outcome().folders_cut_short, 1);
        QCOMPARE(scanner.recover_file(5, tmp_.filePath("near.txt")), 0);
        QCOMPARE(read_all(tmp_.filePath("near.txt")), near);
        QCOMPARE(scanner.recover_file(19500, tmp_.filePath("late.bin")), -1);
        // The row says so before the copy is tried.
        QCOMPARE(scanner.node(19500)->trust, fat_row_incomplete);
        QCOMPARE(scanner.node(5)->trust, fat_row_uncertain);
    }

    // Runs of clusters that follow each other are read in one go; the read
    // must still turn where the chain does, and start from mid-cluster.
    void reads_follow_the_chain_across_runs()
    {
        fat_image_c image(16, 5000, 2);  // 1 KiB clusters
        const QByteArray data = pattern(6000, 'r');
        const uint32_t clusters[] = {40, 41, 42, 60, 61, 30};
        for (int i = 0; i < 6; ++i) {
            const QByteArray piece = data.mid(i * 1024, 1024);
            std::memcpy(image.cluster(clusters[i]), piece.constData(), static_cast<size_t>(piece.size()));
            image.set_fat(clusters[i], i < 5 ? clusters[i + 1] : image.end_of_chain());
        }
        const auto v = image.save(tmp_.path(), image_name());
        fat_volume_s fs;
        QCOMPARE(mount(v, &fs), int(fr_ok));
        fat_file_s file;
        QCOMPARE(fat_file_setup(&file, &fs, 40, 6000), int(fr_ok));
        QByteArray got(6000, 0);
        uint32_t delivered = 0;
        QCOMPARE(f_read(&file, got.data(), 700, &delivered, false), int(fr_ok));
        uint32_t rest = 0;
        QCOMPARE(f_read(&file, got.data() + 700, 6000, &rest, false), int(fr_ok));
        QCOMPARE(delivered + rest, 6000u);
        QCOMPARE(got, data);
    }

    void contiguous_mode_ignores_the_freed_chain()
    {
        fat_image_c image(16, 5000, 2);  // 1 KiB clusters
        const QByteArray data = pattern(2500, 'q');
        std::memcpy(image.cluster(40), data.constData(), static_cast<size_t>(data.size()));
        fat_image_c::put_short(image.entry(0, 0), "\xE5REED   BIN", 0x20, 40, 2500);
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        QCOMPARE(scanner.recover_file(40, tmp_.filePath("freed.bin")), 0);
        QCOMPARE(read_all(tmp_.filePath("freed.bin")), data);

        // Through the FAT the same file stops at the first free entry.
        fat_volume_s fs;
        QCOMPARE(mount(v, &fs), int(fr_ok));
        fat_file_s file;
        QCOMPARE(fat_file_setup(&file, &fs, 40, 2500), int(fr_ok));
        QByteArray buffer(2500, 0);
        uint32_t got = 0;
        QCOMPARE(f_read(&file, buffer.data(), 2500, &got, false), int(fr_int_error));
        QCOMPARE(got, 1024u);
        // A file object from before a new mount is refused.
        fat_attach(&fs, fs.source);
        fat_dir_s dir;
        QCOMPARE(f_opendir(&dir, &fs, u"/"), int(fr_ok));
        QCOMPARE(f_read(&file, buffer.data(), 10, &got, true), int(fr_invalid_object));
    }

    // A deleted file's copy takes its clusters in a row from the start; the
    // FAT as it is now says whether that run is still free, taken, or past
    // the end, and a run that crosses taken clusters takes the free ones
    // from its start on where enough follow. Runs span several FAT sectors,
    // free ones and taken ones.
    void deleted_files_are_judged_by_the_fat_now()
    {
        fat_image_c image(16, 5000);  // 512-byte clusters, 256 entries a FAT sector
        uint32_t i = 0;
        const auto put = [&](const char* name11, uint32_t first, uint32_t size) {
            fat_image_c::put_short(image.entry(0, i++), name11, 0x20, first, size);
        };
        put("\xE5" "REE    BIN", 100, 200 * 512);     // 100..299: free throughout
        put("\xE5" "NE     BIN", 400, 512);           // one free cluster
        put("\xE5" "AKEN   BIN", 500, 300 * 512);     // 500..799, 790 now taken: 500..801 but those
        image.chain(4950, 10);
        put("\xE5" "RAMPED BIN", 4900, 95 * 512);     // 92 free clusters from 4900 on
        image.chain(790, 2);
        put("\xE5" "TART   BIN", 790, 100);           // its only cluster taken
        put("\xE5" "ASTEND BIN", 4990, 20 * 512);     // runs past cluster 5001
        put("\xE5" "MPTY   BIN", 900, 0);
        // A folder deleted with only its own entry marked: the files inside
        // keep their chains, one in a row and one in two pieces, and both are
        // whole; a third one's chain runs longer than its size, so it is not
        // its own.
        fat_image_c::put_short(image.entry(0, i++), "\xE5" "LD        ", fat_attr_directory, 1000, 0);
        fat_image_c::put_short(image.entry(1000, 0), "KEPT    BIN", 0x20, 1100, 3 * 512);
        image.chain(1100, 3);
        fat_image_c::put_short(image.entry(1000, 1), "JUMPS   BIN", 0x20, 1200, 2 * 512);
        image.set_fat(1200, 1500);
        image.set_fat(1500, image.end_of_chain());
        const QByteArray first = pattern(512, 'j'), second = pattern(512, 'k');
        std::memcpy(image.cluster(1200), first.constData(), 512);
        std::memcpy(image.cluster(1500), second.constData(), 512);
        fat_image_c::put_short(image.entry(1000, 2), "LONG    BIN", 0x20, 1300, 2 * 512);
        image.chain(1300, 4);
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        const struct {
            const char* name;
            int32_t trust;
        } cases[] = {
            {"#REE.BIN", fat_row_uncertain},        {"#NE.BIN", 0},
            {"#AKEN.BIN", fat_row_uncertain | fat_row_gaps_skipped},
            {"#RAMPED.BIN", fat_row_overwritten},   {"#TART.BIN", fat_row_overwritten},
            {"#ASTEND.BIN", fat_row_incomplete},    {"#MPTY.BIN", 0},
            {"#EPT.BIN", fat_row_chain_kept},       {"#UMPS.BIN", fat_row_chain_kept},
            {"#ONG.BIN", fat_row_overwritten},
        };
        for (const auto& c : cases) {
            const fat_node_s* n = named(scanner, c.name);
            QVERIFY2(n, c.name);
            QVERIFY2(n->trust == c.trust, qPrintable(QString("%1: %2").arg(c.name).arg(n->trust, 0, 16)));
            // The attribute byte stays as it was below the trust bits.
            const recovery_item_s row = fat_recovery_c::row_of(*n);
            QCOMPARE(row.flags & 0xFF, int32_t(n->attributes));
            QCOMPARE(row.flags & ~0xFF, c.trust);
        }
        // The file in two pieces is copied along its chain, not as a run.
        const QString jumps = tmp_.filePath("jumps.bin");
        QCOMPARE(scanner.recover_file(named(scanner, "#UMPS.BIN")->cluster, jumps), 0);
        QCOMPARE(read_all(jumps), first + second);
    }

    // A deleted folder whose first cluster is full goes on into the cluster
    // that continues it only when that cluster is free, not taken by another
    // folder, reads as entries throughout and, found further on, holds the
    // files written after the folder's last one; anything else ends it there.
    void deleted_folder_continues_only_into_plausible_clusters()
    {
        fat_image_c image(16, 5000, 1);  // 16 entries a cluster
        int folder_count = 0;
        // A full first cluster: "." and ".." and 14 deleted files of one
        // cluster each; the last file's data may be placed to end at last_end.
        const auto put_folder = [&](uint32_t first, uint32_t last_end = 0) {
            fat_image_c::put_short(image.entry(0, folder_count), "\xE5" "DIR      ", 0x10, first, 0);
            image.entry(0, folder_count)[4] = static_cast<uint8_t>('A' + folder_count);
            ++folder_count;
            fat_image_c::put_short(image.entry(first, 0), ".          ", 0x10, first, 0);
            fat_image_c::put_short(image.entry(first, 1), "..         ", 0x10, 0, 0);
            for (uint32_t i = 2; i < 16; ++i)
                fat_image_c::put_short(image.entry(first, i), "\xE5" "FILE    BIN", 0x20,
                                       i == 15 && last_end ? last_end - 2 : 1000 + first * 20 + i,
                                       i == 15 && last_end ? 1024 : 100);
        };
        // Deleted files in a continuation: count entries from slot 0, then the end.
        const auto put_files = [&](uint32_t c, uint32_t count) {
            for (uint32_t i = 0; i < count; ++i)
                fat_image_c::put_short(image.entry(c, i), "\xE5" "MORE    BIN", 0x20, 3000 + c * 20 + i, 100);
        };

        put_folder(10);  // followed by a JPEG's data
        const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01};
        for (uint32_t at = 0; at < 512; ++at)
            image.cluster(11)[at] = at < sizeof jpeg ? jpeg[at] : static_cast<uint8_t>(at * 7);
        put_folder(20);  // followed by entries a live chain holds
        put_files(21, 3);
        image.set_fat(21, image.end_of_chain());
        put_folder(30);  // followed by another folder's first cluster
        fat_image_c::put_short(image.entry(31, 0), ".          ", 0x10, 31, 0);
        put_files(31, 0);
        put_folder(40);  // followed by entries, one pointing past the volume
        put_files(41, 3);
        image.entry(41, 1)[26] = 0x50;
        image.entry(41, 1)[27] = 0xC3;  // cluster 50000
        put_folder(50);  // continued by 51, then 52, which ends it
        put_files(51, 16);
        put_files(52, 2);
        put_folder(60, 51);  // its last file ends where 51 starts, which 50 took
        put_folder(70);  // followed by text
        const char text[] = "THE QUARTERLY REPORT 2024, TABLE 3: SALES BY REGION (IN EUR) ";
        for (uint32_t at = 0; at < 512; ++at)
            image.cluster(71)[at] = static_cast<uint8_t>(text[at % (sizeof text - 1)]);
        put_folder(80);  // followed by entries and an end with bytes after it
        put_files(81, 3);
        image.entry(81, 9)[5] = 1;
        put_folder(90, 95);  // grown where its last file's data ended
        put_files(95, 2);
        const auto v = image.save(tmp_.path(), image_name());

        fat_recovery_c scanner;
        QVERIFY(scan(scanner, v));
        std::map<uint32_t, int> files_in;
        for (const auto& [key, node] : scanner.store())
            if (!(node.attributes & fat_attr_directory))
                ++files_in[node.parent];
        const std::map<uint32_t, int> expected = {{10, 14}, {20, 14}, {30, 14}, {40, 14},
                                                  {50, 14 + 16 + 2}, {60, 14}, {70, 14}, {80, 14}, {90, 16}};
        QCOMPARE(files_in, expected);
        QCOMPARE(scanner.outcome().deleted_folders_cut_short, int64_t(7));
        QCOMPARE(scanner.outcome().folders_cut_short, int64_t(0));
    }

    void reads_stay_inside_the_volume()
    {
        fat_image_c image(12, 100);
        const auto v = image.save(tmp_.path(), image_name());
        fat_volume_s fs;
        QCOMPARE(mount(v, &fs), int(fr_ok));
        std::vector<uint8_t> buffer(size_t{fs.volume_end + 1} * fs.sector_bytes);
        QCOMPARE(fat_read_sectors(&fs, buffer.data(), 0, uint32_t(fs.volume_end)), int(fr_ok));
        QCOMPARE(fat_read_sectors(&fs, buffer.data(), 0, uint32_t(fs.volume_end + 1)), int(fr_disk_error));
        QCOMPARE(fat_read_sectors(&fs, buffer.data(), fs.volume_end, 1), int(fr_disk_error));
        QCOMPARE(fat_read_sectors(&fs, buffer.data(), UINT64_MAX, 2), int(fr_disk_error));
        // Without a source nothing mounts.
        fat_attach(&fs, nullptr);
        fat_dir_s dir;
        QCOMPARE(f_opendir(&dir, &fs, u"/"), int(fr_not_enabled));
        QCOMPARE(mount(volume_item_s{.device_path = QStringLiteral("/nonexistent/image.img:p0")}, &fs), -1);
    }
};

QTEST_GUILESS_MAIN(tst_fat_hostile)
#include "tst_fat_hostile.moc"
