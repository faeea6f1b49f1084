// The NTFS engine on crafted bytes, on real volumes made by mkntfs and
// ntfs-3g, and on damaged copies of them.
#include "engines/ntfs/ntfs_engine.h"
#include "engines/ntfs/ntfs_layout.h"
#include "engines/ntfs/ntfs_parse.h"
#include "ntfs_test_util.h"
#include "support/fixtures.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <cstring>
#include <map>
#include <set>

using namespace ntfs_engine;
using namespace ntfs_parse;
using namespace ntfs_test;

namespace {

std::map<int64_t, found_s> by_number(const std::vector<found_s>& found) {
    std::map<int64_t, found_s> m;
    for (const auto& f : found)
        m[f.number] = f;
    return m;
}

// Record number of the delivered record at this path, or -1.
int64_t number_at(const std::vector<found_s>& found, const std::string& path) {
    const auto m = by_number(found);
    for (const auto& f : found)
        if (path_of(m, f.number) == path)
            return f.number;
    return -1;
}

// A stand-alone copy of the fixture's NTFS volume, with the records of the
// intact scan, for damaging one thing at a time.
struct damaged_copy_s {
    std::string path;
    std::vector<found_s> found;
};

// Turns the record's unnamed $DATA attribute into the named stream `name`,
// the way a file that had only that stream would be stored: the name goes
// where the value or mapping pairs began, and they and every attribute after
// move up. Returns false when the record has no room.
bool name_data_attribute(std::vector<uint8_t>& r, const std::u16string& name) {
    using namespace ntfs_layout;
    const size_t at = find_attribute(r, attr::type_data);
    if (at == 0 || r[at + attr::name_length] != 0)
        return false;
    const size_t data_field = r[at + attr::non_resident] ? attr::mapping_pairs_offset : attr::value_offset;
    const size_t name_at = le16(&r[at + data_field]);
    const size_t grow = (name.size() * 2 + 7) & ~size_t(7);
    const uint32_t in_use = le32(&r[record::bytes_in_use]);
    if (in_use + grow > r.size())
        return false;
    r.insert(r.begin() + std::ptrdiff_t(at + name_at), grow, 0);
    r.resize(r.size() - grow);
    for (size_t i = 0; i < name.size(); ++i)
        platform::store_le16(&r[at + name_at + 2 * i], name[i]);
    r[at + attr::name_length] = uint8_t(name.size());
    platform::store_le16(&r[at + attr::name_offset], uint16_t(name_at));
    platform::store_le16(&r[at + data_field], uint16_t(name_at + grow));
    platform::store_le32(&r[at + attr::length], uint32_t(le32(&r[at + attr::length]) + grow));
    platform::store_le32(&r[record::bytes_in_use], uint32_t(in_use + grow));
    return true;
}

}  // namespace

class tst_ntfs_engine : public QObject {
    Q_OBJECT

    // Copies partition 1 of the ntfs fixture and scans the copy once.
    bool make_copy(const test_support::fixture_s& f, const std::string& tag, damaged_copy_s* copy) {
        copy->path = test_support::make_temp_dir(tag) + "/volume.img";
        return copy_fixture_volume(f, 1, copy->path) && scan_all(copy->path, &copy->found) == 0;
    }

private slots:
    void runlists();
    void record_checks();
    void attribute_walk();
    void names_and_times();
    void lznt1();
    void boot_sector();
    void fixture_volume();
    void case_volume();
    void oracle_sleuthkit();
    void compressed_and_sparse_named_streams();
    void oracle_ntfsundelete();
    void torn_fixup_and_zero_attribute();
    void runlist_outside_volume();
    void looping_attribute_list();
    void unpaired_surrogate();
    void not_ntfs_and_unreadable_mft();
    void random_damage();
};

void tst_ntfs_engine::runlists() {
    // Two runs, then a hole, then a run 0x10 clusters back.
    const uint8_t pairs[] = {0x21, 0x04, 0x00, 0x01,  // 4 clusters at 256
                             0x11, 0x02, 0x10,        // 2 at 272
                             0x01, 0x03,              // 3 sparse
                             0x11, 0x01, 0xF0,        // 1 at 256
                             0x00};
    std::vector<run_s> runs;
    QVERIFY(decode_runlist(pairs, sizeof pairs, 0, 1000, &runs));
    QCOMPARE(runs.size(), size_t(4));
    QCOMPARE(runs[0].lcn, int64_t(256));
    QCOMPARE(runs[1].lcn, int64_t(272));
    QCOMPARE(runs[2].lcn, int64_t(-1));
    QCOMPARE(runs[3].lcn, int64_t(256));
    QCOMPARE(runs[3].vcn, uint64_t(9));
    QCOMPARE(arrange_runs(&runs), int64_t(10));

    struct bad_s {
        const char* why;
        std::vector<uint8_t> bytes;
    } bad[] = {
        {"length field of 9 bytes", {0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5}},
        {"offset field of 9 bytes", {0x91, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"zero length", {0x11, 0x00, 0x05, 0x00}},
        {"negative length", {0x11, 0xFF, 0x05, 0x00}},
        {"run past the volume", {0x21, 0x10, 0xE0, 0x03, 0x00}},  // 16 clusters at 992 of 1000
        {"start before cluster 0", {0x11, 0x01, 0xFF, 0x00}},
        {"fields cut by the attribute's end", {0x32, 0x01}},
        {"length field cut short", {0x08}},
        {"hole of 2^56 clusters", {0x08, 0, 0, 0, 0, 0, 0, 0, 0x01}},
    };
    for (const auto& b : bad) {
        std::vector<run_s> r;
        QVERIFY2(!decode_runlist(b.bytes.data(), b.bytes.size(), 0, 1000, &r), b.why);
    }

    // A gap between extents is not a usable runlist.
    std::vector<run_s> gap{{0, 4, 10}, {6, 2, 20}};
    QCOMPARE(arrange_runs(&gap), int64_t(-1));
}

namespace {

// A minimal valid 1024-byte record: fixups at 48, attributes at 56.
std::vector<uint8_t> blank_record() {
    std::vector<uint8_t> r(1024, 0);
    std::memcpy(r.data(), "FILE", 4);
    r[4] = 48;
    r[6] = 3;  // check value + two sectors
    r[20] = 56;
    r[22] = 1;  // in use
    const uint32_t in_use = 64, allocated = 1024;
    std::memcpy(&r[24], &in_use, 4);
    std::memcpy(&r[28], &allocated, 4);
    std::memset(&r[56], 0xFF, 4);  // end marker
    // Check value 0x0007 in the array and at both sector ends.
    r[48] = 7;
    r[510] = 7;
    r[1022] = 7;
    return r;
}

void put_attr(std::vector<uint8_t>& r, size_t at, uint32_t type, uint32_t length) {
    std::memcpy(&r[at], &type, 4);
    std::memcpy(&r[at + 4], &length, 4);
}

}  // namespace

void tst_ntfs_engine::record_checks() {
    record_header_s h;
    auto r = blank_record();
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::valid);
    QCOMPARE(h.bytes_in_use, 64u);

    r = blank_record();
    r[1022] = 8;  // second sector written, first not: torn
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::corrupt);

    r = blank_record();
    r[6] = 9;  // more fixups than sectors
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::corrupt);

    r = blank_record();
    r[4] = 250;
    r[5] = 1;  // array ending past the first sector
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::corrupt);

    r = blank_record();
    const uint32_t huge = 2000;
    std::memcpy(&r[24], &huge, 4);  // bytes in use beyond bytes allocated
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::corrupt);

    r = blank_record();
    r[20] = 60;  // attributes not 8-aligned
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::corrupt);

    std::vector<uint8_t> zero(1024, 0);
    QCOMPARE(check_record(zero.data(), zero.size(), &h), record_state::unused);
    std::vector<uint8_t> junk(1024, 0x41);
    QCOMPARE(check_record(junk.data(), junk.size(), &h), record_state::corrupt);
}

void tst_ntfs_engine::attribute_walk() {
    record_header_s h;
    std::vector<attribute_s> attrs;

    auto r = blank_record();
    put_attr(r, 56, 0x80, 0);  // zero length would loop for ever
    const uint32_t in_use = 128;
    std::memcpy(&r[24], &in_use, 4);
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::valid);
    QVERIFY(!walk_attributes(r.data(), h, &attrs));

    r = blank_record();
    std::memcpy(&r[24], &in_use, 4);
    put_attr(r, 56, 0x80, 200);  // runs past the bytes in use
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::valid);
    QVERIFY(!walk_attributes(r.data(), h, &attrs));

    r = blank_record();
    std::memcpy(&r[24], &in_use, 4);
    put_attr(r, 56, 0x80, 32);  // resident, value reaching past the attribute
    const uint32_t value_length = 100;
    std::memcpy(&r[56 + 16], &value_length, 4);
    r[56 + 20] = 24;
    std::memset(&r[88], 0xFF, 4);
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::valid);
    QVERIFY(!walk_attributes(r.data(), h, &attrs));

    r = blank_record();
    std::memcpy(&r[24], &in_use, 4);
    put_attr(r, 56, 0x80, 32);  // resident, 8-byte value, name past the attribute
    const uint32_t eight = 8;
    std::memcpy(&r[56 + 16], &eight, 4);
    r[56 + 20] = 24;
    r[56 + 9] = 10;
    r[56 + 10] = 24;
    std::memset(&r[88], 0xFF, 4);
    QCOMPARE(check_record(r.data(), r.size(), &h), record_state::valid);
    QVERIFY(!walk_attributes(r.data(), h, &attrs));
    r[56 + 9] = 0;
    attrs.clear();
    QVERIFY(walk_attributes(r.data(), h, &attrs));
    QCOMPARE(attrs.size(), size_t(1));
    QCOMPARE(attrs[0].value_length, 8u);

    // Attribute list entries: one good, then one with a zero length.
    std::vector<uint8_t> list(64, 0);
    list[0] = 0x80;
    list[4] = 32;
    list[16] = 70;
    list[32] = 0x30;
    std::vector<list_entry_s> entries;
    QVERIFY(!parse_attribute_list(list.data(), list.size(), &entries));
    QCOMPARE(entries.size(), size_t(1));
    QCOMPARE(ntfs_layout::reference_record(entries[0].reference), uint64_t(70));
}

void tst_ntfs_engine::names_and_times() {
    QCOMPARE(cut_at_bad_unit(u"abc"), std::u16string(u"abc"));
    QCOMPARE(cut_at_bad_unit(std::u16string(u"ab\xD800" u"cd")), std::u16string(u"ab"));
    QCOMPARE(cut_at_bad_unit(std::u16string(u"ab\xDC00" u"cd")), std::u16string(u"ab"));
    QCOMPARE(cut_at_bad_unit(std::u16string(u"x\xD800")), std::u16string(u"x"));
    QCOMPARE(cut_at_bad_unit(u"a\U0001F600b"), std::u16string(u"a\U0001F600b"));
    QVERIFY(name_space_rank(1) > name_space_rank(0));
    QVERIFY(name_space_rank(3) > name_space_rank(2));
    QVERIFY(name_space_rank(0) > name_space_rank(2));
    QCOMPARE(filetime_to_unix(0), int64_t(0));
    QCOMPARE(filetime_to_unix(116444736000000000ull), int64_t(0));
    QCOMPARE(filetime_to_unix(116444736000000000ull + 10000000ull * 1704067200ull), int64_t(1704067200));
}

void tst_ntfs_engine::lznt1() {
    // "abc", then six bytes copied from three back: "abcabcabc".
    const uint8_t unit[] = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x20, 0x00, 0x00};
    std::vector<uint8_t> out(8192, 0xEE);
    QVERIFY(lznt1_decompress(unit, sizeof unit, out.data(), out.size()));
    QCOMPARE(std::string(out.begin(), out.begin() + 9), std::string("abcabcabc"));
    QCOMPARE(out[9], uint8_t(0));  // the short chunk is padded with zeros
    QCOMPARE(out[8191], uint8_t(0));

    // A reference before the start of the chunk.
    const uint8_t before[] = {0x02, 0xB0, 0x01, 0x03, 0x20};
    QVERIFY(!lznt1_decompress(before, sizeof before, out.data(), out.size()));
    // A chunk longer than the data that holds it.
    const uint8_t cut[] = {0xFF, 0xBF, 0x00, 'a'};
    QVERIFY(!lznt1_decompress(cut, sizeof cut, out.data(), out.size()));
    // A chunk that would not fit in what is left of the output.
    std::vector<uint8_t> two;
    for (int i = 0; i < 2; ++i)
        two.insert(two.end(), {0x01, 0xB0, 0x00, 'x'});
    std::vector<uint8_t> small(6000);
    QVERIFY(!lznt1_decompress(two.data(), two.size(), small.data(), small.size()));
    // Once the unit is full, what follows in its last cluster is ignored.
    QVERIFY(lznt1_decompress(two.data(), two.size(), out.data(), 4096));
    QCOMPARE(out[0], uint8_t('x'));
}

void tst_ntfs_engine::boot_sector() {
    uint8_t s[512] = {};
    std::memcpy(s + 3, "NTFS    ", 8);
    s[11] = 0x00;
    s[12] = 0x02;  // 512 bytes per sector
    s[13] = 8;     // 4 KiB clusters
    const uint64_t sectors = 65535, mft = 4, mirr = 2;
    std::memcpy(s + 40, &sectors, 8);
    std::memcpy(s + 48, &mft, 8);
    std::memcpy(s + 56, &mirr, 8);
    s[64] = 0xF6;  // 2^10-byte records
    s[510] = 0x55;
    s[511] = 0xAA;
    volume_params_s v;
    QVERIFY(parse_boot_sector(s, 65536ull * 512, &v));
    QCOMPARE(v.cluster_size, 4096u);
    QCOMPARE(v.record_size, 1024u);
    QCOMPARE(v.total_clusters, uint64_t(65535 * 512 / 4096));
    // A truncated image holds fewer clusters than the boot sector claims.
    QVERIFY(parse_boot_sector(s, 1 << 20, &v));
    QCOMPARE(v.total_clusters, uint64_t(256));

    uint8_t b[512];
    std::memcpy(b, s, 512);
    b[13] = 3;  // not a power of two
    QVERIFY(!parse_boot_sector(b, 65536ull * 512, &v));
    std::memcpy(b, s, 512);
    b[64] = 0x80;  // record size 2^128
    QVERIFY(!parse_boot_sector(b, 65536ull * 512, &v));
    std::memcpy(b, s, 512);
    const uint64_t far = 1ull << 40;
    std::memcpy(b + 48, &far, 8);  // $MFT past the volume
    QVERIFY(!parse_boot_sector(b, 65536ull * 512, &v));
    std::memcpy(b, s, 512);
    b[3] = 'X';
    QVERIFY(!parse_boot_sector(b, 65536ull * 512, &v));
}

void tst_ntfs_engine::fixture_volume() {
    QUARVEL_FIXTURE(f, "ntfs");
    const std::string volume = f.image + ":p1";
    std::vector<found_s> found;
    scan_stats_s stats;
    std::vector<uint8_t> ctx;
    QCOMPARE(scan_all(volume, &found, &stats, &ctx), 0);
    const auto all = by_number(found);
    QCOMPARE(stats.records_corrupt, uint64_t(0));

    // Progress counters account for every record at the end.
    uint64_t total;
    uint32_t groups, skipped, rest;
    std::memcpy(&total, &ctx[ctx_total], 8);
    std::memcpy(&groups, &ctx[ctx_groups_read], 4);
    std::memcpy(&skipped, &ctx[ctx_groups_skipped], 4);
    std::memcpy(&rest, &ctx[ctx_group_records], 4);
    QVERIFY(total >= 16);
    QVERIFY(rest + (groups + skipped) * 8 >= total);
    QCOMPARE(stats.records_examined, total);

    QVERIFY(all.count(5) && all.at(5).parent == 5 && (all.at(5).flags & flag_directory));
    for (int64_t n = 0; n <= 11; ++n)
        QVERIFY2(all.count(n), "system records are delivered like any other");

    const std::string out = test_support::make_temp_dir("ntfs-engine-fixture");
    int checked = 0;
    for (const auto& e : test_support::entries_of(f, "deleted")) {
        const std::string& path = e.fields[1];
        const int64_t n = number_at(found, path);
        QVERIFY2(n >= 0, path.c_str());
        const found_s& r = all.at(n);
        QCOMPARE(r.size, int64_t(std::stoll(e.fields[2])));
        QCOMPARE(r.flags & ~flag_data_in_record, flag_file | flag_deleted | flag_engine_extract);
        QVERIFY2(r.time_a > 1600000000 && r.time_b > 0, path.c_str());
        const std::string dest = out + "/" + std::to_string(n);
        uint32_t status = 99;
        QCOMPARE(ntfs_extract(ctx.data(), n, dest.c_str(), &status), 0);
        QCOMPARE(status, uint32_t(extract_ok));
        QCOMPARE(test_support::sha256_of_file(dest), e.fields[3]);
        // A second copy onto the first fails and leaves the first as it was.
        QVERIFY(ntfs_extract(ctx.data(), n, dest.c_str(), &status) != 0);
        QCOMPARE(status, uint32_t(extract_write_failed));
        QCOMPARE(test_support::sha256_of_file(dest), e.fields[3]);
        ++checked;
    }
    QVERIFY(checked >= 6);
    for (const auto& e : test_support::entries_of(f, "deleted_dir")) {
        const int64_t n = number_at(found, e.fields[1]);
        QVERIFY2(n >= 0, e.fields[1].c_str());
        QCOMPARE(all.at(n).flags, flag_directory | flag_deleted);
    }
    for (const auto& e : test_support::entries_of(f, "file")) {
        const int64_t n = number_at(found, e.fields[1]);
        QVERIFY2(n >= 0, e.fields[1].c_str());
        QCOMPARE(all.at(n).flags & ~flag_data_in_record, flag_file);
        QCOMPARE(all.at(n).size, int64_t(std::stoll(e.fields[2])));
    }

    // A directory has nothing to extract, and nothing is left behind.
    const std::string dir_dest = out + "/dir";
    uint32_t status = 0;
    QVERIFY(ntfs_extract(ctx.data(), 5, dir_dest.c_str(), &status) != 0);
    QCOMPARE(status, uint32_t(extract_no_data));
    QVERIFY(!QFile::exists(QString::fromStdString(dir_dest)));
    QVERIFY(ntfs_extract(ctx.data(), int64_t(1) << 40, dir_dest.c_str(), &status) != 0);
    QCOMPARE(status, uint32_t(extract_bad_record));

    ntfs_scan_close(ctx.data());
    uint32_t open;
    std::memcpy(&open, &ctx[ctx_open], 4);
    QCOMPARE(open, 0u);
    QCOMPARE(ntfs_extract(ctx.data(), 5, dir_dest.c_str(), &status), -1);
    QCOMPARE(status, uint32_t(extract_not_open));
    ntfs_scan_close(ctx.data());  // a second close is harmless
}

void tst_ntfs_engine::case_volume() {
    QUARVEL_NTFS_CASES(cases);
    std::vector<found_s> found;
    std::vector<uint8_t> ctx;
    QCOMPARE(scan_all(cases.image, &found, nullptr, &ctx), 0);
    const std::string out = test_support::make_temp_dir("ntfs-engine-cases");

    auto extract_and_compare = [&](const std::string& kind, const std::string& path) {
        const auto* line = cases.find(kind, path);
        QVERIFY2(line, path.c_str());
        const int64_t n = number_at(found, path);
        QVERIFY2(n >= 0, path.c_str());
        const std::string dest = out + "/" + std::to_string(n);
        uint32_t status = 99;
        QCOMPARE(ntfs_extract(ctx.data(), n, dest.c_str(), &status), 0);
        QCOMPARE(test_support::sha256_of_file(dest), (*line)[3]);
    };
    // Holes come back as zeros, cut to the data size.
    extract_and_compare("deleted", "/sparse.bin");
    // Found under its long name, not the DOS name stored before it.
    extract_and_compare("deleted", "/A long file name.txt");
    // Compressed units, stored units and holes in one stream.
    extract_and_compare("deleted", "/packed/text.txt");
    // Data spread over three records behind an attribute list.
    extract_and_compare("live", "/many runs kept.bin");

    // The deleted file whose names and tail runs went with its emptied
    // extension records: delivered under a made-up name with its size, but
    // its data cannot be had whole (so it is marked incomplete), and
    // extracting it fails and leaves nothing.
    const auto* lost = cases.find("lost_names", "/many runs.bin");
    QVERIFY(lost);
    const found_s* nameless = nullptr;
    for (const auto& r : found)
        if (r.parent == parent_unknown)
            nameless = &r;
    QVERIFY(nameless);
    QCOMPARE(utf8(nameless->name), "record_" + std::to_string(nameless->number));
    QCOMPARE(nameless->size, int64_t(std::stoll((*lost)[2])));
    QCOMPARE(nameless->flags, flag_file | flag_deleted | flag_engine_extract | flag_data_incomplete);
    const std::string dest = out + "/nameless";
    uint32_t status = 0;
    QVERIFY(ntfs_extract(ctx.data(), nameless->number, dest.c_str(), &status) != 0);
    QCOMPARE(status, uint32_t(extract_bad_runlist));
    QVERIFY(!QFile::exists(QString::fromStdString(dest)));
    ntfs_scan_close(ctx.data());
}

// The Sleuth Kit reads the same volume: every deleted file it lists with an
// intact record is one we find, and icat's bytes are ours.
void tst_ntfs_engine::oracle_sleuthkit() {
    const QString fls = QStandardPaths::findExecutable("fls");
    const QString icat = QStandardPaths::findExecutable("icat");
    if (fls.isEmpty() || icat.isEmpty())
        QSKIP("The Sleuth Kit (fls, icat) is not installed");
    QUARVEL_FIXTURE(f, "ntfs");
    damaged_copy_s copy;
    QVERIFY(make_copy(f, "ntfs-oracle", &copy));
    const auto all = by_number(copy.found);

    QProcess p;
    p.start(fls, {"-r", "-d", "-p", QString::fromStdString(copy.path)});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    std::vector<uint8_t> ctx(context_size);
    QCOMPARE(ntfs_scan_startup_path(copy.path.c_str(), ctx.data()), 0);
    const std::string out = test_support::make_temp_dir("ntfs-oracle-out");
    int compared = 0;
    for (const QString& line : lines) {
        // "-/r * 72-128-2:\tDocuments/tiny deleted.txt"; its own orphans
        // (records without a name) are left out.
        static const QRegularExpression deleted_file(R"(^./r \* ((\d+)-\d+-\d+):\t(.*)$)");
        const QRegularExpressionMatch m = deleted_file.match(line);
        if (!m.hasMatch())
            continue;
        const QString inode = m.captured(1);
        const QString name = m.captured(3);
        const int64_t n = m.captured(2).toLongLong();
        QVERIFY2(all.count(n), qPrintable(line));
        QCOMPARE(path_of(all, n), "/" + name.toStdString());
        QCOMPARE(all.at(n).flags & flag_deleted, flag_deleted);

        const std::string ours = out + "/" + std::to_string(n);
        uint32_t status;
        QCOMPARE(ntfs_extract(ctx.data(), n, ours.c_str(), &status), 0);
        QProcess cat;
        cat.setStandardOutputFile(QString::fromStdString(ours + ".icat"));
        cat.start(icat, {QString::fromStdString(copy.path), inode});
        QVERIFY(cat.waitForFinished(60000));
        QCOMPARE(test_support::sha256_of_file(ours), test_support::sha256_of_file(ours + ".icat"));
        ++compared;
    }
    QVERIFY(compared >= 6);
    ntfs_scan_close(ctx.data());
}

// ntfsundelete lists the deleted records it finds: each one with a name or
// with data is one we deliver, deleted, with the same size (and name).
// ntfs-3g writes named streams neither compressed nor sparse; a copy of the
// case volume whose compressed, sparse and plain files' data are turned
// into named streams stands in. Each is listed with its size and written
// out byte for byte; the unnamed stream they no longer have is refused.
void tst_ntfs_engine::compressed_and_sparse_named_streams() {
    QUARVEL_NTFS_CASES(cases);
    std::vector<found_s> original;
    QCOMPARE(scan_all(cases.image, &original), 0);
    const std::string dir = test_support::make_temp_dir("ntfs-named-streams");
    const std::string copy = dir + "/volume.img";
    QVERIFY(copy_range(cases.image, 0, uint64_t(QFileInfo(QString::fromStdString(cases.image)).size()), copy));
    const std::vector<std::pair<std::string, std::u16string>> cases_named = {
        {"/sparse.bin", u"holes"}, {"/packed/text.txt", u"squeezed"}, {"/A long file name.txt", u"x"}};
    std::map<int64_t, size_t> wanted;  // record -> index in cases_named
    {
        volume_file_c vol(copy);
        QVERIFY(vol.ok());
        for (size_t i = 0; i < cases_named.size(); ++i) {
            const int64_t n = number_at(original, cases_named[i].first);
            QVERIFY2(n > 11, cases_named[i].first.c_str());
            auto r = vol.read_record(n);
            QVERIFY(name_data_attribute(r, cases_named[i].second));
            vol.write_record(n, r);
            wanted[n] = i;
        }
    }

    std::vector<uint8_t> ctx(context_size, 0);
    QCOMPARE(ntfs_scan_startup_path(copy.c_str(), ctx.data()), 0);
    auto close = qScopeGuard([&] { ntfs_scan_close(ctx.data()); });
    uint8_t record[record_size];
    size_t seen = 0;
    for (;;) {
        std::memset(record, 0, sizeof record);
        if (ntfs_scan_next(ctx.data(), record) == 0)
            break;
        const found_s f = decode(record);
        const auto it = wanted.find(f.number);
        if (it == wanted.end())
            continue;
        const auto& [path, stream] = cases_named[it->second];
        const auto* line = cases.find("deleted", path);
        QVERIFY(line);
        const std::vector<stream_info_s> streams = ntfs_scan_streams(ctx.data());
        QCOMPARE(streams.size(), size_t(1));
        QVERIFY(streams[0].name == stream);
        QCOMPARE(streams[0].size, uint64_t(std::stoull((*line)[2])));
        QCOMPARE(f.size, int64_t(0));
        ++seen;
    }
    QCOMPARE(seen, cases_named.size());
    for (const auto& [n, i] : wanted) {
        const auto& [path, stream] = cases_named[i];
        const std::string dest = dir + "/" + std::to_string(n);
        uint32_t status = 99;
        QCOMPARE(ntfs_extract_stream(ctx.data(), n, stream, dest.c_str(), &status), 0);
        QCOMPARE(test_support::sha256_of_file(dest), (*cases.find("deleted", path))[3]);
        QCOMPARE(ntfs_extract_stream(ctx.data(), n, u"other", (dest + "-other").c_str(), &status), -1);
        QCOMPARE(status, uint32_t(extract_no_data));
        QCOMPARE(ntfs_extract(ctx.data(), n, (dest + "-unnamed").c_str(), &status), -1);
        QCOMPARE(status, uint32_t(extract_no_data));
        QVERIFY(!QFileInfo::exists(QString::fromStdString(dest + "-unnamed")));
    }
}

void tst_ntfs_engine::oracle_ntfsundelete() {
    const QString tool = QStandardPaths::findExecutable("ntfsundelete", {"/usr/sbin", "/sbin", "/usr/bin"});
    if (tool.isEmpty())
        QSKIP("ntfsundelete (ntfs-3g) is not installed");
    QUARVEL_NTFS_CASES(cases);
    std::vector<found_s> found;
    QCOMPARE(scan_all(cases.image, &found), 0);
    const auto all = by_number(found);

    QProcess p;
    p.start(tool, {"--scan", "--force", QString::fromStdString(cases.image)});
    QVERIFY(p.waitForFinished(60000));
    // "65       FN..   100%  2026-12-07 20:53      7000  orphan data.bin"
    static const QRegularExpression row(R"(^(\d+)\s+(\S{4})\s+\d+%\s+\S+\s+\S+\s+(\d+)\s+(.*)$)");
    int compared = 0;
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
        const QRegularExpressionMatch m = row.match(line);
        if (!m.hasMatch() || !m.captured(2).startsWith('F'))
            continue;
        const int64_t n = m.captured(1).toLongLong();
        const int64_t size = m.captured(3).toLongLong();
        const QString name = m.captured(4);
        if (name == "<none>" && size == 0)
            continue;  // a record never used for a file
        QVERIFY2(all.count(n), qPrintable(line));
        QCOMPARE(all.at(n).flags & flag_deleted, flag_deleted);
        QCOMPARE(all.at(n).size, size);
        if (name != "<none>")
            QCOMPARE(QString::fromStdU16String(all.at(n).name), name);
        ++compared;
    }
    QVERIFY(compared >= 4);
}

void tst_ntfs_engine::torn_fixup_and_zero_attribute() {
    QUARVEL_FIXTURE(f, "ntfs");
    damaged_copy_s copy;
    QVERIFY(make_copy(f, "ntfs-torn", &copy));
    volume_file_c vol(copy.path);
    QVERIFY(vol.ok());
    const int64_t torn = number_at(copy.found, "/deleted report.pdf");
    const int64_t zero = number_at(copy.found, "/Documents/tiny deleted.txt");
    QVERIFY(torn > 11 && zero > 11);

    // A sector end that no longer carries the check value: a torn write.
    const uint64_t tail = vol.record_offset(torn) + 1022;
    const uint8_t junk[2] = {0x12, 0x34};
    vol.write_bytes(tail, junk, 2);
    // An attribute claiming zero length.
    auto r = vol.read_record(zero);
    const size_t first = ntfs_layout::le16(&r[ntfs_layout::record::attrs_offset]);
    std::memset(&r[first + 4], 0, 4);
    vol.write_record(zero, r);

    std::vector<found_s> found;
    scan_stats_s stats;
    QCOMPARE(scan_all(copy.path, &found, &stats), 0);
    QCOMPARE(stats.records_corrupt, uint64_t(2));
    QVERIFY(number_at(found, "/deleted report.pdf") < 0);
    QVERIFY(number_at(found, "/Documents/tiny deleted.txt") < 0);
    // Everything else is still there.
    QCOMPARE(found.size(), copy.found.size() - 2);
    QVERIFY(number_at(found, "/Deleted Folder/Inner/note.txt") > 11);
}

void tst_ntfs_engine::runlist_outside_volume() {
    QUARVEL_FIXTURE(f, "ntfs");
    damaged_copy_s copy;
    QVERIFY(make_copy(f, "ntfs-runlist", &copy));
    volume_file_c vol(copy.path);
    const int64_t n = number_at(copy.found, "/Deleted Folder/letter.txt");
    QVERIFY(n > 11);
    auto r = vol.read_record(n);
    const size_t data = find_attribute(r, ntfs_layout::attr::type_data);
    QVERIFY(data && r[data + ntfs_layout::attr::non_resident] == 1);
    const size_t pairs = data + ntfs_layout::le16(&r[data + ntfs_layout::attr::mapping_pairs_offset]);
    const unsigned length_bytes = r[pairs] & 0x0F, offset_bytes = r[pairs] >> 4;
    QVERIFY(offset_bytes >= 1);
    r[pairs + length_bytes + offset_bytes] = 0x7F;  // top byte of the start: far past the end
    vol.write_record(n, r);

    std::vector<found_s> found;
    std::vector<uint8_t> ctx;
    QCOMPARE(scan_all(copy.path, &found, nullptr, &ctx), 0);
    QCOMPARE(number_at(found, "/Deleted Folder/letter.txt"), n);
    const std::string dest = test_support::make_temp_dir("ntfs-runlist-out") + "/letter.txt";
    uint32_t status = 0;
    QVERIFY(ntfs_extract(ctx.data(), n, dest.c_str(), &status) != 0);
    QCOMPARE(status, uint32_t(extract_bad_runlist));
    QVERIFY(!QFile::exists(QString::fromStdString(dest)));
    ntfs_scan_close(ctx.data());
}

void tst_ntfs_engine::looping_attribute_list() {
    QUARVEL_FIXTURE(f, "ntfs");
    damaged_copy_s copy;
    QVERIFY(make_copy(f, "ntfs-list", &copy));
    volume_file_c vol(copy.path);
    const int64_t n = number_at(copy.found, "/Deleted Folder/Inner/picture.jpg");
    const int64_t other = number_at(copy.found, "/Deleted Folder/Inner/note.txt");
    QVERIFY(n > 11 && other > 11);
    auto r = vol.read_record(n);
    using namespace ntfs_layout;
    const uint32_t in_use = le32(&r[record::bytes_in_use]);
    const size_t end = in_use - 8;  // where the end marker stands
    QCOMPARE(le32(&r[end]), attr::type_end);

    // A resident attribute list whose entries point back at the record
    // itself, twice, at a record that belongs to another file, and past the
    // $MFT.
    const uint64_t refs[] = {uint64_t(n), uint64_t(n), uint64_t(other), 0xFFFFFFFFFFFFull};
    const uint32_t types[] = {attr::type_data, attr::type_file_name, attr::type_data, attr::type_data};
    const uint32_t value_length = 4 * 32;
    const uint32_t length = 24 + value_length;
    QVERIFY(end + length + 8 <= vol.record_size());
    std::vector<uint8_t> a(length, 0);
    std::memcpy(&a[0], &attr::type_attribute_list, 4);
    std::memcpy(&a[4], &length, 4);
    std::memcpy(&a[16], &value_length, 4);
    a[20] = 24;
    for (int i = 0; i < 4; ++i) {
        uint8_t* e = &a[24 + 32 * i];
        std::memcpy(e, &types[i], 4);
        e[4] = 32;
        std::memcpy(e + 16, &refs[i], 8);
    }
    std::memcpy(&r[end], a.data(), a.size());
    std::memset(&r[end + length], 0xFF, 4);
    std::memset(&r[end + length + 4], 0, 4);
    const uint32_t new_in_use = in_use + length;
    std::memcpy(&r[record::bytes_in_use], &new_in_use, 4);
    vol.write_record(n, r);

    std::vector<found_s> found;
    std::vector<uint8_t> ctx;
    QCOMPARE(scan_all(copy.path, &found, nullptr, &ctx), 0);
    QCOMPARE(number_at(found, "/Deleted Folder/Inner/picture.jpg"), n);
    const std::string dest = test_support::make_temp_dir("ntfs-list-out") + "/picture.jpg";
    uint32_t status = 0;
    QCOMPARE(ntfs_extract(ctx.data(), n, dest.c_str(), &status), 0);
    std::string sha;
    for (const auto& e : test_support::entries_of(f, "deleted"))
        if (e.fields[1] == "/Deleted Folder/Inner/picture.jpg")
            sha = e.fields[3];
    QCOMPARE(test_support::sha256_of_file(dest), sha);
    ntfs_scan_close(ctx.data());
}

void tst_ntfs_engine::unpaired_surrogate() {
    QUARVEL_FIXTURE(f, "ntfs");
    damaged_copy_s copy;
    QVERIFY(make_copy(f, "ntfs-surrogate", &copy));
    volume_file_c vol(copy.path);
    const int64_t n = number_at(copy.found, "/deleted report.pdf");
    QVERIFY(n > 11);
    auto r = vol.read_record(n);
    using namespace ntfs_layout;
    // Every name of the record gets a lone high surrogate as its fourth unit.
    size_t off = le16(&r[record::attrs_offset]);
    int names = 0;
    while (le32(&r[off]) != attr::type_end) {
        if (le32(&r[off]) == attr::type_file_name) {
            const size_t value = off + le16(&r[off + attr::value_offset]);
            r[value + file_name::name + 6] = 0x00;
            r[value + file_name::name + 7] = 0xD8;
            ++names;
        }
        off += le32(&r[off + 4]);
    }
    QVERIFY(names >= 1);
    vol.write_record(n, r);

    std::vector<found_s> found;
    QCOMPARE(scan_all(copy.path, &found), 0);
    QCOMPARE(number_at(found, "/del"), n);
}

void tst_ntfs_engine::not_ntfs_and_unreadable_mft() {
    QUARVEL_FIXTURE(f, "ntfs");
    damaged_copy_s copy;
    QVERIFY(make_copy(f, "ntfs-notntfs", &copy));
    volume_file_c vol(copy.path);
    std::vector<uint8_t> ctx(context_size, 0);

    // $MFT record 0 and its mirror both torn.
    const uint8_t junk[2] = {0x55, 0x66};
    vol.write_bytes(vol.record_offset(0) + 510, junk, 2);
    const auto boot = vol.read_bytes(0, 512);
    const uint64_t mirr = ntfs_layout::le64(&boot[ntfs_layout::boot::mftmirr_lcn]);
    const uint32_t cluster = ntfs_layout::le16(&boot[11]) * boot[13];
    vol.write_bytes(mirr * cluster + 510, junk, 2);
    QCOMPARE(ntfs_scan_startup_path(copy.path.c_str(), ctx.data()), -4);

    // No NTFS boot sector at all: neither the first nor its backup in the
    // volume's last sector (the backup alone still opens the volume).
    vol.write_bytes(3, "MSDOS5.0", 8);
    QCOMPARE(ntfs_scan_startup_path(copy.path.c_str(), ctx.data()), -4);
    vol.write_bytes(uint64_t(QFileInfo(QString::fromStdString(copy.path)).size()) - 512 + 3, "MSDOS5.0", 8);
    QCOMPARE(ntfs_scan_startup_path(copy.path.c_str(), ctx.data()), -3);
    uint32_t open;
    std::memcpy(&open, &ctx[ctx_open], 4);
    QCOMPARE(open, 0u);
    uint8_t record[record_size] = {};
    QCOMPARE(ntfs_scan_next(ctx.data(), record), 0);

    // Nothing to read.
    QCOMPARE(ntfs_scan_startup(nullptr, ctx.data()), -2);
    QCOMPARE(ntfs_scan_startup_path(nullptr, ctx.data()), -1);
    QCOMPARE(ntfs_scan_startup_path("/nonexistent/volume.img", ctx.data()), -2);
}

// Random bytes of the $MFT overwritten, round after round: every scan ends,
// and every extraction either succeeds or fails without leaving a file.
void tst_ntfs_engine::random_damage() {
    QUARVEL_FIXTURE(f, "ntfs");
    damaged_copy_s copy;
    QVERIFY(make_copy(f, "ntfs-random", &copy));
    volume_file_c vol(copy.path);
    const size_t span = size_t(copy.found.back().number + 1) * vol.record_size();
    const uint64_t mft = vol.record_offset(0);
    const std::vector<uint8_t> original = vol.read_bytes(mft, span);
    QCOMPARE(original.size(), span);
    const std::string out = test_support::make_temp_dir("ntfs-random-out");

    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 60; ++round) {
        std::vector<uint8_t> damaged = original;
        for (int i = 0; i < 40; ++i)
            damaged[(next() >> 8) % span] = uint8_t(next() >> 16);
        vol.write_bytes(mft, damaged.data(), damaged.size());

        std::vector<found_s> found;
        std::vector<uint8_t> ctx;
        if (scan_all(copy.path, &found, nullptr, &ctx) != 0)
            continue;
        for (const found_s& r : found) {
            if (!(r.flags & flag_file))
                continue;
            const std::string dest = out + "/f";
            uint32_t status = 0;
            const int result = ntfs_extract(ctx.data(), r.number, dest.c_str(), &status);
            QCOMPARE(result == 0, status == extract_ok);
            QCOMPARE(QFile::exists(QString::fromStdString(dest)), result == 0);
            QFile::remove(QString::fromStdString(dest));
        }
        ntfs_scan_close(ctx.data());
    }
    vol.write_bytes(mft, original.data(), original.size());
}

QTEST_GUILESS_MAIN(tst_ntfs_engine)
#include "tst_ntfs_engine.moc"
