// Volumes on a disk whose partition table is gone, read where the partition
// search finds them (quarvel-cli scan/recover DISK --at SECTOR): their
// deleted files come back byte for byte and the disk is not written.
#include "support/fixtures.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTest>

namespace {

struct run_s {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

run_s run_cli(const QStringList& args)
{
    QProcess p;
    p.start(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli", args);
    run_s r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(240000))
        return r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// "name sha256" of every file below folder, the name without its first
// character (a deleted 8.3 entry without a long name is written with "#").
QSet<QString> files_below(const QString& folder)
{
    QSet<QString> out;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out.insert(it.fileName().mid(1) + " " + QString::fromStdString(test_support::sha256_of_file(path.toStdString())));
    }
    return out;
}

}  // namespace

class tst_found_volume : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFile::exists(qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli"))
            QSKIP("skip: quarvel-cli was not built");
    }

    void recovers_from_found_volumes_without_writing()
    {
        QUARVEL_FIXTURE(f, "lost_partitions");
        const QString image = QString::fromStdString(f.image);
        const std::string before = test_support::sha256_of_file(f.image);
        QVERIFY(!before.empty());

        // Where the search finds each volume, by file system.
        const run_s search = run_cli({"--json", "partitions", image});
        QCOMPARE(search.code, 0);
        QMap<QString, QString> start_of;
        for (const QByteArray& line : search.out.split('\n')) {
            const QJsonObject row = QJsonDocument::fromJson(line).object();
            if (row.contains("start_sector"))
                start_of[row["file_system"].toString()] = QString::number(row["start_sector"].toVariant().toULongLong());
        }
        QVERIFY2(start_of.contains("FAT32") && start_of.contains("NTFS"), search.out.constData());

        const QString out = QString::fromStdString(test_support::make_temp_dir("found-volume"));
        const QList<QPair<int, QString>> volumes = {{1, "FAT32"}, {2, "NTFS"}};
        for (const auto& [partition, fs] : volumes) {
            const QString at = start_of[fs];
            // The record on the manifest says where the volume was.
            const auto record = test_support::entries_on(f, "lost_partition", partition);
            QVERIFY(!record.empty());
            QCOMPARE(at.toLongLong() * 512, test_support::field_number(record.front(), 1));

            const run_s listed = run_cli({"scan", image, "--at", at});
            QVERIFY2(listed.code == 0, listed.err.constData());
            const QString folder = out + "/" + fs;
            const run_s recovered = run_cli({"recover", image, "--at", at, "--to", folder, "--all"});
            QVERIFY2(recovered.code == 0, recovered.err.constData());
            const QSet<QString> written = files_below(folder);
            const auto deleted = test_support::entries_on(f, "deleted", partition);
            QVERIFY(!deleted.empty());
            for (const auto& e : deleted) {
                const QString path = QString::fromStdString(test_support::field(e, 1));
                const QString expected =
                    path.section('/', -1).mid(1) + " " + QString::fromStdString(test_support::field(e, 3));
                QVERIFY2(written.contains(expected), qPrintable(fs + ": " + path + " not recovered whole"));
            }
        }

        // A sector past the disk's end, and one where no volume starts.
        const run_s past = run_cli({"scan", image, "--at", "999999999"});
        QCOMPARE(past.code, 1);
        QVERIFY(past.err.contains("no volume starts"));
        const run_s nothing = run_cli({"scan", image, "--at", "1"});
        QCOMPARE(nothing.code, 1);
        QCOMPARE(run_cli({"scan", image, "--at", "-5"}).code, 2);

        QCOMPARE(test_support::sha256_of_file(f.image), before);
    }
};

QTEST_GUILESS_MAIN(tst_found_volume)
#include "tst_found_volume.moc"
