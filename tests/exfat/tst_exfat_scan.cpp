// The exFAT scanner over volumes written and deleted through the real
// driver: names, folders, times, byte-exact recovery from contiguous,
// FAT-chained and released chains, The Sleuth Kit as a second reader, and
// damaged or hostile volumes made from the real ones.
#include "engines/exfat/exfat_entry.h"
#include "ondisk/byte_order.h"
#include "partition/partition_repair.h"
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "scan/content_pass.h"
#include "scan/exfat/exfat_recovery.h"
#include "scan/unreadable_sectors.h"
#include "support/english_notes.h"
#include "support/failing_source.h"
#include "support/fixtures.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

namespace {

struct expected_s {
    QString image, path;
    int64_t size = 0, mtime = 0;
};

QByteArray read_file(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Scans image through an in-memory disk whose bad sectors fail with EIO,
// behind the salvaging source every reader gets. The sectors of known were
// met by a read before the scan (as an imaging map or an earlier pass gives).
bool scan_failing(exfat_recovery_c& scanner, const QString& image, const QByteArray& bytes, std::set<uint64_t> bad,
                  const std::set<uint64_t>& known = {})
{
    volume_item_s volume;
    volume.device_path = image;
    volume.root_path = image + "/";
    auto disk = std::make_shared<test_support::failing_source_c>(std::vector<uint8_t>(bytes.begin(), bytes.end()),
                                                                   std::move(bad));
    scanner.reset();
    scanner.set_volume(volume);
    auto source = std::make_shared<platform::salvage_source_c>(disk);
    uint8_t sector[512];
    for (const uint64_t s : known)
        source->read_at(s * 512, sector, sizeof sector);
    scanner.set_source(image, source);
    scanner.start();
    return scanner.wait(60000);
}

bool scan(exfat_recovery_c& scanner, const QString& image)
{
    volume_item_s volume;
    volume.device_path = image;
    volume.root_path = image + "/";
    scanner.reset();
    scanner.set_volume(volume);
    scanner.start();
    return scanner.wait(60000);
}

std::map<QString, const exfat_node_s*> shown(const exfat_recovery_c& scanner)
{
    std::map<QString, const exfat_node_s*> files;
    scanner.visit_shown_files([&](const exfat_node_s& n, const QString& folder) {
        files[(folder == "/" ? QString() : folder) + "/" + n.name] = &n;
    });
    return files;
}

// The entry set of the deleted file or folder with this name: its offset in
// the image, found by the parser itself at every 32-byte step.
qsizetype find_set(const QByteArray& image, const QString& name)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(image.constData());
    for (qsizetype at = 0; at + 64 <= image.size(); at += 32) {
        exfat::entry_set_s set;
        if (bytes[at] == exfat::type_file_deleted &&
            exfat::parse_entry_set(bytes + at, size_t(image.size() - at), &set) == exfat::set_result::ok &&
            QString::fromStdU16String(set.name) == name)
            return at;
    }
    return -1;
}

void reseal_set(QByteArray* image, qsizetype at)
{
    auto* bytes = reinterpret_cast<uint8_t*>(image->data()) + at;
    platform::store_le16(bytes + 2, exfat::entry_set_checksum(bytes, size_t(bytes[1]) + 1, true));
}

bool write_file(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

// A deleted set as the driver writes it: file, stream and name entries.
QByteArray make_set(const std::u16string& name, uint8_t count)
{
    QByteArray set(int(count + 1) * 32, '\0');
    auto* b = reinterpret_cast<uint8_t*>(set.data());
    b[0] = exfat::type_file_deleted;
    b[1] = count;
    b[32] = exfat::type_stream_deleted;
    b[35] = uint8_t(name.size());
    for (uint8_t e = 2; e <= count; ++e)
        b[e * 32] = exfat::type_name_deleted;
    for (size_t i = 0; i < name.size(); ++i)
        platform::store_le16(b + 64 + (i / 15) * 32 + 2 + (i % 15) * 2, uint16_t(name[i]));
    platform::store_le16(b + 2, exfat::entry_set_checksum(b, count + 1u, true));
    return set;
}

}  // namespace

class tst_exfat_scan : public QObject {
    Q_OBJECT

    QString dir_;     // scratch for this run
    QString images_;  // the built volumes, shared with other runs (read only)
    QString skip_;
    std::vector<expected_s> expected_;

    QString image(const QString& name) const { return images_ + "/" + name + ".img"; }

private slots:
    void initTestCase()
    {
        // Times must come out the same whatever zone the machine is in.
        qputenv("TZ", "America/New_York");
        tzset();
        dir_ = QString::fromStdString(test_support::make_temp_dir("exfat"));
        // ctest's setup has built them already; this call only checks the stamp.
        const QString fixtures = qEnvironmentVariable("QUARVEL_FIXTURE_DIR");
        images_ = fixtures.isEmpty() ? dir_ + "/volumes" : fixtures + "/exfat";
        QProcess builder;
        builder.start("bash", {QString(qgetenv("QUARVEL_SOURCE_DIR")) + "/tests/exfat/make_exfat_volumes.sh", images_});
        QVERIFY(builder.waitForFinished(300000));
        const QString said = QString::fromUtf8(builder.readAllStandardOutput() + builder.readAllStandardError()).trimmed();
        if (builder.exitCode() == 77) {
            skip_ = said;
            return;
        }
        QVERIFY2(builder.exitCode() == 0, qPrintable(said));
        for (const QString& line : QString::fromUtf8(read_file(images_ + "/manifest.tsv")).split('\n', Qt::SkipEmptyParts)) {
            const QStringList f = line.split('\t');
            if (f.size() == 5 && f[0] == "deleted")
                expected_.push_back({f[1], f[2], f[3].toLongLong(), f[4].toLongLong()});
        }
        QVERIFY(expected_.size() >= 10);
    }

    // A camera folder lost with its parent (DCIM deleted, a new one made in
    // its place): the search of the data area gives every photo back by
    // name, byte for byte, its folder's two far-apart clusters included.
    void lost_camera_folder_comes_back_by_name()
    {
        const QString dir = dir_ + "/lost";
        QProcess builder;
        builder.start("bash", {QString(qgetenv("QUARVEL_SOURCE_DIR")) + "/bench/exfat/make_lost_image.sh", dir, "60",
                               "64", "4K"});
        QVERIFY(builder.waitForFinished(300000));
        if (builder.exitCode() == 77)
            QSKIP(qPrintable(QString::fromUtf8(builder.readAllStandardError())));
        QCOMPARE(builder.exitCode(), 0);
        std::map<QByteArray, QString> written;  // sha256 -> name
        for (const QByteArray& line : read_file(dir + "/exfat.txt").split('\n'))
            if (const QList<QByteArray> w = line.split(' '); w.size() == 3)
                written[w[0]] = QString::fromLatin1(w[2]);
        QVERIFY(written.size() > 50);

        exfat_recovery_c scanner;
        scanner.set_lost_pass(lost_pass_e::on);
        QVERIFY(scan(scanner, dir + "/exfat.img"));
        QVERIFY(scanner.outcome().lost_entries >= int64_t(written.size()));
        std::map<QByteArray, QString> got;
        for (const auto& [path, node] : shown(scanner)) {
            const QString to = dir + "/out-" + QString::number(node->id);
            if (scanner.recover_file(node->id, to) == 0)
                got[QCryptographicHash::hash(read_file(to), QCryptographicHash::Sha256).toHex()] = node->name;
        }
        for (const auto& [sha, name] : written)
            QVERIFY2(got.count(sha) && got[sha] == name, qPrintable(name));
    }

    // Every deleted file comes back under its full name, in its folder, with
    // its size and time, byte for byte; live files and folders holding nothing
    // deleted stay out; each row says where its data came from.
    void deleted_files_come_back()
    {
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        // sector4k: a volume with 4096-byte sectors reads like any other.
        for (const QString name : {"main", "fat_kept", "sector4k"}) {
            exfat_recovery_c scanner;
            QVERIFY(scan(scanner, image(name)));
            QCOMPARE(scanner.outcome().opened, exfat::open_result::ok);
            QCOMPARE(scanner.outcome().sets_damaged, 0);
            QCOMPARE(scanner.outcome().names_unhashed, 0);
            const auto files = shown(scanner);
            const QString out = QString::fromStdString(test_support::make_temp_dir("exfat-out"));
            int matched = 0;
            for (const expected_s& e : expected_) {
                if (e.image != name)
                    continue;
                const auto it = files.find("/" + e.path);
                QVERIFY2(it != files.end(), qPrintable(e.path));
                const exfat_node_s& n = *it->second;
                const recovery_item_s row = exfat_recovery_c::row_of(n);
                QCOMPARE(row.size, e.size);
                QCOMPARE(row.date1, e.mtime);
                QVERIFY(row.flags & exfat_row_deleted);
                QVERIFY2(!(row.flags & (exfat_row_overwritten | exfat_row_incomplete)), qPrintable(e.path));
                const bool fragmented = e.path == "frag.bin" || e.path.startsWith("pair");
                const int32_t source = !fragmented ? exfat_row_contiguous
                                       : name == "main" ? exfat_row_from_free_clusters
                                                        : exfat_row_from_fat;
                QVERIFY2(row.flags & source, qPrintable(e.path + " " + QString::number(row.flags, 16)));
                const QString target = out + "/" + QString::number(matched);
                QCOMPARE(scanner.recover_file(n.id, target), 0);
                QVERIFY2(read_file(target) == read_file(images_ + "/expected/" + name + "/" + e.path), qPrintable(e.path));
                QString full;
                QCOMPARE(scanner.get_full_path(n.id, &full), 0);
                QCOMPARE(full, image(name) + "/" + e.path);
                ++matched;
            }
            QCOMPARE(size_t(files.size()), size_t(matched));  // nothing live, nothing twice
            QVERIFY(files.count("/keep/live.txt") == 0);
        }
    }

    // A photo saved in pieces between a live file's: the content check finds
    // the free clusters make it whole, and the copy is the photo.
    void photo_put_back_together()
    {
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        if (!QFile::exists(image("photo")))
            QSKIP("ImageMagick's convert is not installed");
        exfat_recovery_c scanner;
        QVERIFY(scan(scanner, image("photo")));
        const auto files = shown(scanner);
        QVERIFY(files.count("/photo.jpg"));
        const exfat_node_s& n = *files.at("/photo.jpg");
        QVERIFY2(n.data_flags & exfat_row_from_free_clusters, qPrintable(QString::number(n.data_flags, 16)));
        QVERIFY2(n.data_flags & row_content_rebuilt, qPrintable(QString::number(n.data_flags, 16)));
        const QString target = dir_ + "/photo-out";
        QCOMPARE(scanner.recover_file(n.id, target), 0);
        QVERIFY(read_file(target) == read_file(images_ + "/expected/photo/photo.jpg"));
    }

    // quarvel-cli picks the exFAT scanner for the volume and brings every
    // deleted file back under its full name, byte for byte.
    void cli_recovers_all()
    {
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            QSKIP("quarvel-cli is not built");
        const QString out = dir_ + "/cli-out";
        QProcess p;
        p.start(cli, {"--json", "recover", image("main"), "--all", "--flat", "--to", out});
        QVERIFY(p.waitForFinished(120000));
        const QByteArray said = p.readAllStandardOutput() + p.readAllStandardError();
        QVERIFY2(p.exitCode() == 0, said.constData());
        QVERIFY2(said.contains("\"written\":10") && said.contains("\"failed\":0"), said.constData());
        for (const expected_s& e : expected_) {
            if (e.image != "main")
                continue;
            const QString file = out + "/" + e.path.section('/', -1);
            QVERIFY2(read_file(file) == read_file(images_ + "/expected/main/" + e.path) && QFile::exists(file),
                     qPrintable(file));
        }
    }

    // The Sleuth Kit reads the same volume: every deleted file it lists we
    // list under the same path, and where the file was contiguous its bytes
    // match ours.
    void sleuth_kit_agrees()
    {
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        if (QStandardPaths::findExecutable("fls").isEmpty() || QStandardPaths::findExecutable("icat").isEmpty())
            QSKIP("The Sleuth Kit (fls, icat) is not installed");
        exfat_recovery_c scanner;
        QVERIFY(scan(scanner, image("main")));
        const auto files = shown(scanner);
        QProcess fls;
        fls.start("fls", {"-rdp", "-f", "exfat", image("main")});
        QVERIFY(fls.waitForFinished(60000));
        int compared = 0;
        for (const QString& line : QString::fromUtf8(fls.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
            if (!line.startsWith("r/r * "))
                continue;
            const QString inode = line.mid(6).section(':', 0, 0);
            const QString path = line.section('\t', 1);
            const auto it = files.find("/" + path);
            QVERIFY2(it != files.end(), qPrintable(path));
            if (path == "frag.bin")
                continue;  // TSK reads released chains as one run
            QProcess icat;
            icat.start("icat", {"-f", "exfat", image("main"), inode});
            QVERIFY(icat.waitForFinished(60000));
            const QString ours = dir_ + "/ours";
            QFile::remove(ours);
            QCOMPARE(scanner.recover_file(it->second->id, ours), 0);
            QVERIFY2(read_file(ours) == icat.readAllStandardOutput(), qPrintable(path));
            ++compared;
        }
        QVERIFY(compared >= 8);
    }

    // A damaged main boot region falls back to the backup; with both gone
    // the volume is refused and nothing is listed.
    void boot_regions()
    {
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        QByteArray img = read_file(image("main"));
        const QString copy = dir_ + "/boot.img";
        img[300] = char(img[300] ^ 0x5A);  // inside the boot code: only the checksum notices
        QVERIFY(write_file(copy, img));
        exfat_recovery_c scanner;
        QVERIFY(scan(scanner, copy));
        QVERIFY(scanner.outcome().backup_boot);
        QCOMPARE(shown(scanner).size(), size_t(10));

        const int sector = 1 << uint8_t(img[108]);
        img[12 * sector + 300] = char(img[12 * sector + 300] ^ 0x5A);
        QVERIFY(write_file(copy, img));
        QVERIFY(scan(scanner, copy));
        QCOMPARE(scanner.outcome().opened, exfat::open_result::bad_boot);
        QVERIFY(scanner.store().empty());
    }

    // A failing medium: unreadable bitmap sectors leave the allocation
    // unknown and every file listed and copied whole; an unreadable main
    // boot sector leaves the backup region; a bad root sector costs only
    // the entries in it. With both boot regions unreadable the read error
    // is what is reported.
    void failing_medium()
    {
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        const QByteArray img = read_file(image("main"));
        const auto* b = reinterpret_cast<const uint8_t*>(img.constData());
        const uint32_t heap = platform::le32(b + 88), root = platform::le32(b + 96);
        const uint32_t cluster_sectors = 1u << b[109];
        QCOMPARE(b[108], uint8_t(9));
        const uint64_t root_sector = heap + uint64_t{root - 2} * cluster_sectors;
        uint64_t bitmap_sector = 0, bitmap_sectors = 0;
        for (uint32_t at = 0; at < cluster_sectors * 512; at += 32)
            if (b[root_sector * 512 + at] == 0x81) {
                bitmap_sector = heap + uint64_t{platform::le32(b + root_sector * 512 + at + 20) - 2} * cluster_sectors;
                bitmap_sectors = (platform::le64(b + root_sector * 512 + at + 24) + 511) / 512;
                break;
            }
        QVERIFY(bitmap_sectors > 0);
        std::set<uint64_t> bitmap;
        for (uint64_t s = 0; s < bitmap_sectors; ++s)
            bitmap.insert(bitmap_sector + s);

        exfat_recovery_c scanner;
        QVERIFY(scan_failing(scanner, image("main"), img, bitmap));
        QCOMPARE(scanner.outcome().opened, exfat::open_result::ok);
        QVERIFY(scanner.outcome().allocation_unknown > 0);
        QVERIFY2(english_notes(scanner.notes()).contains("allocation bitmap could not be read"), qPrintable(english_notes(scanner.notes())));
        auto files = shown(scanner);
        QCOMPARE(files.size(), size_t(10));
        for (const char* path : {"big.bin", "docs/old.doc", "Urlaub 2024/sub/deep.bin"}) {
            const QString target = dir_ + "/unknown_" + QString::number(qHash(QString(path)));
            QCOMPARE(scanner.recover_file(files.at(QString("/") + path)->id, target), 0);
            QVERIFY2(read_file(target) == read_file(images_ + "/expected/main/" + path), path);
        }

        QVERIFY(scan_failing(scanner, image("main"), img, {0}));
        QVERIFY(scanner.outcome().backup_boot);
        QCOMPARE(shown(scanner).size(), size_t(10));

        // Sets in the root's second sector are lost; those after it are not.
        QVERIFY(scan(scanner, image("main")));
        std::map<QString, std::pair<int64_t, int64_t>> sound;  // path -> id, parent
        for (const auto& [path, node] : shown(scanner))
            sound[path] = {node->id, node->parent};
        const uint64_t bad = root_sector + 1;
        QVERIFY(scan_failing(scanner, image("main"), img, {bad}));
        QCOMPARE(scanner.outcome().dir_sectors_unreadable, 1);
        QVERIFY2(english_notes(scanner.notes()).contains(QString("the first at sector %1 (Input/output error)").arg(bad)),
                 qPrintable(english_notes(scanner.notes())));
        files = shown(scanner);
        int after = 0;
        for (const auto& [path, place] : sound) {
            const uint64_t set_sector = uint64_t(place.first) * 32 / 512;
            if (place.second == exfat_recovery_c::root_id && set_sector > bad) {
                ++after;
                QVERIFY2(files.count(path), qPrintable(path));
            }
        }
        QVERIFY(after > 0);
        QVERIFY(files.size() < sound.size());

        // A sector of big.bin known to be unreadable when the scan ends tags
        // that file alone; the scan is told how many.
        const QByteArray big = read_file(images_ + "/expected/main/big.bin");
        const qsizetype big_at = img.indexOf(big.left(4096));
        QVERIFY(big_at > 0 && big_at % 512 == 0);
        const uint64_t in_big = uint64_t(big_at) / 512 + 3;
        QVERIFY(scan_failing(scanner, image("main"), img, {in_big}, {in_big}));
        for (const auto& [path, node] : shown(scanner))
            QCOMPARE(bool(exfat_recovery_c::row_of(*node).flags & row_unreadable_sectors), path == "/big.bin");
        QCOMPARE(scanner.unreadable_file_count(), 1);

        std::set<uint64_t> regions;
        for (uint64_t s = 0; s < 24; ++s)
            regions.insert(s);
        QVERIFY(scan_failing(scanner, image("main"), img, regions));
        QCOMPARE(scanner.outcome().opened, exfat::open_result::cannot_read);
        QVERIFY2(scanner.failure_reason().contains("sector 0 of the volume) cannot be read (Input/output error)"),
                 qPrintable(scanner.failure_reason()));
    }

    // Damage made on a real volume: a root chain that loops, a deleted folder
    // naming its own parent's clusters, a size beyond the volume and a valid
    // length short of the size. The scan ends, lists what it can, and never
    // reports a short copy as a success.
    void hostile_values()
    {
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        QByteArray img = read_file(image("main"));
        const auto* b = reinterpret_cast<const uint8_t*>(img.constData());
        const uint32_t sector = 1u << b[108];
        const uint32_t fat = platform::le32(b + 80) * sector;
        const uint32_t root = platform::le32(b + 96);
        platform::store_le32(reinterpret_cast<uint8_t*>(img.data()) + fat + 4 * root, root);  // root -> root

        const qsizetype holiday = find_set(img, "Urlaub 2024");
        const qsizetype sub = find_set(img, "sub");
        QVERIFY(holiday > 0 && sub > 0);
        // "sub" now claims the clusters of the folder that holds it.
        std::memcpy(img.data() + sub + 32 + 20, img.constData() + holiday + 32 + 20, 4);
        reseal_set(&img, sub);

        const qsizetype big = find_set(img, "big.bin");
        platform::store_le32(reinterpret_cast<uint8_t*>(img.data()) + big + 32 + 28, 0x7FFF);  // size ~ 140 TiB
        reseal_set(&img, big);
        const qsizetype doc = find_set(img, "old.doc");
        platform::store_le32(reinterpret_cast<uint8_t*>(img.data()) + doc + 32 + 8, 1000);  // valid length
        reseal_set(&img, doc);
        const qsizetype a = find_set(img, "a.txt");
        img[a + 40] = char(img[a + 40] ^ 1);  // checksum no longer matches

        const QString copy = dir_ + "/hostile.img";
        QVERIFY(write_file(copy, img));
        exfat_recovery_c scanner;
        QVERIFY(scan(scanner, copy));
        QCOMPARE(scanner.outcome().sets_damaged, 1);
        const auto files = shown(scanner);
        QVERIFY(files.count("/Urlaub 2024/Strand.jpg"));
        QVERIFY(!files.count("/Urlaub 2024/sub/note.txt") && !files.count("/a.txt"));
        QVERIFY(files.count("/Fotó_日本語_😀.jpg"));
        QVERIFY(scanner.outcome().folders_cut_short >= 1);  // the looping root

        const exfat_node_s* huge = files.at("/big.bin");
        QVERIFY(exfat_recovery_c::row_of(*huge).flags & exfat_row_incomplete);
        QCOMPARE(scanner.recover_file(huge->id, dir_ + "/huge"), -1);
        QVERIFY(!QFile::exists(dir_ + "/huge"));  // a failed copy leaves nothing

        const QString short_doc = dir_ + "/short.doc";
        QCOMPARE(scanner.recover_file(files.at("/docs/old.doc")->id, short_doc), 0);
        const QByteArray original = read_file(images_ + "/expected/main/docs/old.doc");
        const QByteArray got = read_file(short_doc);
        QCOMPARE(got.size(), original.size());
        QVERIFY(got.left(1000) == original.left(1000));
        QVERIFY(got.mid(1000) == QByteArray(original.size() - 1000, '\0'));
    }

    // Free space from the bitmap, as dump.exfat counts it: the reader's own
    // count, and the volume list's for an unmounted volume, which is also
    // named "exFAT" there.
    void free_space_from_bitmap()
    {
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        if (QStandardPaths::findExecutable("dump.exfat").isEmpty())
            QSKIP("dump.exfat (exfatprogs) is not installed");
        QProcess dump;
        dump.start("dump.exfat", {image("main")});
        QVERIFY(dump.waitForFinished(60000));
        const QString said = QString::fromUtf8(dump.readAllStandardOutput());
        const qsizetype at = said.indexOf("Free Clusters:");
        QVERIFY2(at >= 0, qPrintable(said));
        const uint64_t free_clusters = said.mid(at + 14).section('\n', 0, 0).trimmed().toULongLong();
        QVERIFY(free_clusters > 0);

        exfat::volume_c reader;
        QCOMPARE(reader.open(platform::open_byte_source(image("main").toStdString(), nullptr)), exfat::open_result::ok);
        QCOMPARE(reader.free_clusters(), free_clusters);

        QCOMPARE(platform::open_disk_image(image("main").toStdString()), 0);
        platform::platform_volume_s v;
        QVERIFY(platform::find_volume(image("main").toStdString() + ":p0", &v));
        QCOMPARE(QString::fromStdString(v.file_system), QString("exFAT"));
        QVERIFY(v.free_space_known);
        QCOMPARE(v.free_bytes, free_clusters * 4096);
    }

    // The partition search finds an exFAT volume made by mkfs.exfat at a
    // place where its boot region runs past the search's block, with its
    // exact length; a copy whose main region is damaged is reported at its
    // own start, not at its backup's place.
    void partition_search_finds_exfat()
    {
        if (QStandardPaths::findExecutable("mkfs.exfat").isEmpty())
            QSKIP("mkfs.exfat (exfatprogs) is not installed");
        const QString volume = dir_ + "/part_volume.img";
        QVERIFY(write_file(volume, QByteArray(8 << 20, '\0')));
        QProcess mkfs;
        mkfs.start("mkfs.exfat", {volume});
        QVERIFY(mkfs.waitForFinished(60000) && mkfs.exitCode() == 0);
        QByteArray vol = read_file(volume);
        const qsizetype first = 2290 * 512;  // sector 250 of a 255-sector step
        const qsizetype second = first + vol.size() + 100 * 512;
        QByteArray disk(second + vol.size() + (1 << 20), '\0');
        disk.replace(first, vol.size(), vol);
        vol[300] = char(vol[300] ^ 0x5A);
        disk.replace(second, vol.size(), vol);
        const QString image_path = dir_ + "/part_disk.img";
        QVERIFY(write_file(image_path, disk));

        drive_item_s drive;
        drive.device_path = image_path;
        drive.size_bytes = uint64_t(disk.size());
        drive.geometry = std::make_shared<platform::disk_geometry_s>();
        partition_repair_c search;
        search.start_search(&drive);
        search.wait();
        const auto found = search.partitions();
        QCOMPARE(found.size(), size_t(2));
        QCOMPARE(found[0].file_system, QString("exFAT"));
        QCOMPARE(found[0].type, 7);
        QCOMPARE(found[0].start_sector, uint64_t(2290));
        QCOMPARE(found[0].end_sector, uint64_t(2290 + (8 << 20) / 512 - 1));
        // The damaged copy is found through its backup region, and placed
        // where its volume starts, never at the backup itself.
        QCOMPARE(found[1].file_system, QString("exFAT"));
        QCOMPARE(found[1].start_sector, uint64_t(second / 512));
    }

    // The entry-set parser on hand-made bytes: counts, states, names,
    // truncation and checksums; and timestamps with and without offsets.
    void entry_sets_and_times()
    {
        const std::u16string name = u"Ærø-naïve-fïlename.txt";  // 22 units: two name entries
        exfat::entry_set_s set;
        QByteArray ok = make_set(name, 3);
        const auto* bytes = reinterpret_cast<const uint8_t*>(ok.constData());
        QCOMPARE(exfat::parse_entry_set(bytes, size_t(ok.size()), &set), exfat::set_result::ok);
        QVERIFY(set.deleted && set.name == name && set.entry_count() == 4);
        QCOMPARE(exfat::parse_entry_set(bytes, size_t(ok.size()) - 1, &set), exfat::set_result::truncated);

        QByteArray one = ok;
        one[1] = 1;  // a stream and no name
        QCOMPARE(exfat::parse_entry_set(reinterpret_cast<const uint8_t*>(one.constData()), size_t(one.size()), &set),
                 exfat::set_result::bad_count);
        QByteArray many = make_set(name, 19);
        QCOMPARE(exfat::parse_entry_set(reinterpret_cast<const uint8_t*>(many.constData()), size_t(many.size()), &set),
                 exfat::set_result::bad_count);
        QByteArray mixed = ok;
        mixed[64] = char(exfat::type_name);  // one entry live again: reused by a later file
        QCOMPARE(exfat::parse_entry_set(reinterpret_cast<const uint8_t*>(mixed.constData()), size_t(mixed.size()), &set),
                 exfat::set_result::bad_order);
        QByteArray too_long = ok;
        too_long[35] = char(46);  // 46 units need four name entries
        QCOMPARE(exfat::parse_entry_set(reinterpret_cast<const uint8_t*>(too_long.constData()), size_t(too_long.size()), &set),
                 exfat::set_result::bad_name);
        QByteArray flipped = ok;
        flipped[70] = char(flipped[70] ^ 0x20);
        QCOMPARE(exfat::parse_entry_set(reinterpret_cast<const uint8_t*>(flipped.constData()), size_t(flipped.size()), &set),
                 exfat::set_result::bad_checksum);

        // 2024-02-29 12:30:10.50 at +05:30 and at -08:00 are 06:59:..:10 and 20:30:10 UTC.
        const uint32_t packed = (44u << 25) | (2u << 21) | (29u << 16) | (12u << 11) | (30u << 5) | 5u;
        QCOMPARE(exfat::timestamp_seconds({packed, 50, 0x80 | 22}), int64_t{1709209810} - 5 * 3600 - 1800);
        QCOMPARE(exfat::timestamp_seconds({packed, 150, uint8_t(0x80 | (-32 & 0x7F))}), int64_t{1709209811} + 8 * 3600);
        const uint32_t feb30 = (44u << 25) | (2u << 21) | (30u << 16);
        QCOMPARE(exfat::timestamp_seconds({feb30, 0, 0x80}), int64_t{0});
    }

    // A boot sector may claim a volume far larger than the device holding it.
    // Clusters past the device's end are not there: a deleted file whose
    // clusters run off the end is incomplete and its copy fails (it once
    // wrote its whole claimed size as zeros), and reading a 256 MiB folder
    // that runs off the end takes memory only for what the device gave.
    void volume_larger_than_its_device()
    {
        constexpr uint32_t heap = 537, cluster = 4096, root = 5;
        QByteArray img(int(heap * 512 + (root - 1) * cluster), '\0');  // clusters 2..5
        auto* b = reinterpret_cast<uint8_t*>(img.data());
        std::memcpy(b, "\xEB\x76\x90" "EXFAT   ", 11);
        platform::store_le64(b + 72, uint64_t{1} << 30);  // 512 GiB on a 300 KiB file
        platform::store_le32(b + 80, 24);                 // FAT offset
        platform::store_le32(b + 84, 513);                // FAT sectors
        platform::store_le32(b + 88, heap);
        platform::store_le32(b + 92, 65600);              // clusters
        platform::store_le32(b + 96, root);
        platform::store_le16(b + 104, 0x0100);
        b[108] = 9;
        b[109] = 3;
        b[110] = 1;
        b[510] = 0x55;
        b[511] = 0xAA;
        const uint32_t sum = exfat::boot_checksum(b, 512);
        for (int at = 11 * 512; at < 12 * 512; at += 4)
            platform::store_le32(b + at, sum);
        uint8_t* root_dir = b + heap * 512 + (root - 2) * cluster;
        root_dir[0] = exfat::type_bitmap;
        platform::store_le32(root_dir + 20, 2);
        platform::store_le64(root_dir + 24, 65600 / 8);
        // A deleted 64 MiB file in consecutive clusters from the root's own,
        // nothing of it written (valid length 0).
        const QByteArray set = make_set(u"zeros.bin", 2);
        std::memcpy(root_dir + 32, set.constData(), size_t(set.size()));
        root_dir[32 + 32 + 1] = exfat::stream_no_fat_chain | exfat::stream_allocation_possible;
        platform::store_le32(root_dir + 32 + 32 + 20, root);
        platform::store_le64(root_dir + 32 + 32 + 24, uint64_t{64} << 20);
        reseal_set(&img, heap * 512 + (root - 2) * cluster + 32);
        const QString path = dir_ + "/claims_more.img";
        QVERIFY(write_file(path, img));

        exfat_recovery_c scanner;
        QVERIFY(scan(scanner, path));
        const auto files = shown(scanner);
        QVERIFY(files.count("/zeros.bin"));
        QVERIFY(exfat_recovery_c::row_of(*files.at("/zeros.bin")).flags & exfat_row_incomplete);
        QCOMPARE(scanner.recover_file(files.at("/zeros.bin")->id, dir_ + "/zeros.bin"), -1);
        QVERIFY(!QFile::exists(dir_ + "/zeros.bin"));

        exfat::volume_c volume;
        QCOMPARE(volume.open(platform::open_byte_source(path.toStdString(), nullptr)), exfat::open_result::ok);
        exfat::cluster_map_s folder;
        folder.extents.push_back({root - 1, 65536});
        std::vector<uint8_t> bytes;
        QVERIFY(!volume.read_all(folder, exfat::max_directory_bytes, &bytes));
        QCOMPARE(bytes.size(), size_t{2} * cluster);  // clusters 4 and 5, up to the device's end
        QVERIFY(bytes.capacity() < (size_t{16} << 20));
    }
};

QTEST_GUILESS_MAIN(tst_exfat_scan)
#include "tst_exfat_scan.moc"
