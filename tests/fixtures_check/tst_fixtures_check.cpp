// Builds every fixture and reads each image back with tools that had no part in
// making it (sfdisk, blkid, mtools, ntfs-3g's ntfscat/ntfsls, The Sleuth Kit),
// so a manifest that lies about its image is caught here rather than as a
// puzzling failure in someone else's test. Also checks the builder's contract:
// caching, parallel builds, determinism, skip and failure codes.
#include "support/fixtures.h"

#include <QDir>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <map>

using namespace test_support;

namespace {

const char* const all_kinds[] = {"fat12", "fat16", "fat32", "ntfs", "demo", "gpt", "mbr_logical",
                                 "unpartitioned_fat32", "empty", "carve", "lost_partitions",
                                 "fat_corrupt", "ntfs_corrupt"};

// Returns the full path of a tool, looking in sbin too, or empty.
QString tool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin"});
    return found;
}

struct run_result_s {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program to completion; stdout goes to OUT_FILE when given.
run_result_s run(const QString& program, const QStringList& args, const QString& out_file = {},
                 const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!out_file.isEmpty())
        p.setStandardOutputFile(out_file);
    p.start(program, args);
    run_result_s r;
    if (!p.waitForStarted() || !p.waitForFinished(15 * 60 * 1000))
        return r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QProcessEnvironment mtools_env() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("MTOOLS_SKIP_CHECK", "1");
    env.insert("LC_ALL", "C.UTF-8");
    return env;
}

QString builder() {
    QString b = qEnvironmentVariable("QUARVEL_FIXTURE_BUILDER");
    if (b.isEmpty())
        b = qEnvironmentVariable("QUARVEL_SOURCE_DIR") + "/tests/fixtures/make_fixture.sh";
    return b;
}

// blkid's export format: KEY=value with spaces escaped by a backslash.
std::map<QString, QString> blkid_probe(const QString& image, qint64 offset, qint64 size) {
    std::map<QString, QString> values;
    QStringList args{"-p", "-o", "export", "-O", QString::number(offset)};
    if (size > 0)
        args << "-S" << QString::number(size);
    const run_result_s r = run(tool("blkid"), args << image);
    for (const QByteArray& line : r.out.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        QString value;
        const QString raw = QString::fromUtf8(line.mid(eq + 1));
        for (int i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\\' && i + 1 < raw.size())
                ++i;
            value += raw[i];
        }
        values[QString::fromUtf8(line.left(eq))] = value;
    }
    return values;
}

// Copies a byte range of the image into its own file, for the NTFS tools,
// which cannot start at an offset. Returns false when the range is short.
bool extract(const QString& image, qint64 offset, qint64 size, const QString& to) {
    QFile in(image), out(to);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly) || !in.seek(offset))
        return false;
    qint64 left = size;
    while (left > 0) {
        const QByteArray chunk = in.read(std::min<qint64>(left, 1 << 20));
        if (chunk.isEmpty() || out.write(chunk) != chunk.size())
            return false;
        left -= chunk.size();
    }
    return true;
}

QString sha_of_range(const QString& image, qint64 offset, qint64 size) {
    QFile in(image);
    if (!in.open(QIODevice::ReadOnly) || !in.seek(offset))
        return {};
    const QByteArray bytes = in.read(size);
    if (bytes.size() != size)
        return {};
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

struct volume_s {
    int partition = 0;
    QString fs, label, serial;
    qint64 start = 0, size = 0;
};

std::vector<volume_s> volumes(const fixture_s& f) {
    std::vector<volume_s> out;
    for (const manifest_entry_s& e : entries_of(f, "volume")) {
        volume_s v;
        v.partition = int(field_number(e, 0));
        v.fs = QString::fromStdString(field(e, 1));
        v.label = QString::fromStdString(field(e, 2));
        v.start = field_number(e, 3);
        v.size = field_number(e, 4);
        v.serial = QString::fromStdString(field(e, 5));
        out.push_back(v);
    }
    return out;
}

// A deleted FAT entry loses the first character of its short name; names with
// only a short name come back with a stand-in there (the Sleuth Kit uses '_').
bool fat_deleted_path_matches(const QString& seen, const QString& expected) {
    const QStringList a = seen.split('/', Qt::SkipEmptyParts);
    const QStringList b = expected.split('/', Qt::SkipEmptyParts);
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i] == b[i])
            continue;
        if (a[i].size() != b[i].size() || a[i].mid(1).compare(b[i].mid(1), Qt::CaseInsensitive) != 0)
            return false;
    }
    return true;
}

}  // namespace

class fixtures_check_c : public QObject {
    Q_OBJECT

    static void kinds_data();

private slots:
    void disk_and_partition_table_data() { kinds_data(); }
    void disk_and_partition_table();
    void volumes_probe_as_recorded_data() { kinds_data(); }
    void volumes_probe_as_recorded();
    void live_entries_read_back_data() { kinds_data(); }
    void live_entries_read_back();
    void deleted_entries_are_gone_data() { kinds_data(); }
    void deleted_entries_are_gone();
    void deleted_content_still_on_disk_data() { kinds_data(); }
    void deleted_content_still_on_disk();
    void planted_and_lost_data() { kinds_data(); }
    void planted_and_lost();
    void fat_damage_seen_by_fsck();
    void contiguous_data_at_recorded_offset_data() { kinds_data(); }
    void contiguous_data_at_recorded_offset();

    void cached_build_does_nothing();
    void parallel_builds_share_one_image();
    void fat_images_are_byte_identical();
    void missing_tool_skips();
    void unknown_kind_fails();
    void support_maps_exit_codes_and_parses();
};

void fixtures_check_c::kinds_data() {
    QTest::addColumn<QString>("kind");
    for (const char* k : all_kinds)
        QTest::newRow(k) << QString(k);
}

void fixtures_check_c::disk_and_partition_table() {
    QFETCH(QString, kind);
    QUARVEL_FIXTURE(f, kind.toStdString());
    const auto disks = entries_of(f, "disk");
    QCOMPARE(disks.size(), size_t(1));
    QCOMPARE(QFileInfo(QString::fromStdString(f.image)).size(), field_number(disks[0], 0));
    const QString table = QString::fromStdString(field(disks[0], 1));

    if (tool("sfdisk").isEmpty())
        QSKIP("skip: sfdisk is not installed");
    const run_result_s r = run(tool("sfdisk"), {"-J", QString::fromStdString(f.image)});
    const QJsonObject pt = QJsonDocument::fromJson(r.out).object().value("partitiontable").toObject();
    const QJsonArray parts = pt.value("partitions").toArray();
    if (table == "none") {
        // A FAT boot sector can pass for an empty dos table; it must hold nothing.
        QVERIFY2(r.code != 0 || parts.isEmpty(), r.out.constData());
        QVERIFY(entries_of(f, "partition").empty());
        return;
    }
    QCOMPARE(r.code, 0);
    QCOMPARE(pt.value("label").toString(), table);
    QCOMPARE(pt.value("id").toString().toLower(), QString::fromStdString(field(disks[0], 2)).toLower());

    const auto recorded = entries_of(f, "partition");
    QCOMPARE(size_t(parts.size()), recorded.size());
    for (const manifest_entry_s& e : recorded) {
        const QString number = QString::fromStdString(field(e, 0));
        bool seen = false;
        for (const QJsonValue& v : parts) {
            const QJsonObject p = v.toObject();
            if (!p.value("node").toString().endsWith(".img" + number))
                continue;
            seen = true;
            QCOMPARE(qint64(p.value("start").toInteger()) * 512, field_number(e, 1));
            QCOMPARE(qint64(p.value("size").toInteger()) * 512, field_number(e, 2));
            const QString type = QString::fromStdString(field(e, 3)).toLower();
            const QString got = p.value("type").toString().toLower();
            if (table == "dos")
                QCOMPARE(got.toUInt(nullptr, 16), type.toUInt(nullptr, 16));
            else
                QCOMPARE(got, type);
        }
        QVERIFY2(seen, qPrintable("partition " + number + " missing from the table"));
    }
}

void fixtures_check_c::volumes_probe_as_recorded() {
    QFETCH(QString, kind);
    QUARVEL_FIXTURE(f, kind.toStdString());
    if (tool("blkid").isEmpty())
        QSKIP("skip: blkid is not installed");
    const QString image = QString::fromStdString(f.image);
    for (const volume_s& v : volumes(f)) {
        auto probe = blkid_probe(image, v.start, v.size);
        QCOMPARE(probe["LABEL"], v.label);
        if (v.fs == "NTFS") {
            QCOMPARE(probe["TYPE"], QString("ntfs"));
            QCOMPARE(probe["UUID"].toLower(), v.serial.toLower());
        } else {
            QCOMPARE(probe["TYPE"], QString("vfat"));
            QCOMPARE(probe["VERSION"], v.fs);
            QCOMPARE(probe["UUID"].remove('-').toLower(), v.serial.toLower());
        }
    }
}

void fixtures_check_c::live_entries_read_back() {
    QFETCH(QString, kind);
    QUARVEL_FIXTURE(f, kind.toStdString());
    const QString image = QString::fromStdString(f.image);
    const QString tmp = QString::fromStdString(make_temp_dir("live"));
    int checked = 0;
    for (const volume_s& v : volumes(f)) {
        const auto files = entries_on(f, "file", v.partition);
        const auto dirs = entries_on(f, "dir", v.partition);
        if (v.fs == "NTFS") {
            if (tool("ntfscat").isEmpty() || tool("ntfsls").isEmpty())
                QSKIP("skip: ntfscat/ntfsls (ntfs-3g) are not installed");
            const QString part = tmp + "/part.img";
            QVERIFY(extract(image, v.start, v.size, part));
            for (const manifest_entry_s& e : files) {
                const QString path = QString::fromStdString(field(e, 1));
                const QString out = tmp + "/out";
                QCOMPARE(run(tool("ntfscat"), {part, path}, out).code, 0);
                QCOMPARE(QFileInfo(out).size(), field_number(e, 2));
                QCOMPARE(sha256_of_file(out.toStdString()), field(e, 3));
                ++checked;
            }
            for (const manifest_entry_s& e : dirs)
                QCOMPARE(run(tool("ntfsls"), {"-p", QString::fromStdString(field(e, 1)), part}).code, 0);
        } else {
            if (tool("mcopy").isEmpty() || tool("mdir").isEmpty())
                QSKIP("skip: mtools is not installed");
            const QString drive = image + "@@" + QString::number(v.start);
            for (const manifest_entry_s& e : files) {
                const QString out = tmp + "/out";
                QFile::remove(out);
                const auto r = run(tool("mcopy"), {"-n", "-i", drive, "::" + QString::fromStdString(field(e, 1)), out},
                                   {}, mtools_env());
                QVERIFY2(r.code == 0, r.err.constData());
                QCOMPARE(QFileInfo(out).size(), field_number(e, 2));
                QCOMPARE(sha256_of_file(out.toStdString()), field(e, 3));
                ++checked;
            }
            for (const manifest_entry_s& e : dirs)
                QCOMPARE(run(tool("mdir"), {"-i", drive, "::" + QString::fromStdString(field(e, 1))}, {},
                             mtools_env()).code, 0);
        }
    }
    QCOMPARE(size_t(checked), entries_of(f, "file").size());
}

void fixtures_check_c::deleted_entries_are_gone() {
    QFETCH(QString, kind);
    QUARVEL_FIXTURE(f, kind.toStdString());
    const QString image = QString::fromStdString(f.image);
    const QString tmp = QString::fromStdString(make_temp_dir("gone"));
    for (const volume_s& v : volumes(f)) {
        std::vector<manifest_entry_s> gone = entries_on(f, "deleted", v.partition);
        for (const auto& e : entries_on(f, "deleted_dir", v.partition))
            gone.push_back(e);
        for (const auto& e : entries_on(f, "overwritten", v.partition))
            gone.push_back(e);
        if (v.fs == "NTFS") {
            if (tool("ntfsls").isEmpty())
                QSKIP("skip: ntfsls (ntfs-3g) is not installed");
            const QString part = tmp + "/part.img";
            QVERIFY(extract(image, v.start, v.size, part));
            for (const manifest_entry_s& e : gone)
                QVERIFY2(run(tool("ntfsls"), {"-p", QString::fromStdString(field(e, 1)), part}).code != 0,
                         field(e, 1).c_str());
        } else {
            if (tool("mdir").isEmpty())
                QSKIP("skip: mtools is not installed");
            const QString drive = image + "@@" + QString::number(v.start);
            for (const manifest_entry_s& e : gone)
                QVERIFY2(run(tool("mdir"), {"-i", drive, "::" + QString::fromStdString(field(e, 1))}, {},
                             mtools_env()).code != 0,
                         field(e, 1).c_str());
        }
    }
}

// The Sleuth Kit finds the deleted entries by itself and reads them back the
// way an undelete tool would: from the NTFS run list, or for FAT from the
// start cluster on, stepping over allocated clusters. The fragmented FAT
// file's pieces are separated only by allocated clusters, so it comes back
// whole that way too.
void fixtures_check_c::deleted_content_still_on_disk() {
    QFETCH(QString, kind);
    QUARVEL_FIXTURE(f, kind.toStdString());
    if (entries_of(f, "deleted").empty())
        return;
    if (tool("fls").isEmpty() || tool("icat").isEmpty())
        QSKIP("skip: fls/icat (sleuthkit) are not installed");
    const QString image = QString::fromStdString(f.image);
    const QString tmp = QString::fromStdString(make_temp_dir("deleted"));
    for (const volume_s& v : volumes(f)) {
        const QString sector = QString::number(v.start / 512);
        const run_result_s listing = run(tool("fls"), {"-r", "-d", "-p", "-o", sector, image});
        QCOMPARE(listing.code, 0);
        // "r/r * 150:\tOld Projects/Sub Folder/data file.bin"
        std::vector<std::pair<QString, QString>> found;  // path, inode
        for (const QByteArray& line : listing.out.split('\n')) {
            const int colon = line.indexOf(":\t");
            const int star = line.indexOf("* ");
            if (colon < 0 || star < 0 || (!line.startsWith("r/r") && !line.startsWith("-/r")))
                continue;
            found.emplace_back("/" + QString::fromUtf8(line.mid(colon + 2)),
                               QString::fromUtf8(line.mid(star + 2, colon - star - 2)));
        }
        for (const manifest_entry_s& e : entries_on(f, "deleted", v.partition)) {
            const QString path = QString::fromStdString(field(e, 1));
            QString inode;
            for (const auto& [seen, ino] : found)
                if (seen == path || (v.fs != "NTFS" && fat_deleted_path_matches(seen, path)))
                    inode = ino;
            QVERIFY2(!inode.isEmpty(), qPrintable("fls does not list deleted " + path));
            const QString out = tmp + "/out";
            QCOMPARE(run(tool("icat"), {"-o", sector, image, inode}, out).code, 0);
            const std::string sha = sha256_of_file(out.toStdString());
            QCOMPARE(QFileInfo(out).size(), field_number(e, 2));
            QVERIFY2(sha == field(e, 3), qPrintable(path + " does not read back intact"));
        }
    }
}

void fixtures_check_c::planted_and_lost() {
    QFETCH(QString, kind);
    QUARVEL_FIXTURE(f, kind.toStdString());
    const QString image = QString::fromStdString(f.image);
    for (const manifest_entry_s& e : entries_of(f, "planted"))
        QCOMPARE(sha_of_range(image, field_number(e, 0), field_number(e, 1)).toStdString(), field(e, 3));
    const auto lost = entries_of(f, "lost_partition");
    if (lost.empty())
        return;
    // Sector 0 holds nothing: no table, no signature.
    QCOMPARE(sha_of_range(image, 0, 512),
             QString(QCryptographicHash::hash(QByteArray(512, 0), QCryptographicHash::Sha256).toHex()));
    if (tool("blkid").isEmpty())
        QSKIP("skip: blkid is not installed");
    for (const manifest_entry_s& e : lost) {
        auto probe = blkid_probe(image, field_number(e, 1), field_number(e, 2));
        QCOMPARE(probe["TYPE"], field(e, 3) == "0x07" ? QString("ntfs") : QString("vfat"));
    }
}

// Live and deleted files in one run of clusters lie whole at the offset the
// manifest gives; fragmented ones at least begin there.
void fixtures_check_c::contiguous_data_at_recorded_offset() {
    QFETCH(QString, kind);
    QUARVEL_FIXTURE(f, kind.toStdString());
    const QString image = QString::fromStdString(f.image);
    for (const char* record : {"file", "deleted"}) {
        for (const manifest_entry_s& e : entries_of(f, record)) {
            const std::string layout = field(e, 4);
            const long long offset = field_number(e, 5);
            const long long size = field_number(e, 2);
            if (layout == "empty" || layout == "resident") {
                QVERIFY2(field(e, 5).empty(), field(e, 1).c_str());
                continue;
            }
            QVERIFY2(offset > 0, field(e, 1).c_str());
            if (layout == "contiguous") {
                QVERIFY2(sha_of_range(image, offset, size).toStdString() == field(e, 3), field(e, 1).c_str());
            } else {
                QCOMPARE(layout, std::string("fragmented"));
                QVERIFY(offset + size <= QFileInfo(image).size());
            }
        }
    }
}

// fsck.fat (read-only) must find each live damaged FAT entry on its own.
void fixtures_check_c::fat_damage_seen_by_fsck() {
    QUARVEL_FIXTURE(f, "fat_corrupt");
    if (tool("fsck.fat").isEmpty())
        QSKIP("skip: fsck.fat (dosfstools) is not installed");
    const volume_s v = volumes(f).at(0);
    const QString part = QString::fromStdString(make_temp_dir("fsck")) + "/part.img";
    QVERIFY(extract(QString::fromStdString(f.image), v.start, v.size, part));
    const run_result_s r = run(tool("fsck.fat"), {"-n", part});
    const QString report = QString::fromUtf8(r.out + r.err);
    QVERIFY2(r.code != 0, qPrintable(report));
    int live = 0;
    for (const manifest_entry_s& e : entries_of(f, "corrupt")) {
        const std::string damage = field(e, 2);
        if (damage == "chain_loop" || damage == "chain_out_of_range" || damage == "dir_cycle") {
            QVERIFY2(report.contains(QString::fromStdString(field(e, 1))), qPrintable(report));
            ++live;
        }
    }
    QCOMPARE(live, 3);
    QVERIFY(report.contains("Circular cluster chain"));
    QVERIFY(report.contains("out of range"));
    QVERIFY(report.contains("point to containing directory"));
}

void fixtures_check_c::cached_build_does_nothing() {
    QUARVEL_FIXTURE(f, "fat12");
    const QDateTime before = QFileInfo(QString::fromStdString(f.image)).lastModified();
    const QString dir = QFileInfo(QString::fromStdString(f.image)).absolutePath();
    QCOMPARE(run("bash", {builder(), "fat12", dir}).code, 0);
    QCOMPARE(QFileInfo(QString::fromStdString(f.image)).lastModified(), before);
}

void fixtures_check_c::parallel_builds_share_one_image() {
    const QString dir = QString::fromStdString(make_temp_dir("parallel"));
    QProcess a, b;
    a.start("bash", {builder(), "fat12", dir});
    b.start("bash", {builder(), "fat12", dir});
    QVERIFY(a.waitForFinished(600000) && b.waitForFinished(600000));
    if (a.exitCode() == 77)
        QSKIP(a.readAllStandardError().trimmed().constData());
    QCOMPARE(a.exitCode(), 0);
    QCOMPARE(b.exitCode(), 0);
    QVERIFY(QFile::exists(dir + "/fat12.img"));
    QVERIFY(QFile::exists(dir + "/fat12.stamp"));
    // No work folder is left behind.
    QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 4);
}

void fixtures_check_c::fat_images_are_byte_identical() {
    QUARVEL_FIXTURE(f, "fat16");
    const QString dir = QString::fromStdString(make_temp_dir("again"));
    const run_result_s r = run("bash", {builder(), "fat16", dir});
    QCOMPARE(r.code, 0);
    QCOMPARE(sha256_of_file((dir + "/fat16.img").toStdString()), sha256_of_file(f.image));
    QCOMPARE(sha256_of_file((dir + "/fat16.manifest").toStdString()), sha256_of_file(f.manifest));
}

// A PATH that lacks ntfs-3g (sbin is added by the builder itself, so mkntfs
// stays findable) must give exit 77 and a "skip:" reason, not a failure.
void fixtures_check_c::missing_tool_skips() {
    const QString bin = QString::fromStdString(make_temp_dir("path"));
    for (const QFileInfo& fi : QDir("/usr/bin").entryInfoList(QDir::Files | QDir::System))
        if (fi.fileName() != "ntfs-3g")
            QFile::link(fi.absoluteFilePath(), bin + "/" + fi.fileName());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", bin);
    const QString out = QString::fromStdString(make_temp_dir("skipped"));
    const run_result_s r = run("/bin/bash", {builder(), "ntfs", out}, {}, env);
    QCOMPARE(r.code, 77);
    QVERIFY2(r.err.startsWith("skip: ") && r.err.contains("ntfs-3g"), r.err.constData());
    QVERIFY(!QFile::exists(out + "/ntfs.img"));
}

void fixtures_check_c::unknown_kind_fails() {
    const QString out = QString::fromStdString(make_temp_dir("unknown"));
    const run_result_s r = run("bash", {builder(), "no_such_kind", out});
    QCOMPARE(r.code, 1);
    fixture_s f;
    std::string reason;
    QVERIFY(!fixture("no_such_kind", &f, &reason));
    QVERIFY2(reason.rfind("skip:", 0) != 0 && reason.find("no_such_kind") != std::string::npos, reason.c_str());
}

// fixture() against stand-in builders: 77 becomes a "skip:" reason carrying
// the builder's words, any other failure a reason that is not a skip, and a
// manifest's comments, blank lines, CRLF endings and empty fields are read
// as written.
void fixtures_check_c::support_maps_exit_codes_and_parses() {
    const QString dir = QString::fromStdString(make_temp_dir("stub"));
    const QString stub = dir + "/stub.sh";
    QFile script(stub);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("case $1 in\n"
                 "  stub_skip) echo 'skip: no frobnicator here' >&2; exit 77 ;;\n"
                 "  stub_fail) echo 'mkfs exploded' >&2; exit 3 ;;\n"
                 "  stub_ok) mkdir -p \"$2\"; : > \"$2/$1.img\";\n"
                 "    printf '# made by hand\\r\\n\\ndisk\\t0\\tnone\\t\\r\\nvolume\\t0\\tFAT12\\t\\t0\\t0\\n' > \"$2/$1.manifest\" ;;\n"
                 "esac\n");
    script.close();
    const QByteArray old_builder = qgetenv("QUARVEL_FIXTURE_BUILDER");
    const QByteArray old_dir = qgetenv("QUARVEL_FIXTURE_DIR");
    qputenv("QUARVEL_FIXTURE_BUILDER", stub.toUtf8());
    qputenv("QUARVEL_FIXTURE_DIR", (dir + "/out").toUtf8());

    fixture_s f;
    std::string skip_reason, fail_reason, ok_reason;
    const bool skipped = fixture("stub_skip", &f, &skip_reason);
    const bool failed = fixture("stub_fail", &f, &fail_reason);
    const bool built = fixture("stub_ok", &f, &ok_reason);

    const auto restore = [](const char* name, const QByteArray& value) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    };
    restore("QUARVEL_FIXTURE_BUILDER", old_builder);
    restore("QUARVEL_FIXTURE_DIR", old_dir);

    QVERIFY(!skipped);
    QCOMPARE(skip_reason, std::string("skip: no frobnicator here"));
    QVERIFY(!failed);
    QVERIFY2(fail_reason.rfind("skip:", 0) != 0 && fail_reason.find("mkfs exploded") != std::string::npos &&
                 fail_reason.find("exit 3") != std::string::npos,
             fail_reason.c_str());
    QVERIFY2(built, ok_reason.c_str());
    QCOMPARE(f.entries.size(), size_t(2));
    QCOMPARE(f.entries[0].kind, std::string("disk"));
    QCOMPARE(f.entries[0].fields, (std::vector<std::string>{"0", "none", ""}));
    QCOMPARE(field(f.entries[1], 2), std::string());
    QCOMPARE(field_number(f.entries[1], 3), 0LL);
    QCOMPARE(field(f.entries[1], 9), std::string());
    QCOMPARE(field_number(f.entries[1], 1), -1LL);
    QCOMPARE(image_volume_path(f, 0), f.image + ":p0");
    QVERIFY(QFileInfo(QString::fromStdString(f.image)).isAbsolute());
}

QTEST_GUILESS_MAIN(fixtures_check_c)
#include "tst_fixtures_check.moc"
