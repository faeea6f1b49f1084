// The FAT scanner on a failing medium: a FAT32 volume made by mkfs.fat and
// mtools, read through an in-memory disk whose chosen sectors fail with EIO
// (behind the salvaging source every reader gets). The copies the volume
// keeps stand in for what cannot be read, folders are read on past a bad
// sector, and zeros from the medium are never taken for the volume's bytes.
#include "engines/fat/fat_internal.h"
#include "scan/fat/fat_recovery.h"
#include "scan/unreadable_sectors.h"
#include "support/english_notes.h"
#include "support/failing_source.h"
#include "support/fixtures.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <map>
#include <memory>

namespace {

using listing_t = std::map<QString, int32_t>;  // shown path -> row flags

struct scan_result_s {
    listing_t files;
    fat_scan_outcome_s outcome;
    QString failure, warning;
};

scan_result_s scan(const std::vector<uint8_t>& bytes, const std::set<uint64_t>& bad)
{
    auto disk = std::make_shared<test_support::failing_source_c>(bytes, bad);
    volume_item_s volume;
    volume.device_path = "failing.img";
    volume.root_path = "failing.img/";
    volume.file_system = "FAT32";
    fat_recovery_c scanner;
    scanner.set_volume(volume);
    scanner.set_content_check(false);
    scanner.set_source(volume.device_path, std::make_shared<platform::salvage_source_c>(disk));
    scanner.start();
    scanner.wait();
    scan_result_s r;
    scanner.visit_shown_files([&](const fat_node_s& n, const QString& folder) {
        r.files[folder + "/" + n.name] = fat_recovery_c::row_of(n).flags;
    });
    r.outcome = scanner.outcome();
    r.failure = scanner.failure_reason();
    r.warning = english_notes(scanner.notes());
    return r;
}

// A scan whose source already met the sectors of known (an earlier read, as
// a search of the whole volume or an imaging map gives).
std::unique_ptr<fat_recovery_c> scan_knowing(const std::vector<uint8_t>& bytes, const std::set<uint64_t>& bad,
                                             const std::set<uint64_t>& known, bool content_check)
{
    auto source = std::make_shared<platform::salvage_source_c>(
        std::make_shared<test_support::failing_source_c>(bytes, bad));
    uint8_t sector[512];
    for (const uint64_t s : known)
        source->read_at(s * 512, sector, sizeof sector);
    auto scanner = std::make_unique<fat_recovery_c>();
    volume_item_s volume;
    volume.device_path = "failing.img";
    volume.root_path = "failing.img/";
    scanner->set_volume(volume);
    scanner->set_content_check(content_check);
    scanner->set_source(volume.device_path, source);
    scanner->start();
    scanner->wait();
    return scanner;
}

// The deleted files the scanner tagged as lying over unreadable sectors.
QStringList tagged(const fat_recovery_c& scanner)
{
    QStringList out;
    scanner.visit_shown_files([&](const fat_node_s& n, const QString& folder) {
        if (fat_recovery_c::row_of(n).flags & row_unreadable_sectors)
            out << folder + "/" + n.name;
    });
    return out;
}

// A PNG the content check reads whole: its chunks and their CRCs (the
// image data is random bytes, which the check does not inflate).
QByteArray png_file(int data_bytes)
{
    auto crc = [](const QByteArray& bytes) {
        uint32_t c = 0xFFFFFFFFu;
        for (const char ch : bytes) {
            c ^= uint8_t(ch);
            for (int k = 0; k < 8; ++k)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        }
        return ~c;
    };
    auto be32 = [](uint32_t v) {
        const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(bytes, 4);
    };
    auto chunk = [&](const char* type, const QByteArray& body) {
        const QByteArray typed = QByteArray(type) + body;
        return be32(uint32_t(body.size())) + typed + be32(crc(typed));
    };
    QByteArray data(data_bytes, '\0');
    uint32_t x = 12345;
    for (char& ch : data)
        ch = char((x = x * 1664525u + 1013904223u) >> 24);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", be32(64) + be32(64) + QByteArray("\x08\x02\0\0\0", 5)) +
           chunk("IDAT", data) + chunk("IEND", {});
}

std::set<uint64_t> range(uint64_t first, uint64_t count)
{
    std::set<uint64_t> out;
    for (uint64_t s = first; s < first + count; ++s)
        out.insert(s);
    return out;
}

}  // namespace

class tst_fat_failing : public QObject {
    Q_OBJECT

    std::vector<uint8_t> image_;
    listing_t sound_;
    uint32_t fat_start_ = 0, fat_sectors_ = 0;

private slots:
    void initTestCase()
    {
        for (const char* tool : {"mkfs.fat", "mcopy", "mdel"})
            if (QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}).isEmpty())
                QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
        // Two folders of 60 long-named files each, written one after the
        // other on 512-byte clusters, so each folder's clusters lie between
        // its files' and its chain runs through the first FAT sectors; 40 of
        // each folder's files are then deleted.
        const QString dir = QString::fromStdString(test_support::make_temp_dir("fat_failing"));
        const QString script = R"(set -e
export MTOOLS_SKIP_CHECK=1 PATH="$PATH:/usr/sbin:/sbin"
img="$1/vol.img"; truncate -s 40M "$img"
mkfs.fat -F 32 -s 1 -n FAILING "$img" >/dev/null
for d in 1 2; do
  mkdir -p "$1/src/Folder $d"
  for i in $(seq 100 159); do head -c $((1000 + i * 13)) /dev/urandom >"$1/src/Folder $d/a long file name $i.bin"; done
  mcopy -s -Q -i "$img" "$1/src/Folder $d" ::
  victims=(); for i in $(seq 100 159); do (( i % 3 )) && victims+=("::/Folder $d/a long file name $i.bin"); done
  mdel -i "$img" "${victims[@]}"
done)";
        QProcess make;
        make.start("bash", {"-c", script, "bash", dir});
        QVERIFY(make.waitForFinished(120000));
        QVERIFY2(make.exitCode() == 0, make.readAllStandardError().constData());
        QFile f(dir + "/vol.img");
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray all = f.readAll();
        image_.assign(all.begin(), all.end());
        fat_start_ = platform::le16(image_.data() + 14);
        fat_sectors_ = platform::le32(image_.data() + 36);
        sound_ = scan(image_, {}).files;
        QCOMPARE(sound_.size(), size_t(80));
    }

    // The first 4 KiB of the first FAT unreadable, zeroed, or naming a
    // cluster past the volume's end: the second FAT gives every chain, and
    // the same files with the same judgement come back. With both copies
    // gone the loss is said, with its sector.
    void second_fat_stands_in()
    {
        scan_result_s r = scan(image_, range(fat_start_, 8));
        QCOMPARE(r.files, sound_);
        QCOMPARE(r.outcome.fat_sectors_mended, 8);
        QCOMPARE(r.outcome.folders_cut_short, 0);
        QVERIFY2(r.warning.contains("another copy of the FAT"), qPrintable(r.warning));

        std::vector<uint8_t> zeroed = image_;
        std::fill_n(zeroed.begin() + fat_start_ * 512, 8 * 512, 0);
        QCOMPARE(scan(zeroed, {}).files, sound_);

        // Every folder cluster's entry now points past the last cluster.
        std::vector<uint8_t> wild = image_;
        for (uint32_t c = 3; c < 1024; ++c) {
            uint8_t* entry = wild.data() + fat_start_ * 512 + c * 4;
            if (platform::le32(entry) != 0 && platform::le32(entry) < 0x0FFFFFF8)
                platform::store_le32(entry, 0x0FFFFF00);
        }
        QCOMPARE(scan(wild, {}).files, sound_);

        std::set<uint64_t> both = range(fat_start_, 8);
        both.merge(range(fat_start_ + fat_sectors_, 8));
        r = scan(image_, both);
        QVERIFY(r.files.size() < sound_.size());
        QCOMPARE(r.outcome.fat_sectors_lost, 8);
        QVERIFY2(r.warning.contains(QString("could not be read in any copy (the first at sector %1)").arg(fat_start_)),
                 qPrintable(r.warning));
    }

    // An unreadable or wiped boot sector: the copy at sector 6 lays the
    // volume out as before. Without the copy the read error is reported as
    // one, naming the sector and the medium's reason.
    void boot_sector_copy()
    {
        scan_result_s r = scan(image_, {0});
        QCOMPARE(r.files, sound_);
        QVERIFY(r.outcome.boot_from_backup);
        QVERIFY(r.warning.contains("its copy was used"));

        std::vector<uint8_t> wiped = image_;
        std::fill_n(wiped.begin(), 512, 0);
        QCOMPARE(scan(wiped, {}).files, sound_);
        QCOMPARE(fat_file_system_of(std::make_shared<test_support::failing_source_c>(wiped, std::set<uint64_t>{})),
                 QString("FAT32"));

        r = scan(image_, {0, 6});
        QVERIFY(r.files.empty());
        QVERIFY2(r.failure.contains("boot sector (sector 0 of the volume) cannot be read (Input/output error)"),
                 qPrintable(r.failure));
    }

    // A bad sector inside a folder's second cluster costs only the entries
    // in it: the files named in the clusters after it are listed.
    void folder_read_past_bad_sector()
    {
        fat_volume_s fs;
        fat_attach(&fs, std::make_shared<test_support::failing_source_c>(image_, std::set<uint64_t>{}));
        fat_dir_s dir;
        QCOMPARE(f_opendir(&dir, &fs, u"/Folder 2"), int(fr_ok));
        const uint32_t second = fat_next_cluster(&fs, dir.start_cluster);
        const uint32_t third = fat_next_cluster(&fs, second);
        QVERIFY(fat_cluster_valid(&fs, second) && fat_cluster_valid(&fs, third));
        const uint64_t bad = fat_cluster_sector(&fs, second);

        const scan_result_s r = scan(image_, {bad});
        QCOMPARE(r.outcome.dir_sectors_unreadable, 1);
        QVERIFY2(r.warning.contains(QString("the first at sector %1 (Input/output error)").arg(bad)), qPrintable(r.warning));
        // 16 slots hold at most 16 deleted files' short entries.
        QVERIFY(r.files.size() >= sound_.size() - 16 && r.files.size() < sound_.size());
        for (const auto& [path, flags] : r.files)
            QCOMPARE(flags, sound_.at(path));
        // The folder's last deleted file is named in its last cluster.
        QVERIFY(r.files.count("/Folder 2/# long file name 158.bin"));
    }

    // Sectors known to be unreadable when the scan ends tag the deleted files
    // whose copies would read them from their start cluster, and only those;
    // a sound disk tags none.
    void files_over_known_bad_sectors_tagged()
    {
        for (const auto& [path, flags] : sound_)
            QVERIFY2(!(flags & row_unreadable_sectors), qPrintable(path));
        fat_volume_s fs;
        fat_attach(&fs, std::make_shared<test_support::failing_source_c>(image_, std::set<uint64_t>{}));
        fat_dir_s dir;
        QCOMPARE(f_opendir(&dir, &fs, u"/"), int(fr_ok));
        const auto sound = scan_knowing(image_, {}, {}, false);
        QCOMPARE(sound->unreadable_file_count(), 0);
        uint64_t bad = 0;
        sound->visit_shown_files([&](const fat_node_s& n, const QString& folder) {
            if (folder == "/Folder 1" && n.name == "# long file name 101.bin")
                bad = fat_cluster_sector(&fs, n.cluster) + 1;
        });
        QVERIFY(bad > 0);
        const auto scanner = scan_knowing(image_, {bad}, {bad}, false);
        QCOMPARE(tagged(*scanner), QStringList{"/Folder 1/# long file name 101.bin"});
        QCOMPARE(scanner->unreadable_file_count(), 1);
        // Not yet read, the sector tags nothing: the copy will find it.
        QCOMPARE(tagged(*scan_knowing(image_, {bad}, {}, false)), QStringList{});
    }

    // A sector the content check meets first: the file is tagged as lying
    // over unreadable sectors, not judged damaged for the zeros it read.
    void content_check_meets_bad_sector()
    {
        const QString dir = QString::fromStdString(test_support::make_temp_dir("fat_failing_png"));
        const QByteArray png = png_file(40000);
        QFile out(dir + "/photo.png");
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(png) == png.size());
        out.close();
        QProcess make;
        make.start("bash", {"-c", R"(set -e; export MTOOLS_SKIP_CHECK=1 PATH="$PATH:/usr/sbin:/sbin"
truncate -s 16M "$1/vol.img"; mkfs.fat -F 16 -s 1 -n PNG "$1/vol.img" >/dev/null
mcopy -i "$1/vol.img" "$1/photo.png" ::; mdel -i "$1/vol.img" ::photo.png)", "bash", dir});
        QVERIFY(make.waitForFinished(60000) && make.exitCode() == 0);
        QFile f(dir + "/vol.img");
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray all = f.readAll();
        const std::vector<uint8_t> bytes(all.begin(), all.end());
        const qsizetype at = all.indexOf(png.left(512));
        QVERIFY(at > 0 && at % 512 == 0);

        const auto sound = scan_knowing(bytes, {}, {}, true);
        sound->visit_shown_files([](const fat_node_s& n, const QString&) {
            QVERIFY(fat_recovery_c::row_of(n).flags & row_content_verified);
        });
        const auto scanner = scan_knowing(bytes, {uint64_t(at) / 512 + 20}, {}, true);
        int32_t flags = 0;
        scanner->visit_shown_files([&](const fat_node_s& n, const QString&) { flags = fat_recovery_c::row_of(n).flags; });
        QVERIFY(flags & row_unreadable_sectors);
        QVERIFY(!(flags & row_content_damaged));
        QCOMPARE(scanner->unreadable_file_count(), 1);
    }
};

QTEST_GUILESS_MAIN(tst_fat_failing)
#include "tst_fat_failing.moc"
