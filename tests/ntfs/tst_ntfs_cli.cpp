// quarvel-cli scan and recover on NTFS volumes of every fixture layout
// (MBR primary, GPT, MBR logical), checked against the manifests, and its
// answer when the volume's $MFT cannot be read.
#include "ntfs_test_util.h"
#include "support/fixtures.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <cstring>
#include <map>
#include <set>

namespace {

struct run_s {
    int exit_code = -1;
    QByteArray out;
    QString err;
};

run_s run_cli(const QStringList& args, const QString& state_dir = {}) {
    run_s r;
    QProcess p;
    if (!state_dir.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state_dir);
        p.setProcessEnvironment(env);
    }
    p.start(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli", args);
    if (!p.waitForFinished(300000))
        return r;
    r.exit_code = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

}  // namespace

class tst_ntfs_cli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void scan_and_recover_data();
    void scan_and_recover();
    void unreadable_mft();
    void deep_scan_names_from_records();
};

void tst_ntfs_cli::initTestCase() {
    if (!QFile::exists(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli"))
        QSKIP("quarvel-cli is not built");
}

void tst_ntfs_cli::scan_and_recover_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("partition");
    QTest::newRow("mbr primary") << "ntfs" << 1;
    QTest::newRow("second of two") << "demo" << 2;
    QTest::newRow("gpt") << "gpt" << 2;
    QTest::newRow("mbr logical") << "mbr_logical" << 6;
}

void tst_ntfs_cli::scan_and_recover() {
    QFETCH(QString, kind);
    QFETCH(int, partition);
    QUARVEL_FIXTURE(f, kind.toStdString());
    const QString volume = QString::fromStdString(f.image) + ":p" + QString::number(partition);
    std::map<QString, std::pair<int64_t, std::string>> deleted;  // path -> size, sha256
    std::set<QString> resident;
    for (const auto& e : test_support::entries_of(f, "deleted"))
        if (std::stoi(e.fields[0]) == partition) {
            deleted[QString::fromStdString(e.fields[1])] = {std::stoll(e.fields[2]), e.fields[3]};
            if (e.fields.size() > 4 && e.fields[4] == "resident")
                resident.insert(QString::fromStdString(e.fields[1]));
        }
    QVERIFY(!deleted.empty());

    const run_s scan = run_cli({"--json", "scan", volume});
    QVERIFY2(scan.exit_code == 0, qPrintable(scan.err));
    std::map<QString, QJsonObject> rows;
    for (const QByteArray& line : scan.out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        const QString folder = row["folder"].toString();
        rows[(folder == "/" ? QString() : folder) + '/' + row["name"].toString()] = row;
    }
    // Every deleted file of the manifest, and nothing live.
    QCOMPARE(rows.size(), deleted.size());
    for (const auto& [path, expected] : deleted) {
        QVERIFY2(rows.count(path), qPrintable(path));
        QCOMPARE(int64_t(rows[path]["size"].toDouble()), expected.first);
        // The flags word prints as the unsigned word: deleted file with the
        // engine bit, whatever its content check found. Only data kept in
        // the record is exact; the rest is verified or damaged by its
        // content, or only not contradicted.
        const bool in_record = resident.count(path);
        QCOMPARE(uint64_t(rows[path]["flags"].toDouble()) & ~uint64_t(0x1C00000u),
                 uint64_t(0x80000082u | (in_record ? 0x10000u : 0u)));
        const QString state = rows[path]["state"].toString();
        QVERIFY2(in_record ? state == "exact" : (!state.isEmpty() && state != "exact"),
                 qPrintable(path + ": " + state));
    }

    const QString out = QString::fromStdString(test_support::make_temp_dir("ntfs-cli-" + kind.toStdString()));
    const run_s recover = run_cli({"recover", volume, "--all", "--flat", "--to", out});
    QVERIFY2(recover.exit_code == 0, qPrintable(recover.err));
    for (const auto& [path, expected] : deleted) {
        const QString written = out + '/' + path.section('/', -1);
        QVERIFY2(QFile::exists(written), qPrintable(written));
        QCOMPARE(test_support::sha256_of_file(written.toStdString()), expected.second);
    }
    QCOMPARE(int(QDir(out).entryList(QDir::Files).size()), int(deleted.size()));
}

// A deep scan of an NTFS volume names the file it carves where a deleted
// file's record says its data starts, with that size; a file carved
// elsewhere keeps its number.
void tst_ntfs_cli::deep_scan_names_from_records() {
    QUARVEL_NTFS_CONTENT(cases);
    const QString image = QString::fromStdString(cases.image);
    const run_s scan = run_cli({"--json", "scan", image, "--deep"});
    QVERIFY2(scan.exit_code == 0, qPrintable(scan.err));
    QStringList pngs;
    for (const QByteArray& line : scan.out.split('\n'))
        if (!line.isEmpty() && QJsonDocument::fromJson(line).object()["folder"].toString() == "/png")
            pngs << QJsonDocument::fromJson(line).object()["name"].toString();
    QVERIFY2(pngs.contains("good.png"), qPrintable(pngs.join(", ")));
}

void tst_ntfs_cli::unreadable_mft() {
    QUARVEL_FIXTURE(f, "ntfs");
    const std::string copy = test_support::make_temp_dir("ntfs-cli-mft") + "/volume.img";
    QVERIFY(ntfs_test::copy_fixture_volume(f, 1, copy));
    ntfs_test::volume_file_c vol(copy);
    // Record 0 of the $MFT and of its mirror torn: the boot sector still
    // says NTFS, so the volume is offered and the scan fails at its start.
    const uint8_t junk[2] = {0x55, 0x66};
    vol.write_bytes(vol.record_offset(0) + 510, junk, 2);
    const auto boot = vol.read_bytes(0, 512);
    uint64_t mirr;
    std::memcpy(&mirr, &boot[56], 8);
    vol.write_bytes(mirr * (uint64_t(boot[11] | (boot[12] << 8)) * boot[13]) + 510, junk, 2);

    const QString state = QString::fromStdString(test_support::make_temp_dir("ntfs-cli-state"));
    const run_s scan = run_cli({"scan", QString::fromStdString(copy)}, state);
    QCOMPARE(scan.exit_code, 1);
    QVERIFY2(scan.err.contains("ntfs_scan_startup failed with return value (-4)"), qPrintable(scan.err));
    QVERIFY2(scan.err.contains("quarvel-cli: ") && scan.err.contains("$MFT"), qPrintable(scan.err));
    QFile log(state + "/Quarvel/Ostrivo.log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().count('\n'), 1);
}

QTEST_GUILESS_MAIN(tst_ntfs_cli)
#include "tst_ntfs_cli.moc"
