// What the FAT scanner lists on volumes made the way people's volumes are:
// deleted camera-style 8.3 names, files left live inside a folder whose own
// entry alone was deleted (made by patching the bytes an old system would
// write), and deleted folders too big for one cluster: followed into the
// clusters that continue them, and cut short, not damaged, where none does.
// The Sleuth Kit serves as the oracle where it is installed.
#include "engines/fat/fat_name.h"
#include "engines/fat/fat_trust.h"
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "scan/content_pass.h"
#include "scan/fat/fat_recovery.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <map>
#include <set>

namespace {

QString tool(const QString& name)
{
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin", "/bin", "/usr/local/bin"});
}

// Runs a tool; returns its exit code (-1 when it did not run) and its stdout.
int run(const QString& program, const QStringList& args, QByteArray* out = nullptr)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MTOOLS_SKIP_CHECK", "1");
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitCode();
}

QByteArray sha(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex(); }

QByteArray pattern(int size, int seed)
{
    QByteArray data(size, 0);
    uint32_t x = 2463534242u + uint32_t(seed);
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return data;
}

uint16_t le16_at(const QByteArray& b, qsizetype at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

// Deletes the root folder name11 the way an old system did: its own entry
// marked 0xE5 and its chain freed in every FAT, the entries inside left as
// they were. FAT12/16 only (fixed root). Returns false when it is not there.
bool delete_folder_entry_only(const QString& image, const char* name11)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray b = f.readAll();
    const int bytes_per_sector = le16_at(b, 11), reserved = le16_at(b, 14), fats = uint8_t(b[16]);
    const int root_entries = le16_at(b, 17), fat_sectors = le16_at(b, 22);
    const qsizetype root = qsizetype(reserved + fats * fat_sectors) * bytes_per_sector;
    for (int i = 0; i < root_entries; ++i) {
        const qsizetype e = root + 32 * i;
        if (b.mid(e, 11) != QByteArray(name11, 11))
            continue;
        const int cluster = le16_at(b, e + 26);
        b[e] = char(0xE5);
        for (int k = 0; k < fats; ++k) {
            const qsizetype entry = qsizetype(reserved + k * fat_sectors) * bytes_per_sector + 2 * cluster;
            b[entry] = b[entry + 1] = 0;
        }
        f.seek(0);
        return f.write(b) == b.size();
    }
    return false;
}

struct listed_s {
    const fat_node_s* node;
    QString path;
};

std::map<QString, listed_s> listed(const fat_recovery_c& scanner)
{
    std::map<QString, listed_s> files;
    scanner.visit_shown_files([&](const fat_node_s& n, const QString& folder) {
        const QString path = (folder == "/" ? "" : folder) + "/" + n.name;
        files[path] = {&n, path};
    });
    return files;
}

bool scan(const QString& image, fat_recovery_c* scanner)
{
    platform::platform_volume_s pv;
    if (platform::open_disk_image(image.toStdString()) != 0 || !platform::find_volume(image.toStdString(), &pv))
        return false;
    volume_item_s volume;
    volume.device_path = QString::fromStdString(pv.device_path);
    volume.root_path = QString::fromStdString(pv.root_path);
    volume.file_system = QString::fromStdString(pv.file_system);
    scanner->set_volume(volume);
    scanner->start();
    return scanner->wait(60000);
}

// The bytes a recovered copy of a listed file holds; empty when it failed.
QByteArray copy_of(fat_recovery_c& scanner, const fat_node_s& node, const QString& out)
{
    QFile::remove(out);
    if (scanner.recover_file(node.cluster, out) != 0)
        return {};
    QFile f(out);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

fat_node_s node_of(uint8_t attributes, int64_t create_time, uint8_t inherited = 0)
{
    fat_node_s n;
    n.attributes = attributes;
    n.create_time = create_time;
    n.inherited = inherited;
    return n;
}

}  // namespace

class tst_fat_fidelity : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;

private slots:
    void initTestCase()
    {
        platform::set_block_devices_enabled(false);
        platform::close_disk_images();
    }

    void deleted_short_names_keep_all_but_their_first_letter()
    {
        struct case_s {
            const char* raw11;
            const char16_t* shown;
        };
        // The reader gives "?" for the lone deletion mark; the scanner puts "#" there.
        const case_s cases[] = {
            {"\xE5SC_0001JPG", u"?SC_0001.JPG"},   // a camera's deleted photo
            {"\xE5" "EPORT  TXT", u"?EPORT.TXT"},
            {"\xE5\xB0" "ABC   TXT", u"\x704F" "ABC.TXT"},  // 0xE5 0xB0: one code page 936 character
            {"\x05" "ABC    TXT", u"\x930B" "BC.TXT"},  // 0x05 is a real 0xE5 lead byte, not the mark
            {"DSC_0001JPG", u"DSC_0001.JPG"},
        };
        for (const auto& c : cases) {
            char16_t out[13];
            fat_short_name_to_utf16(reinterpret_cast<const uint8_t*>(c.raw11), 0, out);
            QCOMPARE(QString::fromUtf16(out), QString::fromUtf16(c.shown));
        }
        char16_t lower[13];
        fat_short_name_to_utf16(reinterpret_cast<const uint8_t*>("\xE5" "EPORT  TXT"), 0x18, lower);
        QCOMPARE(QString::fromUtf16(lower), QStringLiteral("?eport.txt"));
    }

    void which_entry_keeps_a_shared_cluster()
    {
        constexpr uint8_t file = 0x20, dir = fat_attr_directory, del = fat_attr_deleted;
        struct case_s {
            const char* what;
            fat_node_s stored, found;
            bool wins;
        };
        const case_s cases[] = {
            {"later deleted file wins", node_of(file | del, 100), node_of(file | del, 200), true},
            {"earlier deleted file loses", node_of(file | del, 200), node_of(file | del, 100), false},
            {"same time keeps the first", node_of(file | del, 100), node_of(file | del, 100), false},
            {"live folder beats a deleted one", node_of(dir | del, 300), node_of(dir, 100), true},
            {"deleted folder never replaces a live one", node_of(dir, 100), node_of(dir | del, 300), false},
            {"later deleted folder beats a deleted file", node_of(file | del, 100), node_of(dir | del, 200), true},
            {"inside a deleted folder loses to direct", node_of(file | del, 100), node_of(file | del, 900, 1), false},
            {"direct beats inside a deleted folder", node_of(file | del, 100, 1), node_of(file | del, 200), true},
            {"live folder inside a deleted one loses to direct", node_of(file | del, 100), node_of(dir | del, 900, 1),
             false},
        };
        for (const auto& c : cases)
            QVERIFY2(fat_found_entry_wins(c.stored, c.found) == c.wins, c.what);
    }

    // One real volume (mkfs.fat and mtools) holding every case, scanned once.
    void real_volume_lists_every_recoverable_file()
    {
        const QString mkfs = tool("mkfs.fat"), mcopy = tool("mcopy"), mmd = tool("mmd"), mdel = tool("mdel"),
                      mdeltree = tool("mdeltree");
        if (mkfs.isEmpty() || mcopy.isEmpty() || mmd.isEmpty() || mdel.isEmpty() || mdeltree.isEmpty())
            QSKIP("mkfs.fat or mtools is not installed");
        const QString image = QDir(tmp_.path()).filePath("fidelity.img");
        QFile::remove(image);
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(16 << 20));
        }
        // One sector per cluster: a folder of 20 files needs two clusters.
        QCOMPARE(run(mkfs, {"-F", "16", "-s", "1", "-n", "FIDELITY", image}), 0);

        const QString src = QDir(tmp_.path()).filePath("src");
        QDir().mkpath(src);
        std::map<QString, QByteArray> content;  // shown path -> bytes
        const auto put = [&](const QString& name, int size, int seed) {
            const QByteArray data = pattern(size, seed);
            QFile f(QDir(src).filePath(name));
            if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
                return QString();
            return f.fileName();
        };
        QCOMPARE(run(mmd, {"-i", image, "::OLDDIR", "::OLDDIR/SUB", "::BIGDIR", "::SPAN", "::CHURN"}), 0);
        // SPAN grows to three clusters in a row while it holds only empty
        // files (no data is allocated between), which then make room for
        // real ones: 9 long names (3 entries each) and 16 short ones.
        QStringList span_empty = {"-i", image};
        for (int i = 1; i <= 43; ++i)
            span_empty << put(QString("E%1.TXT").arg(i), 0, 0);
        QCOMPARE(run(mcopy, span_empty << "::SPAN"), 0);
        QCOMPARE(run(mdel, {"-i", image, "::SPAN/*"}), 0);
        QStringList span = {"-i", image};
        for (int i = 1; i <= 25; ++i) {
            const QString name = i <= 9 ? QString("Span file %1.bin").arg(i) : QString("S%1.BIN").arg(i);
            span << put(name, 300 * i, 200 + i);
            content["/#PAN/#" + name.mid(1)] = pattern(300 * i, 200 + i);
        }
        QCOMPARE(run(mcopy, span << "::SPAN"), 0);
        QCOMPARE(run(mcopy, {"-i", image, put("DSC_0001.JPG", 30000, 1), put("report.txt", 2000, 2), "::"}), 0);
        content["/#SC_0001.JPG"] = pattern(30000, 1);
        content["/#eport.txt"] = pattern(2000, 2);
        QCOMPARE(run(mcopy, {"-i", image, put("Holiday photo.jpg", 5000, 3), put("NOTES.TXT", 700, 4), "::OLDDIR"}),
                 0);
        QCOMPARE(run(mcopy, {"-i", image, put("INNER.TXT", 900, 5), "::OLDDIR/SUB"}), 0);
        content["/#LDDIR/#oliday photo.jpg"] = pattern(5000, 3);
        content["/#LDDIR/#OTES.TXT"] = pattern(700, 4);
        content["/#LDDIR/#UB/#NNER.TXT"] = pattern(900, 5);
        // BIGDIR and CHURN outgrow their first cluster; mtools writes the
        // files' data first, so the later clusters lie past it. In CHURN
        // the last entry of the first cluster is then given to a new file
        // whose data lies elsewhere, so nothing ties the later ones to it.
        QStringList big = {"-i", image}, churn = {"-i", image};
        for (int i = 1; i <= 20; ++i) {
            const QString name = QString("B%1.DAT").arg(i, 2, 10, QChar('0'));
            big << put(name, 100 * i, 100 + i);
            content["/#IGDIR/#" + name.mid(1)] = pattern(100 * i, 100 + i);
            churn << put(QString("C%1.DAT").arg(i, 2, 10, QChar('0')), 90 * i, 300 + i);
        }
        QCOMPARE(run(mcopy, big << "::BIGDIR"), 0);
        QCOMPARE(run(mcopy, churn << "::CHURN"), 0);
        QCOMPARE(run(mdel, {"-i", image, "::CHURN/C14.DAT"}), 0);
        QCOMPARE(run(mcopy, {"-i", image, put("NEW.DAT", 5000, 400), "::CHURN"}), 0);
        QCOMPARE(run(mdel, {"-i", image, "::DSC_0001.JPG", "::report.txt"}), 0);
        QCOMPARE(run(mdeltree, {"-i", image, "::BIGDIR", "::SPAN", "::CHURN"}), 0);
        QVERIFY(delete_folder_entry_only(image, "OLDDIR     "));

        QVERIFY(platform::open_disk_image(image.toStdString()) == 0);
        platform::platform_volume_s pv;
        QVERIFY(platform::find_volume(image.toStdString(), &pv));
        volume_item_s volume;
        volume.device_path = QString::fromStdString(pv.device_path);
        volume.root_path = QString::fromStdString(pv.root_path);
        volume.file_system = QString::fromStdString(pv.file_system);
        volume.partition_number = pv.partition_number;
        volume.disk_number = pv.disk_number;
        fat_recovery_c scanner;
        scanner.set_volume(volume);
        scanner.start();
        QVERIFY(scanner.wait(60000));
        const auto files = listed(scanner);

        // Every case comes back under its shown name, byte for byte; the live
        // files of the deleted folder are read as one run, like deleted ones.
        std::set<QByteArray> ours;
        std::vector<QByteArray> recovered;
        for (const auto& [path, found] : files) {
            const QString out = QDir(tmp_.path()).filePath("out-" + QString::number(found.node->cluster));
            QCOMPARE(scanner.recover_file(found.node->cluster, out), 0);
            QFile f(out);
            QVERIFY(f.open(QIODevice::ReadOnly));
            recovered.push_back(f.readAll());
            ours.insert(sha(recovered.back()));
        }
        for (const auto& [path, data] : content) {
            QVERIFY2(files.count(path), qPrintable("not listed: " + path));
            QVERIFY2(ours.count(sha(data)), qPrintable("not byte-exact: " + path));
        }

        // A live file of a folder deleted by its own entry alone still has
        // its own chain: nothing about its copy is a guess.
        QCOMPARE(files.at("/#LDDIR/#oliday photo.jpg").node->trust, fat_row_chain_kept);

        // CHURN is read to the end of its first cluster (its chain is
        // freed): expected, and not counted as damage.
        const fat_scan_outcome_s& o = scanner.outcome();
        QCOMPARE(o.folders_cut_short, int64_t(0));
        QCOMPARE(o.folders_unopened, int64_t(0));
        QCOMPARE(o.deleted_folders_cut_short, int64_t(1));
        int in_churn = 0;
        for (const auto& [path, found] : files)
            in_churn += path.startsWith("/#HURN/") ? 1 : 0;
        // The walk reads its first cluster (16 entries, less "." and ".."); the
        // search of the data area that follows finds its later clusters, so
        // all of its 20 files are listed in it (C14's entry went to NEW.DAT).
        QVERIFY(o.lost_pass_run);
        QCOMPARE(in_churn, 20);
        QCOMPARE(files.size(), content.size() + 20);  // no row made of whatever follows a folder

        // quarvel-cli says so plainly, and says nothing of damage.
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (QFile::exists(cli)) {
            QProcess p;
            p.start(cli, {"scan", image});
            QVERIFY(p.waitForFinished(60000));
            QCOMPARE(p.exitCode(), 0);
            const QString err = QString::fromUtf8(p.readAllStandardError());
            QVERIFY2(!err.contains("damaged") && err.contains("1 deleted folder(s) were read only"), qPrintable(err));
        }

        // The Sleuth Kit: every deleted file it finds by walking the folders
        // (not its search for orphaned entries) we list too, same bytes. Of a
        // live file in a deleted folder it reads only the first cluster.
        const QString fls = tool("fls"), icat = tool("icat");
        if (fls.isEmpty() || icat.isEmpty()) {
            qInfo("The Sleuth Kit is not installed: oracle comparison skipped");
            return;
        }
        QByteArray listing;
        QCOMPARE(run(fls, {"-r", "-d", "-p", "-F", image}, &listing), 0);
        int theirs = 0;
        for (const QByteArray& line : listing.split('\n')) {
            const int tab = line.indexOf('\t');
            if (tab < 0 || line.mid(tab + 1).startsWith("$OrphanFiles"))
                continue;
            const QByteArray inode = line.mid(line.indexOf('*') + 1, tab - line.indexOf('*') - 2).trimmed();
            QByteArray data;
            QCOMPARE(run(icat, {image, QString::fromLatin1(inode)}, &data), 0);
            if (data.isEmpty())
                continue;
            QVERIFY2(std::any_of(recovered.begin(), recovered.end(),
                                 [&](const QByteArray& r) { return r.startsWith(data); }),
                     line.constData());
            ++theirs;
        }
        QVERIFY(theirs >= 18);
    }

    // A file written after a delete takes the lowest free clusters: those of
    // the deleted file before it, whose row must then say it is overwritten.
    void deleted_file_whose_clusters_were_reused()
    {
        const QString mkfs = tool("mkfs.fat"), mcopy = tool("mcopy"), mmd = tool("mmd"), mdel = tool("mdel");
        if (mkfs.isEmpty() || mcopy.isEmpty() || mmd.isEmpty() || mdel.isEmpty())
            QSKIP("mkfs.fat or mtools is not installed");
        const QString image = QDir(tmp_.path()).filePath("reused.img");
        QFile::remove(image);
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(4 << 20));
        }
        QCOMPARE(run(mkfs, {"-F", "16", "-s", "1", "-n", "REUSED", image}), 0);
        const QString src = QDir(tmp_.path()).filePath("reused-src");
        QDir().mkpath(src);
        const auto put = [&](const QString& name, int size, int seed) {
            QFile f(QDir(src).filePath(name));
            return f.open(QIODevice::WriteOnly) && f.write(pattern(size, seed)) == size ? f.fileName() : QString();
        };
        // LATER comes first so that its entry does not take ALPHA's slot.
        QCOMPARE(run(mmd, {"-i", image, "::LATER"}), 0);
        QCOMPARE(run(mcopy, {"-i", image, put("ALPHA.BIN", 3000, 1), put("KEEP.BIN", 1500, 2), put("SMALL.TXT", 300, 3),
                             put("TAIL.BIN", 700, 4), "::"}),
                 0);
        QCOMPARE(run(mdel, {"-i", image, "::ALPHA.BIN", "::KEEP.BIN", "::SMALL.TXT"}), 0);
        QCOMPARE(run(mcopy, {"-i", image, put("BRAVO.BIN", 1000, 5), "::LATER"}), 0);

        fat_recovery_c scanner;
        QVERIFY(scan(image, &scanner));
        const auto files = listed(scanner);
        for (const char* path : {"/#LPHA.BIN", "/#EEP.BIN", "/#MALL.TXT"})
            QVERIFY2(files.count(path), path);
        QCOMPARE(files.at("/#LPHA.BIN").node->trust, fat_row_overwritten);
        QCOMPARE(files.at("/#EEP.BIN").node->trust, fat_row_uncertain);
        QCOMPARE(files.at("/#MALL.TXT").node->trust, 0);
        // What the tags say, the copies bear out; the free ones come back whole.
        const auto copy = [&](const char* path) {
            return copy_of(scanner, *files.at(path).node, QDir(tmp_.path()).filePath(QString("reused-out-%1").arg(path + 2)));
        };
        QCOMPARE(copy("/#EEP.BIN"), pattern(1500, 2));
        QCOMPARE(copy("/#MALL.TXT"), pattern(300, 3));
        QVERIFY(copy("/#LPHA.BIN").startsWith(pattern(1000, 5).left(512)));
    }

    // A photo written into the gaps between live files, then deleted: the run
    // from its first cluster crosses live files, so its copy takes the
    // clusters free now from there on and comes back whole.
    void deleted_file_written_into_gaps()
    {
        const QString mkfs = tool("mkfs.fat"), mcopy = tool("mcopy"), mdel = tool("mdel");
        if (mkfs.isEmpty() || mcopy.isEmpty() || mdel.isEmpty())
            QSKIP("mkfs.fat or mtools is not installed");
        const QString image = QDir(tmp_.path()).filePath("gaps.img");
        QFile::remove(image);
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(4 << 20));
        }
        QCOMPARE(run(mkfs, {"-F", "16", "-s", "1", "-n", "GAPS", image}), 0);
        const QString src = QDir(tmp_.path()).filePath("gaps-src");
        QDir().mkpath(src);
        const auto put = [&](const QString& name, int size, int seed) {
            QFile f(QDir(src).filePath(name));
            return f.open(QIODevice::WriteOnly) && f.write(pattern(size, seed)) == size ? f.fileName() : QString();
        };
        QStringList args{"-i", image}, odd{"-i", image};
        for (int i = 0; i < 40; ++i) {
            const QString name = QString("F%1.BIN").arg(i, 2, 10, QChar('0'));
            args << put(name, 400, i);
            if (i % 2)
                odd << "::" + name;
        }
        QCOMPARE(run(mcopy, args << "::"), 0);
        QCOMPARE(run(mdel, odd), 0);
        QCOMPARE(run(mcopy, {"-i", image, put("PHOTO.JPG", 5000, 99), "::"}), 0);
        QCOMPARE(run(mdel, {"-i", image, "::PHOTO.JPG"}), 0);

        fat_recovery_c scanner;
        QVERIFY(scan(image, &scanner));
        const auto files = listed(scanner);
        QVERIFY(files.count("/#HOTO.JPG"));
        const fat_node_s& photo = *files.at("/#HOTO.JPG").node;
        // Random bytes named .JPG: the content check calls them damaged, and the copy is as before.
        QCOMPARE(photo.trust & fat_row_trust_bits, fat_row_uncertain | fat_row_gaps_skipped);
        QCOMPARE(copy_of(scanner, photo, QDir(tmp_.path()).filePath("gaps-photo")), pattern(5000, 99));
    }

    // A camera card partly emptied and shot on again: photos written into
    // the gaps between live files, then deleted, are put back together from
    // the free clusters (or, for a JPEG whose gap was freed since, from its
    // two pieces); a photo in one piece is verified; one whose middle a later
    // file took is damaged, with the share before it.
    void deleted_photos_checked_by_content()
    {
        const QString mkfs = tool("mkfs.fat"), mcopy = tool("mcopy"), mdel = tool("mdel"), convert = tool("convert");
        if (mkfs.isEmpty() || mcopy.isEmpty() || mdel.isEmpty() || convert.isEmpty())
            QSKIP("mkfs.fat, mtools or ImageMagick's convert is not installed");
        const QString image = QDir(tmp_.path()).filePath("shot.img");
        QFile::remove(image);
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(72 << 20));
        }
        QCOMPARE(run(mkfs, {"-F", "32", "-s", "2", "-n", "SHOT", image}), 0);
        const QString src = QDir(tmp_.path()).filePath("shot-src");
        QDir().mkpath(src);
        const auto put = [&](const QString& name, int size, int seed) {
            QFile f(QDir(src).filePath(name));
            return f.open(QIODevice::WriteOnly) && f.write(pattern(size, seed)) == size ? f.fileName() : QString();
        };
        const auto photo = [&](const QString& name, const QString& size, int seed) {
            const QString path = QDir(src).filePath(name);
            return run(convert, {"-seed", QString::number(seed), "-size", size, "plasma:", "-quality", "85", path}) == 0
                       ? path
                       : QString();
        };
        const QString whole = photo("WHOLE.JPG", "320x240", 1), hurt = photo("HURT.JPG", "640x480", 2);
        const QString gap_jpg = photo("GAPS.JPG", "240x180", 3), gap_png = photo("GAPS.PNG", "120x90", 4);
        const QString two = photo("TWO.JPG", "200x150", 5);
        QVERIFY(!whole.isEmpty() && !hurt.isEmpty() && !gap_jpg.isEmpty() && !gap_png.isEmpty() && !two.isEmpty());
        // mtools on FAT32 goes on after the last cluster it gave out; a camera
        // fills the first free ones, as it does once its hint is back at the start.
        const auto from_first_free = [&] {
            QFile f(image);
            if (!f.open(QIODevice::ReadWrite))
                return false;
            const QByteArray boot = f.read(512);
            return f.seek(qint64(le16_at(boot, 48)) * le16_at(boot, 11) + 492) &&
                   f.write(QByteArray("\x02\x00\x00\x00", 4)) == 4;
        };
        // Two photos in one piece. Three clusters freed before a small file and
        // a large one: TWO.JPG's first piece fills them, its second lies past
        // the large file; both files are deleted after it, so its gap reads free.
        QCOMPARE(run(mcopy, {"-i", image, whole, hurt, put("A.BIN", 3000, 200), put("B.BIN", 2000, 201),
                             put("C.BIN", 40000, 202), "::"}),
                 0);
        QCOMPARE(run(mdel, {"-i", image, "::A.BIN"}), 0);
        QVERIFY(from_first_free());
        QCOMPARE(run(mcopy, {"-i", image, two, "::"}), 0);
        // Small files, every other one deleted, and two photos into the gaps.
        QStringList small{"-i", image}, odd{"-i", image};
        for (int i = 0; i < 80; ++i) {
            const QString name = QString("F%1.BIN").arg(i, 2, 10, QChar('0'));
            small << put(name, 2500, i);
            if (i % 2)
                odd << "::" + name;
        }
        QCOMPARE(run(mcopy, small << "::"), 0);
        QCOMPARE(run(mdel, odd), 0);
        QVERIFY(from_first_free());
        QCOMPARE(run(mcopy, {"-i", image, gap_jpg, gap_png, "::"}), 0);
        QCOMPARE(run(mdel, {"-i", image, "::WHOLE.JPG", "::HURT.JPG", "::GAPS.JPG", "::GAPS.PNG", "::TWO.JPG", "::B.BIN",
                            "::C.BIN"}),
                 0);

        fat_recovery_c probe;
        QVERIFY(scan(image, &probe));
        auto files = listed(probe);
        QVERIFY(files.count("/#URT.JPG"));
        // A later file, itself deleted since, took clusters 40 to 49 of HURT.JPG.
        const fat_node_s& hurt_node = *files.at("/#URT.JPG").node;
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::ReadWrite));
            const QByteArray boot = f.read(512);
            const qint64 sector = le16_at(boot, 11), per_cluster = uint8_t(boot[13]);
            const qint64 fat_sectors = le16_at(boot, 36) | qint64(le16_at(boot, 38)) << 16;
            const qint64 data = le16_at(boot, 14) + uint8_t(boot[16]) * fat_sectors;
            const qint64 hurt_at = (data + (hurt_node.cluster - 2) * per_cluster) * sector;
            QVERIFY(f.seek(hurt_at + 40 * 1024));
            QVERIFY(f.write(pattern(10 * 1024, 300)) == 10 * 1024);
        }

        fat_recovery_c scanner;
        QVERIFY(scan(image, &scanner));
        files = listed(scanner);
        const auto file_of = [&](const QString& path) {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        };
        const struct {
            const char* listed;
            QString source;
            int32_t state;
        } expect[] = {{"/#HOLE.JPG", whole, row_content_verified},
                      {"/#APS.JPG", gap_jpg, row_content_rebuilt},
                      {"/#APS.PNG", gap_png, row_content_rebuilt},
                      {"/#WO.JPG", two, row_content_rebuilt}};
        for (const auto& e : expect) {
            QVERIFY2(files.count(e.listed), e.listed);
            const fat_node_s& n = *files.at(e.listed).node;
            QVERIFY2((n.trust & row_content_bits) == e.state, e.listed);
            QVERIFY2(copy_of(scanner, n, QDir(tmp_.path()).filePath(QString("shot-out-%1").arg(e.listed + 2))) ==
                         file_of(e.source),
                     e.listed);
        }
        const fat_node_s& damaged = *files.at("/#URT.JPG").node;
        QVERIFY(damaged.trust & row_content_damaged);
        const int expected = int(40 * 1024 * 100 / QFileInfo(hurt).size());
        QVERIFY2(std::abs(row_content_share(damaged.trust) - expected) <= 1,
                 qPrintable(QString("%1 % intact, expected %2 %").arg(row_content_share(damaged.trust)).arg(expected)));
        // quarvel-cli prints the share in words and as a field of its own,
        // and flags without it: a 32-bit reader takes them as they are.
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (QFile::exists(cli)) {
            QProcess p;
            p.start(cli, {"--json", "scan", image, "--name", "#URT.JPG"});
            QVERIFY(p.waitForFinished(60000));
            QCOMPARE(p.exitCode(), 0);
            const QJsonObject row = QJsonDocument::fromJson(p.readAllStandardOutput().trimmed()).object();
            QCOMPARE(row["intact"].toInt(), row_content_share(damaged.trust));
            QCOMPARE(qint64(row["flags"].toDouble()), qint64(fat_recovery_c::row_of(damaged).flags & ~row_content_share_mask));
            QCOMPARE(row["state"].toString(), QString("damaged, first %1 % intact").arg(row["intact"].toInt()));
        }
        // Without the check, the gap photo's copy is the guess it always was.
        fat_recovery_c unchecked;
        unchecked.set_content_check(false);
        QVERIFY(scan(image, &unchecked));
        QCOMPARE(listed(unchecked).at("/#WO.JPG").node->trust & row_content_bits, 0);
    }
};

QTEST_GUILESS_MAIN(tst_fat_fidelity)
#include "tst_fat_fidelity.moc"
