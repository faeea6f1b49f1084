// The NTFS engine on a failing medium: an mkntfs volume served from memory
// with chosen sectors failing, behind the salvaging source every scan reads
// through. The volume's redundancy (the backup boot sector, $MFTMirr) has
// to stand in for what cannot be read, and what cannot be replaced is named.
#include "engines/ntfs/ntfs_engine.h"
#include "engines/ntfs/ntfs_harvest.h"
#include "ntfs_test_util.h"
#include "platform/byte_source.h"
#include "scan/ntfs/ntfs_recovery.h"
#include "support/english_notes.h"
#include "support/failing_source.h"
#include "scan/unreadable_sectors.h"
#include "support/fixtures.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

using namespace ntfs_engine;
using namespace ntfs_test;

namespace {

platform::byte_source_ptr failing(const std::vector<uint8_t>& bytes, std::set<uint64_t> bad) {
    auto under = std::make_shared<test_support::failing_source_c>(bytes, std::move(bad));
    return std::make_shared<platform::salvage_source_c>(under);
}

struct scan_result_s {
    int started = 0;
    startup_report_s report;
    scan_stats_s stats;
    std::set<std::pair<int64_t, std::u16string>> records;  // number and name
};

scan_result_s scan(platform::byte_source_ptr source) {
    scan_result_s r;
    std::vector<uint8_t> ctx(context_size, 0);
    r.started = ntfs_scan_startup(std::move(source), ctx.data(), &r.report);
    if (r.started < 0)
        return r;
    uint8_t record[record_size];
    for (;;) {
        std::memset(record, 0, sizeof record);
        if (!ntfs_scan_next(ctx.data(), record))
            break;
        const found_s f = decode(record);
        r.records.insert({f.number, f.name});
    }
    r.stats = ntfs_scan_stats(ctx.data());
    ntfs_scan_close(ctx.data());
    return r;
}

std::string scanner_lost_folder() { return "/" + lost_names_s().lost_folders.toStdString(); }

}  // namespace

class tst_ntfs_failing : public QObject {
    Q_OBJECT

    std::string path_;
    std::vector<uint8_t> bytes_;
    scan_result_s sound_;

private slots:
    void initTestCase();
    void boot_sector_backup();
    void first_records_from_mirror();
    void text_is_not_a_record();
    void formatted_and_zeroed_volumes();
    void files_over_known_bad_sectors_tagged();
};

void tst_ntfs_failing::initTestCase() {
    QUARVEL_FIXTURE(f, "ntfs");
    path_ = test_support::make_temp_dir("ntfs-failing") + "/volume.img";
    QVERIFY(copy_fixture_volume(f, 1, path_));
    QFile file(QString::fromStdString(path_));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray all = file.readAll();
    bytes_.assign(all.begin(), all.end());
    sound_ = scan(failing(bytes_, {}));
    QCOMPARE(sound_.started, 0);
    QVERIFY(sound_.records.size() > 16);
}

// Sector 0 unreadable, or holding something else: the copy in the volume's
// last sector lays the volume out and the scan finds what a sound one does.
// With both gone the start fails as a read error naming sector 0.
void tst_ntfs_failing::boot_sector_backup() {
    const uint64_t last = bytes_.size() / 512 - 1;
    const scan_result_s unreadable = scan(failing(bytes_, {0}));
    QCOMPARE(unreadable.started, 0);
    QVERIFY(unreadable.report.boot_from_backup);
    QCOMPARE(unreadable.report.boot_backup_offset, last * 512);
    QVERIFY(unreadable.stats.boot_from_backup);
    QVERIFY(unreadable.records == sound_.records);

    std::vector<uint8_t> overwritten = bytes_;
    std::memcpy(&overwritten[3], "MSDOS5.0", 8);
    const scan_result_s invalid = scan(failing(overwritten, {}));
    QCOMPARE(invalid.started, 0);
    QVERIFY(invalid.report.boot_from_backup);
    QVERIFY(invalid.records == sound_.records);

    const scan_result_s both = scan(failing(bytes_, {0, last}));
    QCOMPARE(both.started, -5);
    QCOMPARE(both.report.boot_read_error, EIO);
    QCOMPARE(both.report.boot_error_offset, uint64_t(0));

    // The scanner says so in its reason, never that the volume holds no file
    // system; the backup's use is a warning beside a full listing.
    volume_item_s volume;
    volume.device_path = QStringLiteral("failing");
    volume.file_system = QStringLiteral("NTFS");
    ntfs_recovery_c scanner;
    scanner.set_volume(volume);
    scanner.set_lost_pass(lost_pass_e::off);
    scanner.set_source(volume.device_path, failing(bytes_, {0, last}));
    scanner.start();
    QVERIFY(scanner.wait(60000));
    const QString reason = scanner.failure_reason();
    QVERIFY2(reason.contains(QLatin1String("sector 0")) && reason.contains(QLatin1String("Input/output error")),
             qPrintable(reason));
    // Allowed to search, it lays the volume out from the copies of its
    // MFT's first record, and still names the sector.
    scanner.set_lost_pass(lost_pass_e::automatic);
    scanner.set_source(volume.device_path, failing(bytes_, {0, last}));
    scanner.start();
    QVERIFY(scanner.wait(60000));
    QVERIFY(scanner.failure_reason().isEmpty());
    QVERIFY(scanner.harvest_outcome().from_records);
    QCOMPARE(scanner.harvest_outcome().volume_start, uint64_t(0));
    QVERIFY2(english_notes(scanner.notes()).contains(QLatin1String("sector 0")), qPrintable(english_notes(scanner.notes())));
    QVERIFY(!scanner.nodes().empty());
    scanner.set_lost_pass(lost_pass_e::off);
    scanner.set_source(volume.device_path, failing(bytes_, {0}));
    scanner.start();
    QVERIFY(scanner.wait(60000));
    QVERIFY(scanner.failure_reason().isEmpty());
    QVERIFY2(english_notes(scanner.notes()).contains(QLatin1String("last sector")), qPrintable(english_notes(scanner.notes())));
}

// The first four records unreadable or torn in the $MFT come from $MFTMirr;
// a later record over a bad sector is counted as unreadable, and only it is
// missing.
void tst_ntfs_failing::first_records_from_mirror() {
    volume_file_c vol(path_);
    QVERIFY(vol.ok());
    const uint64_t record0 = vol.record_offset(0) / 512;
    const uint64_t per_record = vol.record_size() / 512;
    // Record 0 (the $MFT's own runs) and record 2 unreadable, record 1 torn.
    std::set<uint64_t> bad{record0, record0 + 2 * per_record};
    std::vector<uint8_t> torn = bytes_;
    torn[vol.record_offset(1) + 510] ^= 0xFF;
    const scan_result_s mirrored = scan(failing(torn, bad));
    QCOMPARE(mirrored.started, 0);
    QVERIFY(mirrored.stats.records_from_mirror >= 2);
    QVERIFY(mirrored.records == sound_.records);

    // A user file's record over a bad sector.
    const auto victim = std::find_if(sound_.records.begin(), sound_.records.end(),
                                     [](const auto& r) { return r.first >= 16; });
    QVERIFY(victim != sound_.records.end());
    const scan_result_s lost = scan(failing(bytes_, {uint64_t(vol.record_offset(victim->first) / 512)}));
    QCOMPARE(lost.started, 0);
    QCOMPARE(lost.stats.records_unreadable, uint64_t(1));
    auto expected = sound_.records;
    expected.erase(*victim);
    QVERIFY(lost.records == expected);
}

// Text with "FILE0" at the start of every 512 bytes (and a real record's
// header cut off after it) is no record.
void tst_ntfs_failing::text_is_not_a_record() {
    std::vector<uint8_t> text(64 * 1024);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = i % 512 < 5 ? uint8_t("FILE0"[i % 512]) : uint8_t('a' + i % 26);
    std::vector<ntfs_harvest::candidate_s> found;
    ntfs_harvest::find_records(text.data(), text.size(), text.size(), 0, &found);
    QVERIFY(found.empty());
    volume_file_c vol(path_);
    const std::vector<uint8_t> record = vol.read_bytes(vol.record_offset(0), vol.record_size());
    std::memcpy(text.data() + 4096, record.data(), 600);  // its fixed-up tail is missing
    ntfs_harvest::find_records(text.data(), text.size(), text.size(), 0, &found);
    QVERIFY(found.empty());
    std::memcpy(text.data() + 4096, record.data(), record.size());
    ntfs_harvest::find_records(text.data(), text.size(), text.size(), 0, &found);
    QCOMPARE(found.size(), size_t(1));
    QCOMPARE(found[0].offset, uint64_t(4096));
    QCOMPARE(found[0].number, int64_t(0));
}

// A volume quick-formatted over its files (three new files after), and the
// same volume before it with its MFT's first 64 records zeroed: the search
// runs by itself, and every file whose record and data survive comes back
// byte for byte, in its folder where the folder's record survives too and
// in "Folder N" where it does not (the first folder made, whose record a
// new file took).
void tst_ntfs_failing::formatted_and_zeroed_volumes() {
    QUARVEL_NTFS_FORMATTED(fx);
    const std::string zeroed = fx.image.substr(0, fx.image.size() - 4) + "_zeroed.img";
    const QString out = QString::fromStdString(test_support::make_temp_dir("ntfs-harvest"));
    for (const std::string& image : {fx.image, zeroed}) {
        const bool formatted = image == fx.image;
        volume_item_s volume;
        volume.device_path = QString::fromStdString(image);
        volume.file_system = QStringLiteral("NTFS");
        ntfs_recovery_c scanner;
        scanner.set_volume(volume);
        scanner.set_source(volume.device_path, platform::open_byte_source(image, nullptr));
        scanner.start();
        QVERIFY(scanner.wait(120000));
        QVERIFY(scanner.harvest_outcome().run || !formatted);
        QCOMPARE(scanner.harvest_outcome().formatted, formatted);
        std::map<std::string, std::pair<QString, recovery_item_s>> by_name;
        for (const found_row_s& row : scanner.found_rows())
            by_name[row.item.name.toStdString()] = {row.folder, row.item};
        int exact = 0, old = 0, overwritten = 0;
        for (const auto& line : fx.lines) {
            if (line[0] != "old")
                continue;
            ++old;
            const std::string name = line[1].substr(line[1].rfind('/') + 1);
            const auto it = by_name.find(name);
            QVERIFY2(it != by_name.end(), name.c_str());
            const recovery_item_s& item = it->second.second;
            if (uint32_t(item.flags) & flag_data_overwritten) {
                ++overwritten;
                continue;
            }
            const QString target = out + QStringLiteral("/%1-%2").arg(formatted).arg(item.id);
            QCOMPARE(scanner.recover_file(item.id, target), 0);
            QFile copy(target);
            QVERIFY(copy.open(QIODevice::ReadOnly));
            const QByteArray sha = QCryptographicHash::hash(copy.readAll(), QCryptographicHash::Sha256).toHex();
            QCOMPARE(sha.toStdString(), line[3]);
            ++exact;
            const std::string folder = it->second.first.toStdString();
            const std::string expected = line[1].substr(0, line[1].rfind('/'));
            if (!formatted)
                QCOMPARE(folder, expected);
            else if (name == "child.bin")
                QVERIFY2(folder.find("/Folder ") != std::string::npos, folder.c_str());
            else if (expected == "/Music")
                QCOMPARE(folder, scanner_lost_folder() + expected);
        }
        // The new files take a few old files' clusters; nothing else is lost.
        QVERIFY(overwritten <= (formatted ? 3 : 0));
        QCOMPARE(exact + overwritten, old);
    }
}


// Sectors known to be unreadable when the scan reads a deleted file's record
// (an earlier read met them) tag that file, from its runs, and no other;
// unknown, they tag nothing and the copy finds them.
void tst_ntfs_failing::files_over_known_bad_sectors_tagged() {
    volume_item_s volume;
    volume.device_path = QStringLiteral("failing");
    volume.file_system = QStringLiteral("NTFS");
    auto scan_knowing = [&](ntfs_recovery_c& scanner, const std::set<uint64_t>& bad, bool known) {
        auto source = failing(bytes_, bad);
        uint8_t sector[512];
        for (const uint64_t s : known ? bad : std::set<uint64_t>{})
            source->read_at(s * 512, sector, sizeof sector);
        scanner.set_volume(volume);
        scanner.set_lost_pass(lost_pass_e::off);
        scanner.set_source(volume.device_path, source);
        scanner.start();
        return scanner.wait(60000);
    };
    auto tagged = [](const ntfs_recovery_c& scanner) {
        std::set<int64_t> out;
        for (const auto& [number, node] : scanner.nodes())
            if (ntfs_recovery_c::row_of(node).flags & row_unreadable_sectors)
                out.insert(number);
        return out;
    };
    ntfs_recovery_c sound;
    QVERIFY(scan_knowing(sound, {}, false));
    QVERIFY(tagged(sound).empty());
    // A deleted file of a few clusters or more whose copy starts with bytes
    // found in the image (not compressed, not resident).
    const QString dir = QString::fromStdString(test_support::make_temp_dir("ntfs-tag"));
    int64_t victim = -1;
    uint64_t bad = 0;
    for (const auto& [number, node] : sound.nodes()) {
        if (!ntfs_recovery_c::is_shown_file(node) || !(node.flags & flag_deleted) || node.size < 8192)
            continue;
        const QString copy = dir + "/" + QString::number(number);
        if (sound.recover_file(number, copy) != 0)
            continue;
        QFile copied(copy);
        QVERIFY(copied.open(QIODevice::ReadOnly));
        const QByteArray read = copied.read(4096);
        const std::vector<uint8_t> head(read.begin(), read.end());
        const auto at = std::search(bytes_.begin(), bytes_.end(), head.begin(), head.end());
        if (at != bytes_.end() && (at - bytes_.begin()) % 512 == 0) {
            victim = number;
            bad = uint64_t(at - bytes_.begin()) / 512 + 2;
            break;
        }
    }
    QVERIFY(victim >= 0);

    ntfs_recovery_c scanner;
    QVERIFY(scan_knowing(scanner, {bad}, true));
    QCOMPARE(tagged(scanner), std::set<int64_t>{victim});
    QCOMPARE(scanner.unreadable_file_count(), 1);
    ntfs_recovery_c unknown;
    QVERIFY(scan_knowing(unknown, {bad}, false));
    QVERIFY(tagged(unknown).empty());
}

QTEST_GUILESS_MAIN(tst_ntfs_failing)
#include "tst_ntfs_failing.moc"
