// Reading past bad sectors: every readable byte comes back, every unreadable
// sector is named once, and no bad sector is asked for twice in a run.
#include "platform/byte_source.h"
#include "support/failing_source.h"

#include <QTest>
#include <numeric>

using platform::unreadable_range_s;
using test_support::failing_source_c;

namespace {

std::vector<uint8_t> pattern(size_t bytes)
{
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>(i * 7 + i / 512 + 1);
    return out;
}

// The bytes a reader should see: the pattern with the unreadable ranges zero.
void expect_salvaged(const std::vector<uint8_t>& got, const std::vector<uint8_t>& disk, uint64_t at,
                     const std::vector<unreadable_range_s>& unreadable)
{
    std::vector<uint8_t> want(disk.begin() + static_cast<long>(at), disk.begin() + static_cast<long>(at + got.size()));
    for (const unreadable_range_s& r : unreadable)
        for (uint64_t i = r.offset; i < r.end(); ++i)
            if (i >= at && i < at + got.size())
                want[i - at] = 0;
    QVERIFY(got == want);
}

}  // namespace

class tst_salvage_source : public QObject {
    Q_OBJECT
private slots:
    void scattered_bad_sectors()
    {
        const auto disk = pattern(1 << 20);
        auto under = std::make_shared<failing_source_c>(disk, std::set<uint64_t>{3, 700, 1500, 1501});
        platform::salvage_source_c source(under);
        std::vector<uint8_t> got(disk.size());
        QCOMPARE(source.read_at(0, got.data(), got.size()), static_cast<int64_t>(got.size()));
        const auto bad = source.unreadable_all();
        QCOMPARE(bad.size(), size_t(3));
        QCOMPARE(bad[0], (unreadable_range_s{3 * 512, 512, EIO}));
        QCOMPARE(bad[1], (unreadable_range_s{700 * 512, 512, EIO}));
        QCOMPARE(bad[2], (unreadable_range_s{1500 * 512, 1024, EIO}));
        expect_salvaged(got, disk, 0, bad);

        // A second pass (another reader, another scan step) reads the good
        // sectors again but never asks the medium for a failed one.
        std::vector<uint8_t> again(4096);
        QCOMPARE(source.read_at(1024, again.data(), again.size()), int64_t(4096));
        expect_salvaged(again, disk, 1024, bad);
        QCOMPARE(under->most_reads_of_a_bad_sector(), 2);  // the whole read, then its sector
        QVERIFY(source.any_unreadable_in(3 * 512 + 100, 1));
        QVERIFY(!source.any_unreadable_in(4 * 512, 512));
    }

    void bad_area_is_skipped_and_trimmed()
    {
        // 300 bad sectors in a row: read one at a time they would cost 300
        // reads; the skip and the trim cost a few dozen, and the good sectors
        // on both sides still come back.
        std::set<uint64_t> bad;
        for (uint64_t s = 1000; s < 1300; ++s)
            bad.insert(s);
        const auto disk = pattern(2 << 20);
        auto under = std::make_shared<failing_source_c>(disk, bad);
        platform::salvage_source_c source(under);
        std::vector<uint8_t> got(disk.size());
        QCOMPARE(source.read_at(0, got.data(), got.size()), static_cast<int64_t>(got.size()));
        const auto marked = source.unreadable_all();
        QVERIFY(!marked.empty());
        QCOMPARE(marked.front().offset, uint64_t(1000 * 512));
        QCOMPARE(marked.back().end(), uint64_t(1300 * 512));
        expect_salvaged(got, disk, 0, marked);
        int asked = 0;
        for (uint64_t s : bad)
            asked += under->reads_of(s) > 1 ? 1 : 0;
        QVERIFY2(asked < 60, qPrintable(QString::number(asked)));
        // Only what lies between the trimmed edges is marked never read.
        for (const unreadable_range_s& r : marked)
            QVERIFY(r.error == EIO || (r.offset > 1000 * 512 && r.end() < 1300 * 512));
    }

    void windows_and_retries()
    {
        const auto disk = pattern(64 * 1024);
        auto under = std::make_shared<failing_source_c>(disk, std::set<uint64_t>{40});
        platform::salvage_options_s options;
        options.retries = 2;
        auto source = std::make_shared<platform::salvage_source_c>(under, options);
        platform::source_window_c window(source, 32 * 512, 16 * 512, "part");
        std::vector<uint8_t> got(16 * 512);
        QCOMPARE(window.read_at(0, got.data(), got.size()), int64_t(got.size()));
        QCOMPARE(window.unreadable_all(), (std::vector<unreadable_range_s>{{8 * 512, 512, EIO}}));
        QCOMPARE(under->reads_of(40), 4);  // the whole read, then one try and two retries
        QVERIFY(window.unreadable_in(0, 8 * 512).empty());
        QVERIFY(window.unreadable_generation() > 0);
    }

    void map_keeps_first_cause()
    {
        platform::unreadable_map_c map;
        map.add(1024, 1024, EIO);
        map.add(0, 4096, 0);
        const auto all = map.all();
        QCOMPARE(all.size(), size_t(3));
        QCOMPARE(all[1], (unreadable_range_s{1024, 1024, EIO}));
        QCOMPARE(map.total_bytes(), uint64_t(4096));
        QCOMPARE(map.bytes_in(512, 1024), uint64_t(1024));
    }
};

QTEST_GUILESS_MAIN(tst_salvage_source)
#include "tst_salvage_source.moc"
