// What a recovery writes from a FAT volume made by mkfs.fat and mtools: the
// names the disk still holds (long names whole, live entries of a deleted
// folder under their own names, "#" only for a first byte truly lost), the
// folders a selection spans, and the files' and folders' times. The Sleuth
// Kit's listing is the oracle for the names where it is installed.
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "scan/fat/fat_recovery.h"
#include "scan/recover_rows.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tool(const QString& name)
{
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin", "/bin", "/usr/local/bin"});
}

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

QByteArray content_of(const QString& name) { return (name + QStringLiteral(" holds this\n")).toUtf8().repeated(40); }

// Every file below folder: relative path -> bytes.
std::map<QString, QByteArray> files_below(const QString& folder)
{
    std::map<QString, QByteArray> out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            out[QDir(folder).relativeFilePath(path)] = f.readAll();
    }
    return out;
}

int64_t mtime_of(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int64_t(st.st_mtime) : -1;
}

// Deletes the root folder name11 as an old system did: its own entry marked
// 0xE5, its chain freed, the entries inside left live. FAT16 only.
bool delete_folder_entry_only(const QString& image, const char* name11)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    QByteArray b = f.readAll();
    const auto le16 = [&](qsizetype at) { return int(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); };
    const int sector = le16(11), reserved = le16(14), fats = uint8_t(b[16]), fat_sectors = le16(22);
    const qsizetype root = qsizetype(reserved + fats * fat_sectors) * sector;
    for (int i = 0; i < le16(17); ++i) {
        const qsizetype e = root + 32 * i;
        if (b.mid(e, 11) != QByteArray(name11, 11))
            continue;
        const int cluster = le16(e + 26);
        b[e] = char(0xE5);
        for (int k = 0; k < fats; ++k) {
            const qsizetype entry = qsizetype(reserved + k * fat_sectors) * sector + 2 * cluster;
            b[entry] = b[entry + 1] = 0;
        }
        f.seek(0);
        return f.write(b) == b.size();
    }
    return false;
}

}  // namespace

class tst_fat_written : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    QString image_;
    // A time FAT can hold (even seconds), given to every file put on it.
    const int64_t stamp_ = 1500000000;

private slots:
    void initTestCase()
    {
        const QString mkfs = tool("mkfs.fat"), mcopy = tool("mcopy"), mmd = tool("mmd"), mdel = tool("mdel"),
                      mdeltree = tool("mdeltree");
        if (mkfs.isEmpty() || mcopy.isEmpty() || mmd.isEmpty() || mdel.isEmpty() || mdeltree.isEmpty())
            QSKIP("mkfs.fat or mtools is not installed");
        image_ = QDir(tmp_.path()).filePath("names.img");
        {
            QFile f(image_);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(16 << 20));
        }
        QCOMPARE(run(mkfs, {"-F", "16", "-n", "NAMES", image_}), 0);
        const QString src = QDir(tmp_.path()).filePath("src");
        QDir().mkpath(src);
        const auto put = [&](const QString& name) {
            const QString path = QDir(src).filePath(name);
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly) || f.write(content_of(name)) < 0)
                return QString();
            f.close();
            const struct timespec times[2] = {{stamp_, 0}, {stamp_, 0}};
            ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
            return path;
        };
        QCOMPARE(run(mmd, {"-i", image_, "::Music", "::OLDDIR", "::OLDDIR/Keep Sub"}), 0);
        QCOMPARE(run(mcopy, {"-m", "-i", image_, put("Report Final.txt"), put("MixedCase.Doc"),
                             put(QString::fromUtf8("привет мир.txt")), put("PLAIN.TXT"), "::"}),
                 0);
        QCOMPARE(run(mcopy, {"-m", "-i", image_, put("Song One.mp3"), put("Song Two.mp3"), "::Music"}), 0);
        QCOMPARE(run(mcopy, {"-m", "-i", image_, put("INNER.TXT"), put("Gone Away.txt"), "::OLDDIR"}), 0);
        QCOMPARE(run(mcopy, {"-m", "-i", image_, put("deep.bin"), "::OLDDIR/Keep Sub"}), 0);
        QCOMPARE(run(mdel, {"-i", image_, "::Report Final.txt", "::MixedCase.Doc",
                            QString::fromUtf8("::привет мир.txt"), "::PLAIN.TXT", "::OLDDIR/Gone Away.txt"}),
                 0);
        QCOMPARE(run(mdeltree, {"-i", image_, "::Music"}), 0);
        QVERIFY(delete_folder_entry_only(image_, "OLDDIR     "));
        QVERIFY(platform::open_disk_image(image_.toStdString()) == 0);
    }

    // Every file comes back under the name the disk holds, in its folder,
    // byte for byte and with its time; The Sleuth Kit reads the same names.
    void tree_names_and_times()
    {
        platform::platform_volume_s pv;
        QVERIFY(platform::find_volume(image_.toStdString(), &pv));
        volume_item_s volume;
        volume.device_path = QString::fromStdString(pv.device_path);
        volume.root_path = QString::fromStdString(pv.root_path);
        volume.file_system = QString::fromStdString(pv.file_system);
        fat_recovery_c scanner;
        scanner.set_volume(volume);
        scanner.start();
        QVERIFY(scanner.wait(60000));
        const std::vector<found_row_s> rows = scanner.found_rows();

        // The table keeps its mark; the written name is whole where it can be.
        std::map<QString, QString> shown;  // written name -> shown name
        for (const auto& r : rows)
            shown[scanner.written_name(r.item)] = r.item.name;
        QCOMPARE(shown["Report Final.txt"], QString("#eport Final.txt"));
        QCOMPARE(shown["INNER.TXT"], QString("#NNER.TXT"));
        QVERIFY(shown.count("#LAIN.TXT"));

        const QString dest = QDir(tmp_.path()).filePath("tree");
        QVERIFY(QDir().mkpath(dest));
        const recovery_tally_s tally = recover_found_rows(scanner, rows, dest, true);
        QCOMPARE(tally.failed, int64_t(0));
        const auto written = files_below(dest);
        // Written path -> the name its bytes were put on the volume under.
        const std::map<QString, QString> expected = {
            {"Report Final.txt", "Report Final.txt"},
            {"MixedCase.Doc", "MixedCase.Doc"},
            {QString::fromUtf8("привет мир.txt"), QString::fromUtf8("привет мир.txt")},
            {"#LAIN.TXT", "PLAIN.TXT"},
            {"Music/Song One.mp3", "Song One.mp3"},
            {"Music/Song Two.mp3", "Song Two.mp3"},
            {"#LDDIR/INNER.TXT", "INNER.TXT"},
            {"#LDDIR/Gone Away.txt", "Gone Away.txt"},
            {"#LDDIR/Keep Sub/deep.bin", "deep.bin"}};
        QCOMPARE(written.size(), expected.size());
        for (const auto& [path, source] : expected) {
            QVERIFY2(written.count(path), qPrintable("not written: " + path));
            QCOMPARE(written.at(path), content_of(source));
            QCOMPARE(mtime_of(QDir(dest).filePath(path)), stamp_);
        }
        // A folder made for the tree has its entry's time, not the copy's.
        int64_t music_time = 0;
        for (const auto& r : rows)
            if (r.folder == "/#usic")
                music_time = scanner.written_folders(r).front().time;
        QVERIFY(music_time > 0);
        QCOMPARE(mtime_of(QDir(dest).filePath("Music")), music_time);

        // The Sleuth Kit names every deleted file the same ("_" where we
        // write "#"), and lists none we do not write.
        const QString fls = tool("fls");
        if (fls.isEmpty()) {
            qInfo("The Sleuth Kit is not installed: name comparison skipped");
            return;
        }
        QByteArray listing;
        QCOMPARE(run(fls, {"-r", "-d", "-p", "-F", image_}, &listing), 0);
        QStringList theirs;
        for (const QByteArray& line : listing.split('\n')) {
            const int tab = line.indexOf('\t');
            if (tab < 0 || line.mid(tab + 1).startsWith("$OrphanFiles"))
                continue;
            theirs << QString::fromUtf8(line.mid(tab + 1));
        }
        QStringList ours;
        for (const auto& [path, source] : expected)
            ours << QString(path).replace("#", "_");
        int same = 0;
        for (const QString& name : theirs) {
            QVERIFY2(ours.contains(name), qPrintable("The Sleuth Kit names " + name));
            ++same;
        }
        qInfo("rows listed: %zu, The Sleuth Kit's: %lld, names equal: %d", rows.size(),
              static_cast<long long>(theirs.size()), same);
        // It does not enter a live folder inside a deleted one.
        QCOMPARE(theirs.size(), ours.size() - 1);
    }

    // An entry's time is its wall clock in the zone of the machine, summer
    // time included; an entry written without a date has no time (it once
    // read as 30 November 1979, and would have been given to the file).
    void entry_times()
    {
        QCOMPARE(fat_time_to_seconds(0, 0), int64_t(0));
        QCOMPARE(fat_time_to_seconds(uint16_t((37 << 9) | (13 << 5) | 1), 0), int64_t(0));  // month 13
        if (!QFile::exists("/usr/share/zoneinfo/Europe/Berlin"))
            QSKIP("no time zone data");
        const QByteArray zone = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        ::tzset();
        // 2017-07-14 14:00:00 on a card in Berlin is 12:00 UTC.
        const int64_t summer = fat_time_to_seconds(uint16_t((37 << 9) | (7 << 5) | 14), uint16_t(14 << 11));
        if (zone.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", zone);
        ::tzset();
        QCOMPARE(summer, int64_t(1500033600));
    }

    // A selection from one folder is written flat; --flat writes any flat;
    // a link planted in the destination is passed over, never followed.
    void flat_and_planted_link()
    {
        platform::platform_volume_s pv;
        QVERIFY(platform::find_volume(image_.toStdString(), &pv));
        volume_item_s volume;
        volume.device_path = QString::fromStdString(pv.device_path);
        volume.root_path = QString::fromStdString(pv.root_path);
        fat_recovery_c scanner;
        scanner.set_volume(volume);
        scanner.start();
        QVERIFY(scanner.wait(60000));
        const std::vector<found_row_s> rows = scanner.found_rows();
        std::vector<found_row_s> music;
        for (const auto& r : rows)
            if (r.folder == "/#usic")
                music.push_back(r);
        QCOMPARE(music.size(), size_t(2));

        const QString one = QDir(tmp_.path()).filePath("one");
        QVERIFY(QDir().mkpath(one));
        QCOMPARE(recover_found_rows(scanner, music, one, true).written, int64_t(2));
        QVERIFY(QFile::exists(one + "/Song One.mp3"));

        const QString flat = QDir(tmp_.path()).filePath("flat");
        QVERIFY(QDir().mkpath(flat));
        QCOMPARE(recover_found_rows(scanner, rows, flat, false).written, int64_t(rows.size()));
        QCOMPARE(QDir(flat).entryList(QDir::Files).size(), int(rows.size()));

        const QString planted = QDir(tmp_.path()).filePath("planted"), outside = QDir(tmp_.path()).filePath("outside");
        QVERIFY(QDir().mkpath(planted) && QDir().mkpath(outside));
        QVERIFY(QFile::link(outside, planted + "/Music"));
        QCOMPARE(recover_found_rows(scanner, rows, planted, true).failed, int64_t(0));
        QVERIFY(QDir(outside).isEmpty());
        QVERIFY(QFile::exists(planted + "/Music (2)/Song Two.mp3"));

        // quarvel-cli keeps the tree for --all and flattens with --flat.
        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli))
            return;
        for (const bool flat_option : {false, true}) {
            const QString to = QDir(tmp_.path()).filePath(flat_option ? "cli-flat" : "cli-tree");
            QStringList args = {"recover", image_, "--to", to, "--all"};
            if (flat_option)
                args << "--flat";
            QProcess p;
            p.start(cli, args);
            QVERIFY(p.waitForFinished(60000));
            QCOMPARE(p.exitCode(), 0);
            QCOMPARE(QFile::exists(to + "/#LDDIR/Keep Sub/deep.bin"), !flat_option);
            QCOMPARE(QFile::exists(to + "/deep.bin"), flat_option);
        }
    }
};

QTEST_GUILESS_MAIN(tst_fat_written)
#include "tst_fat_written.moc"
