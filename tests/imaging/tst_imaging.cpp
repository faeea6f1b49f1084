// Imaging a failing disk: every readable sector saved, each bad one read as
// few times as the phases allow, a stopped run continued from its map (ours
// or ddrescue's), hostile maps refused, the source never written, and a scan
// of the image reading what the map says was never rescued as unreadable.
#include "imaging/imager.h"
#include "platform/byte_source.h"
#include "platform/rescue_map.h"
#include "support/failing_source.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cstring>

using platform::rescue_map_c;
using test_support::failing_source_c;

namespace {

constexpr uint64_t sector = 512;

std::vector<uint8_t> pattern(size_t bytes)
{
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(i * 13 + i / 512 + 1);
    return out;
}

std::vector<uint8_t> file_bytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    return std::vector<uint8_t>(all.begin(), all.end());
}

void write_file(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray hash_of(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result();
}

// The disk with its bad sectors as zeros: what a whole run must leave.
std::vector<uint8_t> expected_image(std::vector<uint8_t> disk, const std::set<uint64_t>& bad)
{
    for (uint64_t s : bad)
        std::fill_n(disk.begin() + static_cast<long>(s * sector), sector, 0);
    return disk;
}

std::set<uint64_t> bad_sectors_in(const rescue_map_c& map)
{
    std::set<uint64_t> bad;
    for (const auto& b : map.blocks())
        if (b.status != platform::rescue_done)
            for (uint64_t s = b.pos / sector; s * sector < b.end(); ++s)
                bad.insert(s);
    return bad;
}

imaging::imaging_options_s options(uint32_t timeout_ms = 0)
{
    imaging::imaging_options_s o;
    o.read_timeout_ms = timeout_ms;
    return o;
}

// A disk whose chosen sectors make a read wait, as a drive retrying inside
// its USB bridge does.
class hanging_source_c final : public platform::byte_source_c {
public:
    hanging_source_c(std::vector<uint8_t> bytes, std::set<uint64_t> hanging)
        : bytes_(std::move(bytes)), hanging_(std::move(hanging)) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        auto first = hanging_.lower_bound(offset / sector);
        if (first != hanging_.end() && *first * sector < offset + length)
            QThread::msleep(1500);
        std::memcpy(buffer, bytes_.data() + offset, length);
        return static_cast<int64_t>(length);
    }
    uint64_t size() const override { return bytes_.size(); }
    uint32_t sector_size() const override { return sector; }
    const std::string& name() const override { return name_; }

private:
    std::vector<uint8_t> bytes_;
    std::set<uint64_t> hanging_;
    std::string name_ = "hanging";
};

}  // namespace

class tst_imaging : public QObject {
    Q_OBJECT
private slots:
    void phases_save_every_readable_sector()
    {
        // A cluster of 40, a lone sector, a pair at the very end, and a bad
        // area wider than the first skip.
        std::set<uint64_t> bad = {3, 2047, 4094, 4095};
        for (uint64_t s = 1000; s < 1040; ++s)
            bad.insert(s);
        for (uint64_t s = 2500; s < 2800; ++s)
            bad.insert(s);
        const auto disk = pattern(4096 * sector);
        auto source = std::make_shared<failing_source_c>(disk, bad);
        QTemporaryDir dir;
        const QString dest = dir.filePath("disk.img");
        imaging::imager_c imager;
        // With the read timeout on, so reads go through the helper thread.
        QCOMPARE(imager.open(source, "failing", dest.toStdString(), "", options(30000)), std::string());
        QCOMPARE(imager.run([] { return false; }), std::string());
        const auto p = imager.progress();
        QCOMPARE(p.phase, imaging::phase_e::finished);
        QCOMPARE(p.unreadable, bad.size() * sector);
        QCOMPARE(p.rescued + p.unreadable, disk.size());
        QVERIFY(file_bytes(dest) == expected_image(disk, bad));

        rescue_map_c map;
        QCOMPARE(platform::read_rescue_map(dest.toStdString() + ".map", &map), std::string());
        QCOMPARE(map.current_phase, platform::rescue_done);
        QCOMPARE(bad_sectors_in(map), bad);
        // A bad sector costs at most its large read and its own.
        QVERIFY2(source->most_reads_of_a_bad_sector() <= 2, qPrintable(QString::number(source->most_reads_of_a_bad_sector())));
        for (uint64_t s = 0; s < 4096; ++s)
            if (!bad.count(s))
                QVERIFY(source->reads_of(s) >= 1);

        // Retries read each bad sector once more per pass.
        imaging::imaging_options_s twice = options();
        twice.retries = 2;
        imaging::imager_c again;
        QCOMPARE(again.open(source, "failing", dest.toStdString(), "", twice), std::string());
        QVERIFY(again.resumed());
        const int before = source->reads_of(1000);
        QCOMPARE(again.run([] { return false; }), std::string());
        QCOMPARE(source->reads_of(1000), before + 2);
        QCOMPARE(source->reads_of(200), 1);
    }

    void read_that_hangs_is_given_up()
    {
        const auto disk = pattern(512 * sector);
        QTemporaryDir dir;
        {
            imaging::imager_c imager;
            const std::string dest = dir.filePath("one.img").toStdString();
            QCOMPARE(imager.open(std::make_shared<hanging_source_c>(disk, std::set<uint64_t>{300}), "hanging", dest, "",
                                 options(200)),
                     std::string());
            QCOMPARE(imager.run([] { return false; }), std::string());
            rescue_map_c map;
            QCOMPARE(platform::read_rescue_map(dest + ".map", &map), std::string());
            QCOMPARE(bad_sectors_in(map), (std::set<uint64_t>{300}));
        }
        // Three in a row: the source has stopped answering, and the run says so.
        imaging::imager_c imager;
        std::set<uint64_t> every;
        for (uint64_t s = 0; s < 512; ++s)
            every.insert(s);
        QCOMPARE(imager.open(std::make_shared<hanging_source_c>(disk, every), "hanging",
                             dir.filePath("two.img").toStdString(), "", options(100)),
                 std::string());
        const std::string why = imager.run([] { return false; });
        QVERIFY2(why.find("stopped answering") != std::string::npos, why.c_str());
    }

    void stopped_run_continues_from_its_map()
    {
        std::set<uint64_t> bad;
        for (uint64_t s = 1600; s < 1640; ++s)
            bad.insert(s);
        const auto disk = pattern(2048 * sector);
        auto source = std::make_shared<failing_source_c>(disk, bad);
        QTemporaryDir dir;
        const QString dest = dir.filePath("disk.img");
        {
            imaging::imager_c imager;
            QCOMPARE(imager.open(source, "failing", dest.toStdString(), "", options()), std::string());
            int reads = 0;
            QCOMPARE(imager.run([&] { return ++reads > 5; }), std::string());
            QVERIFY(imager.progress().phase != imaging::phase_e::finished);
        }
        rescue_map_c stopped;
        QCOMPARE(platform::read_rescue_map(dest.toStdString() + ".map", &stopped), std::string());
        QVERIFY(stopped.bytes_with(platform::rescue_untried) > 0);
        QCOMPARE(stopped.bytes_with(platform::rescue_done), 5 * 65536ull);
        const int first_reads = source->reads_of(0);

        imaging::imager_c imager;
        QCOMPARE(imager.open(source, "failing", dest.toStdString(), "", options()), std::string());
        QVERIFY(imager.resumed());
        QCOMPARE(imager.run([] { return false; }), std::string());
        QCOMPARE(imager.progress().phase, imaging::phase_e::finished);
        QCOMPARE(source->reads_of(0), first_reads);  // what was saved is not read again
        QVERIFY(file_bytes(dest) == expected_image(disk, bad));
    }

    void ddrescue_map_is_continued()
    {
        const auto disk = pattern(256 * sector);
        auto source = std::make_shared<failing_source_c>(disk, std::set<uint64_t>{100, 200});
        QTemporaryDir dir;
        const QString dest = dir.filePath("disk.img");
        // As ddrescue leaves a stopped run: the first 64 sectors saved, an
        // area to trim, one to scrape, a bad sector, the rest not tried.
        QByteArray image(static_cast<int>(64 * sector), '\0');
        std::copy(disk.begin(), disk.begin() + 64 * sector, image.begin());
        write_file(dest, image);
        write_file(dest + ".map", "# Mapfile. Created by GNU ddrescue version 1.27\n"
                                  "# current_pos  current_status  current_pass\n"
                                  "0x00010000     *               1\n"
                                  "#      pos        size  status\n"
                                  "0x00000000  0x00008000  +\n"
                                  "0x00008000  0x00004000  *\n"
                                  "0x0000C000  0x00002000  /\n"
                                  "0x0000E000  0x00000200  -\n"
                                  "0x0000E200  0x00011E00  ?\n");
        imaging::imager_c imager;
        QCOMPARE(imager.open(source, "failing", dest.toStdString(), "", options()), std::string());
        QVERIFY(imager.resumed());
        QCOMPARE(imager.run([] { return false; }), std::string());
        QCOMPARE(source->reads_of(0), 0);
        QCOMPARE(source->reads_of(63), 0);
        QCOMPARE(source->reads_of(0xE000 / sector), 0);  // marked bad and no retries asked for
        rescue_map_c map;
        QCOMPARE(platform::read_rescue_map(dest.toStdString() + ".map", &map), std::string());
        QCOMPARE(bad_sectors_in(map), (std::set<uint64_t>{100, 112, 200}));
        QVERIFY(file_bytes(dest) == expected_image(disk, {100, 112, 200}));

        // ddrescue's own reader takes ours, and finds the same bad sectors.
        const QString ddrescuelog = QStandardPaths::findExecutable("ddrescuelog");
        if (ddrescuelog.isEmpty())
            QSKIP("ddrescuelog (gddrescue) is not installed: our map was not checked by it");
        QProcess list;
        list.start(ddrescuelog, {"--list-blocks=-", "--block-size=512", dest + ".map"});
        QVERIFY(list.waitForFinished(30000));
        QCOMPARE(list.exitCode(), 0);
        QCOMPARE(QString::fromLatin1(list.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
                 (QStringList{"100", "112", "200"}));
    }

    void hostile_maps_are_refused()
    {
        const std::pair<const char*, const char*> refused[] = {
            {"", "no line with the current position"},
            {"0x0 ? 1\n0x0 0x400 +\n0x200 0x200 -\n", "line 3: the block overlaps"},
            {"0x0 ? 1\n0x0 0x400 x\n", "line 2: expected"},
            {"0x0 Q 1\n", "line 1: expected the current position"},
            {"0x0 ? 1\n0x0 0xFFFFFFFFFFFFFFFFFF +\n", "line 2: expected"},
            {"0x0 ? 1\n0x3FFFFFFFFFFFFFFF 0x3FFFFFFFFFFFFFFF +\n", "ends past any disk"},
            {"0x0 ? 1\n0x0 0x200 + extra\n", "line 2: expected"},
        };
        for (const auto& [text, why] : refused) {
            rescue_map_c map;
            const std::string got = platform::parse_rescue_map(text, &map);
            QVERIFY2(got.find(why) != std::string::npos, (std::string(text) + " -> " + got).c_str());
        }
        rescue_map_c long_line;
        QVERIFY(platform::parse_rescue_map("0x0 ? 1\n" + std::string(2000, '#') + "\n", &long_line).find("too long") !=
                std::string::npos);
        // A gap is taken as not tried; decimal numbers and a missing pass read.
        rescue_map_c map;
        QCOMPARE(platform::parse_rescue_map("512 / \n0 512 +\n1024 512 -\n", &map), std::string());
        QCOMPARE(map.size(), 1536ull);
        QCOMPARE(map.status_at(600), platform::rescue_untried);
        QCOMPARE(map.current_phase, platform::rescue_unscraped);

        // A map of another size: refused by the imager and by a scan.
        const auto disk = pattern(64 * sector);
        QTemporaryDir dir;
        const QString dest = dir.filePath("disk.img");
        write_file(dest, QByteArray(static_cast<int>(disk.size()), 'x'));
        write_file(dest + ".map", "0x0 + 1\n0x0 0x10000 +\n");
        imaging::imager_c imager;
        const std::string why = imager.open(std::make_shared<failing_source_c>(disk, std::set<uint64_t>{}), "failing",
                                            dest.toStdString(), "", options());
        QVERIFY2(why.find("covers 65536 bytes but failing holds 32768") != std::string::npos, why.c_str());
        std::string error;
        QVERIFY(!platform::open_byte_source(dest.toStdString(), &error));
        QVERIFY2(error.find("covers 65536 bytes") != std::string::npos, error.c_str());
        // Cut short but only where nothing was rescued: as ddrescue leaves it.
        write_file(dest + ".map", "0x0 + 1\n0x0 0x4000 +\n0x4000 0xC000 -\n");
        QVERIFY(platform::open_byte_source(dest.toStdString(), &error));
        write_file(dest + ".map", "0x0 + 1\n0x0 0x4000 +\n0x4000 0xB000 -\n0xF000 0x1000 +\n");
        QVERIFY(!platform::open_byte_source(dest.toStdString(), &error));
        QVERIFY2(error.find("past its end are marked rescued") != std::string::npos, error.c_str());
    }

    void source_is_never_written()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath("source.img");
        const auto disk = pattern(1 << 20);
        write_file(source, QByteArray(reinterpret_cast<const char*>(disk.data()), static_cast<int>(disk.size())));
        const QByteArray before = hash_of(source);
        {
            imaging::imager_c onto_itself;
            const std::string why = onto_itself.open(source.toStdString(), source.toStdString(), "", options());
            QVERIFY2(!why.empty(), "imaging a file onto itself was allowed");
        }
        {
            // Its map may not be the source either.
            imaging::imager_c map_on_source;
            QVERIFY(!map_on_source.open(source.toStdString(), dir.filePath("a.img").toStdString(), source.toStdString(),
                                        options()).empty());
        }
        const QString dest = dir.filePath("copy.img");
        imaging::imager_c imager;
        QCOMPARE(imager.open(source.toStdString(), dest.toStdString(), "", options(30000)), std::string());
        QCOMPARE(imager.run([] { return false; }), std::string());
        QCOMPARE(hash_of(source), before);
        QCOMPARE(hash_of(dest), before);
        // A finished image is not overwritten by a new run without its map.
        QFile::remove(dest + ".map");
        imaging::imager_c over;
        QVERIFY(over.open(source.toStdString(), dest.toStdString(), "", options()).find("exists") != std::string::npos);
    }

    void scan_reads_the_map_without_reading_unrescued_sectors()
    {
        // A disk with an MBR and one partition from sector 64: the map is
        // laid in for the whole image and for the partition alike.
        QTemporaryDir dir;
        const QString image = dir.filePath("card.img");
        QByteArray disk(static_cast<int>(1024 * sector), '\x5a');
        QByteArray mbr(512, '\0');
        mbr[446 + 4] = '\x0c';
        const uint32_t start = 64;
        const uint32_t count = 960;
        for (int i = 0; i < 4; ++i) {
            mbr[446 + 8 + i] = static_cast<char>(start >> (8 * i));
            mbr[446 + 12 + i] = static_cast<char>(count >> (8 * i));
        }
        mbr[510] = '\x55';
        mbr[511] = '\xaa';
        disk.replace(0, 512, mbr);
        write_file(image, disk);
        // Sectors 100-103 never rescued, 500 bad.
        write_file(image + ".map", "0x0 + 1\n"
                                   "0x00000000  0x0000C800  +\n"
                                   "0x0000C800  0x00000800  /\n"
                                   "0x0000D000  0x00031800  +\n"
                                   "0x0003E800  0x00000200  -\n"
                                   "0x0003EA00  0x00041600  +\n");
        std::string error;
        const auto whole = platform::open_byte_source(image.toStdString(), &error);
        QVERIFY2(whole, error.c_str());
        std::vector<uint8_t> got(8 * sector);
        QCOMPARE(whole->read_at(98 * sector, got.data(), got.size()), static_cast<int64_t>(got.size()));
        QCOMPARE(got[0], uint8_t(0x5a));
        QCOMPARE(got[2 * sector], uint8_t(0));  // the image holds 0x5a there: it was not read
        QCOMPARE(whole->unreadable_all(),
                 (std::vector<platform::unreadable_range_s>{{100 * sector, 4 * sector, 0}, {500 * sector, sector, 0}}));
        const auto volume = platform::open_byte_source(image.toStdString() + ":p1", &error);
        QVERIFY2(volume, error.c_str());
        QCOMPARE(volume->unreadable_all(),
                 (std::vector<platform::unreadable_range_s>{{36 * sector, 4 * sector, 0}, {436 * sector, sector, 0}}));

        // A map named for the image replaces the one beside it.
        write_file(dir.filePath("other.map"), "0x0 + 1\n0x0 0x80000 +\n");
        platform::choose_rescue_map(image.toStdString(), dir.filePath("other.map").toStdString());
        QVERIFY(platform::open_byte_source(image.toStdString(), &error)->unreadable_all().empty());
    }
};

QTEST_GUILESS_MAIN(tst_imaging)
#include "tst_imaging.moc"
