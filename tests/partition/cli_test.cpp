// quarvel-cli partitions, repair and restore on copies of a fixture disk
// whose first sector was wiped, checked against sfdisk.
#include "disk_image.h"
#include "platform/partitions.h"
#include "support/failing_disk.h"
#include "support/fixtures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QElapsedTimer>
#include <QMap>
#include <QRegularExpression>
#include <QTest>

using namespace part_test;

namespace {
struct run_s {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

QByteArray whole(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
}  // namespace

class cli_test_c : public QObject {
    Q_OBJECT
    QString dir_;
    QString cli_;

    run_s cli(const QStringList& args)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", dir_ + "/state");
        p.setProcessEnvironment(env);
        p.start(cli_, args);
        run_s r;
        if (!p.waitForStarted(10000) || !p.waitForFinished(120000))
            return r;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

    // A copy of the fixture with sector 0 zeroed.
    QString wiped_copy(const test_support::fixture_s& f, const QString& name)
    {
        const QString disk = dir_ + "/" + name;
        QFile::remove(disk);
        if (!QFile::copy(QString::fromStdString(f.image), disk))
            return {};
        const QByteArray zeros(512, '\0');
        return write_at(disk, 0, zeros.constData(), 512) ? disk : QString();
    }

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("partition-cli"));
        QVERIFY(!dir_.isEmpty());
        cli_ = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFile::exists(cli_))
            QSKIP("skip: quarvel-cli was not built");
    }

    void partitions_repair_restore()
    {
        PART_NEED_TOOL(sfdisk, "sfdisk");
        QUARVEL_FIXTURE(f, "demo");
        QByteArray original_json;
        QCOMPARE(run_tool(sfdisk, {"--json", QString::fromStdString(f.image)}, &original_json), 0);
        const QJsonArray original =
            QJsonDocument::fromJson(original_json).object()["partitiontable"].toObject()["partitions"].toArray();
        QCOMPARE(original.size(), 2);

        const QString disk = wiped_copy(f, "demo.img");
        QVERIFY(!disk.isEmpty());
        const QByteArray wiped = whole(disk);

        // The search lists both volumes where the old table had them.
        run_s r = cli({"--json", "partitions", disk});
        QCOMPARE(r.code, 0);
        const QList<QByteArray> rows = r.out.trimmed().split('\n');
        QCOMPARE(rows.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const QJsonObject row = QJsonDocument::fromJson(rows[i]).object();
            const QJsonObject old = original[i].toObject();
            QCOMPARE(row["start_sector"].toInteger(), old["start"].toInteger());
            QCOMPARE(row["end_sector"].toInteger(), old["start"].toInteger() + old["size"].toInteger() - 1);
        }

        // Without --yes nothing is written.
        r = cli({"repair", disk});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("--yes"));
        QVERIFY(whole(disk) == wiped);

        r = cli({"repair", disk, "--yes"});
        QCOMPARE(r.code, 0);
        const int at = r.out.indexOf("saved to ");
        QVERIFY2(at >= 0, r.out.constData());
        const QString backup = QString::fromLocal8Bit(r.out.mid(at + 9).trimmed());
        QVERIFY(backup.startsWith(dir_ + "/state/"));
        QCOMPARE(whole(backup).left(512), wiped.left(512));

        QByteArray repaired_json;
        QCOMPARE(run_tool(sfdisk, {"--json", disk}, &repaired_json), 0);
        const QJsonArray repaired =
            QJsonDocument::fromJson(repaired_json).object()["partitiontable"].toObject()["partitions"].toArray();
        QCOMPARE(repaired.size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(repaired[i].toObject()["start"], original[i].toObject()["start"]);
            QCOMPARE(repaired[i].toObject()["size"], original[i].toObject()["size"]);
        }
        QCOMPARE(repaired[0].toObject()["type"].toString(), QString("c"));
        QCOMPARE(repaired[1].toObject()["type"].toString(), QString("7"));
        QVERIFY(whole(disk).mid(512) == wiped.mid(512));  // only sector 0 changed

        r = cli({"--image", disk, "restore", disk, backup});
        QCOMPARE(r.code, 2);
        // An image is a disk to restore only when named with --image.
        r = cli({"restore", disk, backup, "--yes"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("not a disk, nor an image opened with --image"), r.err.constData());
        r = cli({"--image", disk, "restore", disk, backup, "--yes"});
        QCOMPARE(r.code, 0);
        QVERIFY(whole(disk) == wiped);
        // The backup is this disk's: another image of the same size is not
        // written without --force.
        const QString other = wiped_copy(f, "other.img");
        const QByteArray other_before = whole(other);
        r = cli({"--image", other, "restore", other, backup, "--yes"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("another disk") && r.err.contains("--force"), r.err.constData());
        QVERIFY(whole(other) == other_before);
        r = cli({"--image", other, "restore", other, backup, "--yes", "--force"});
        QCOMPARE(r.code, 0);
    }

    // The fat32 fixture (MBR, one FAT32) with its table and boot sector
    // zeroed: the search meets the backup boot sector six sectors on first,
    // and both it and the repair must put the volume where it was.
    void fat32_start_not_its_backup_boot_sector()
    {
        PART_NEED_TOOL(sfdisk, "sfdisk");
        QUARVEL_FIXTURE(f, "fat32");
        const auto parts = platform::read_partitions(f.image);
        QCOMPARE(parts.size(), size_t(1));
        const uint64_t start = parts[0].start_bytes / 512, sectors = parts[0].size_bytes / 512;
        const QString disk = wiped_copy(f, "fat32-wiped.img");
        QVERIFY(!disk.isEmpty());
        const QByteArray zeros(512, '\0');
        QVERIFY(write_at(disk, start * 512, zeros.constData(), 512));

        run_s r = cli({"--json", "partitions", disk});
        QCOMPARE(r.code, 0);
        QJsonObject row = QJsonDocument::fromJson(r.out.trimmed()).object();
        QCOMPARE(row["file_system"].toString(), QStringLiteral("FAT32"));
        QCOMPARE(uint64_t(row["start_sector"].toInteger()), start);

        r = cli({"repair", disk, "--yes"});
        QVERIFY2(r.code == 0, r.err.constData());
        QByteArray table;
        QCOMPARE(run_tool(sfdisk, {"--json", disk}, &table), 0);
        const QJsonArray written = QJsonDocument::fromJson(table).object()["partitiontable"].toObject()["partitions"].toArray();
        QCOMPARE(written.size(), 1);
        QCOMPARE(uint64_t(written[0].toObject()["start"].toInteger()), start);
        QCOMPARE(uint64_t(written[0].toObject()["size"].toInteger()), sectors);
    }

    // The fat32 fixture served through FUSE with unreadable sectors before
    // its partition: the search goes past them, finds the volume, and names
    // each range with its first sector, count and the system's reason.
    void partitions_over_unreadable_sectors()
    {
        QUARVEL_FAILING_DISK_OR_SKIP();
        QUARVEL_FIXTURE(f, "fat32");
        const auto parts = platform::read_partitions(f.image);
        QCOMPARE(parts.size(), size_t(1));
        const int64_t start = int64_t(parts[0].start_bytes / 512);
        QVERIFY(start > 1504);
        test_support::failing_disk_c disk;
        QUARVEL_START_FAILING_DISK(disk, QString::fromStdString(f.image), {"--bad", "100,1500-1503"},
                                   dir_ + "/fat32.failing");

        const run_s r = cli({"--image", disk.path(), "--json", "partitions", disk.path()});
        QVERIFY2(r.code == 0, r.err.constData());
        QList<QJsonObject> volumes, unreadable;
        for (const QByteArray& line : r.out.trimmed().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            (o.contains("unreadable") ? unreadable : volumes).append(o);
        }
        QCOMPARE(volumes.size(), 1);
        QCOMPARE(volumes[0]["start_sector"].toInteger(), start);
        QCOMPARE(volumes[0]["label"].toString(), QStringLiteral("QUARVELFAT"));
        QCOMPARE(unreadable.size(), 2);
        const int64_t want[2][2] = {{100, 1}, {1500, 4}};
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(unreadable[i]["first_sector"].toInteger(), want[i][0]);
            QCOMPARE(unreadable[i]["sector_count"].toInteger(), want[i][1]);
            QCOMPARE(unreadable[i]["reason"].toString(), QStringLiteral("Input/output error"));
        }
        QVERIFY2(r.err.contains("could not read sector 100 (1 sector): Input/output error") &&
                     r.err.contains("could not read sectors 1500-1503 (4 sectors): Input/output error"),
                 r.err.constData());
    }

    void gpt_disk_is_refused()
    {
        QUARVEL_FIXTURE(f, "gpt");
        const QString disk = dir_ + "/gpt.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(QString::fromStdString(f.image), disk));
        const QByteArray before = whole(disk);
        const run_s r = cli({"repair", disk, "--yes"});
        QCOMPARE(r.code, 1);
        QVERIFY(r.err.contains("GPT"));
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY(whole(disk) == before);
    }

    // The fixture's GPT with its header and table zeroed: partitions tells
    // the primary is missing, repair brings the disk back byte for byte from
    // the backup without a search, and restore puts the damage back.
    void gpt_primary_from_backup()
    {
        QUARVEL_FIXTURE(f, "gpt");
        const QString disk = dir_ + "/gpt-primary.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(QString::fromStdString(f.image), disk));
        const QByteArray original = whole(disk);
        // sfdisk's protective MBR stays: ours would differ in its end CHS.
        const QByteArray zeros(33 * 512, '\0');
        QVERIFY(write_at(disk, 512, zeros.constData(), size_t(zeros.size())));
        const QByteArray damaged = whole(disk);
        run_s r = cli({"partitions", disk});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("GPT: primary missing, backup sound"), r.out.constData());
        r = cli({"--json", "repair", disk, "--yes"});
        QVERIFY2(r.code == 0, r.err.constData());
        QVERIFY(whole(disk) == original);
        QString backup;
        for (const QByteArray& line : r.out.split('\n'))
            if (line.contains("backup_path"))
                backup = QJsonDocument::fromJson(line).object()["backup_path"].toString();
        QVERIFY(!backup.isEmpty());
        r = cli({"--image", disk, "restore", disk, backup, "--yes"});
        QVERIFY2(r.code == 0, r.err.constData());
        QVERIFY(whole(disk) == damaged);
    }

    // A table with partitions the search cannot find is kept unless --force.
    void valid_table_needs_force()
    {
        QUARVEL_FIXTURE(f, "mbr_logical");
        const QString disk = dir_ + "/logical.img";
        QFile::remove(disk);
        QVERIFY(QFile::copy(QString::fromStdString(f.image), disk));
        // The FAT16 partitions' boot sectors wiped: the search cannot find them.
        for (const auto& p : platform::read_partitions(disk.toStdString()))
            if (p.number == 1 || p.number == 5)
                QVERIFY(write_at(disk, p.start_bytes, QByteArray(512, '\0').constData(), 512));
        const QByteArray before = whole(disk);
        run_s r = cli({"repair", disk, "--yes"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("partition 1 (") && r.err.contains("partition 5 (") &&
                     r.err.contains("--force"),
                 r.err.constData());
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY(whole(disk) == before);
        r = cli({"repair", disk, "--yes", "--force"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.contains("dropped from the old table: partition 1"));
    }

    // Only the backup GPT header survived, at the end of a large disk: an
    // MBR asked for is refused at once, not after a search of the whole disk.
    void backup_gpt_refused_before_search()
    {
        const QString disk = dir_ + "/big-gpt.img";
        const uint64_t bytes = 256ull << 30;
        QVERIFY(make_sparse(disk, bytes));
        QVERIFY(write_at(disk, bytes - 512, "EFI PART", 8));
        QVERIFY(put_sector(disk, 2048, ntfs_boot_sector(999)));
        QElapsedTimer clock;
        clock.start();
        const run_s r = cli({"repair", disk, "--yes", "--mbr"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("GPT"), r.err.constData());
        QVERIFY2(clock.elapsed() < 10000, QByteArray::number(clock.elapsed()).constData());
        QCOMPARE(read_at(disk, 0, 512), QByteArray(512, '\0'));
        QFile::remove(disk);
    }

    // The backup of sector 0 is on stable storage, file and folder, before
    // the disk is written: the order of the calls, as strace sees them.
    void backup_is_flushed_before_sector0()
    {
        PART_NEED_TOOL(strace, "strace");
        QUARVEL_FIXTURE(f, "demo");
        const QString disk = wiped_copy(f, "flush.img");
        QVERIFY(!disk.isEmpty());
        const QString log = dir_ + "/strace.log";
        const QString real_cli = cli_;
        cli_ = strace;
        const run_s r = cli({"-f", "-qq", "-o", log, "-e", "trace=openat,fsync,pwrite64", real_cli, "repair", disk,
                             "--yes"});
        cli_ = real_cli;
        if (r.code != 0 && r.err.contains("ptrace"))
            QSKIP("skip: strace cannot trace here");
        QCOMPARE(r.code, 0);
        // fd numbers as opened; the events in order.
        QMap<QString, QString> opened;  // fd -> path
        QStringList events;
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QRegularExpression open_re("openat\\([^,]+, \"([^\"]+)\".*= (\\d+)$");
        const QRegularExpression call_re(R"((fsync|pwrite64)\((\d+),.*)");
        const QRegularExpression sync_re(R"(fsync\((\d+)\))");
        for (const QByteArray& raw : file.readAll().split('\n')) {
            const QString line = QString::fromUtf8(raw);
            if (auto m = open_re.match(line); m.hasMatch())
                opened[m.captured(2)] = m.captured(1);
            else if (auto s = sync_re.match(line); s.hasMatch())
                events << "fsync " + opened.value(s.captured(1));
            else if (auto w = call_re.match(line); w.hasMatch() && w.captured(1) == "pwrite64")
                events << "pwrite " + opened.value(w.captured(2));
        }
        const auto index_of = [&](const QString& prefix, const QString& suffix) {
            for (int i = 0; i < events.size(); ++i)
                if (events[i].startsWith(prefix) && events[i].endsWith(suffix))
                    return i;
            return -1;
        };
        const int disk_write = index_of("pwrite", disk);
        const int file_sync = index_of("fsync", ".mbr");
        const int folder_sync = index_of("fsync", "/sector0-backups");
        QVERIFY2(disk_write >= 0 && file_sync >= 0 && folder_sync >= 0, qPrintable(events.join("; ")));
        QVERIFY2(file_sync < disk_write && folder_sync < disk_write, qPrintable(events.join("; ")));
    }

    void bad_input_gets_one_line_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::newRow("missing disk") << QStringList{"partitions", "/nonexistent/disk.img"} << 1;
        QTest::newRow("a folder") << QStringList{"partitions", "/tmp"} << 1;
        QTest::newRow("no disk named") << QStringList{"partitions"} << 2;
        QTest::newRow("repair of nothing") << QStringList{"repair", "/nonexistent/disk.img", "--yes"} << 1;
        QTest::newRow("restore from a missing backup")
            << QStringList{"--image", "@disk", "restore", "@disk", "/nonexistent.mbr", "--yes"} << 1;
        QTest::newRow("restore from a backup of the wrong size")
            << QStringList{"--image", "@disk", "restore", "@disk", "@short", "--yes"} << 1;
        QTest::newRow("restore onto a file not opened as an image")
            << QStringList{"restore", "@disk", "@plain", "--yes"} << 1;
        QTest::newRow("restore from a plain backup that is no sector 0")
            << QStringList{"--image", "@disk", "restore", "@disk", "@plain", "--yes"} << 1;
        QTest::newRow("a scan file naming a device with escapes") << QStringList{"load", "@escapes"} << 1;
        QTest::newRow("repair of a disk with nothing on it") << QStringList{"repair", "@disk", "--yes"} << 1;
    }

    void bad_input_gets_one_line()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        const QString disk = dir_ + "/blank.img";
        QVERIFY(make_sparse(disk, 1 << 20));
        const QString short_backup = dir_ + "/short.mbr";
        QFile backup(short_backup);
        QVERIFY(backup.open(QIODevice::WriteOnly));
        backup.write(QByteArray(511, 'x'));
        backup.close();
        // 512 bytes, but no boot record (no 0x55AA).
        const QString plain_backup = dir_ + "/plain.mbr";
        QVERIFY(make_sparse(plain_backup, 512));
        // A scan file whose device path would move the cursor if printed raw.
        const QString escapes = dir_ + "/escapes.sav";
        QFile sav(escapes);
        QVERIFY(sav.open(QIODevice::WriteOnly));
        QByteArray header("/dev/\x1b[2J\x1b]0;owned\x07");
        header.resize(256, '\0');
        sav.write(header + QByteArray(8, '\0') + QByteArray(8, '\0') + QByteArray("\x01\0\0\0\0\0\0\0jpg\0\0\0\0\0", 16));
        sav.close();
        for (QString& a : args)
            a = a == "@disk" ? disk : a == "@short" ? short_backup : a == "@plain" ? plain_backup
                                                                  : a == "@escapes" ? escapes : a;
        const run_s r = cli(args);
        QCOMPARE(r.code, code);
        QVERIFY(r.err.startsWith("quarvel-cli: "));
        QVERIFY2(!r.err.contains('\x1b') && !r.err.contains('\x07'), r.err.constData());
        if (code == 1)
            QCOMPARE(r.err.count('\n'), 1);
        QCOMPARE(whole(disk), QByteArray(1 << 20, '\0'));
    }
};

QTEST_GUILESS_MAIN(cli_test_c)
#include "cli_test.moc"
