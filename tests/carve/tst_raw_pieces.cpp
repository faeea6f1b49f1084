// Files in pieces through the deep scanner: the scan finds them, rows flag
// the partial ones, copying out joins the pieces, and the scan file keeps
// them in piece records that load back byte for byte and are checked.
#include "scan/raw/raw_recovery.h"
#include "support/fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <random>

namespace {

QByteArray read_all(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool write_all(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray noise(int size, uint32_t seed)
{
    std::mt19937 rng(seed);
    QByteArray b(size, '\0');
    for (char& c : b)
        c = char(rng());
    return b;
}

volume_item_s volume_of(const QString& path)
{
    volume_item_s v;
    v.device_path = path;
    v.total_bytes = uint64_t(QFileInfo(path).size());
    return v;
}

// The card image stands for a volume the program offers, at its true size.
bool image_volume(const std::string& path, uint64_t* size)
{
    *size = uint64_t(QFileInfo(QString::fromStdString(path)).size());
    return *size > 0;
}

void put_le64(QByteArray& b, int at, int64_t v)
{
    for (int i = 0; i < 8; ++i)
        b[at + i] = char((uint64_t(v) >> (8 * i)) & 0xFF);
}

}  // namespace

class tst_raw_pieces : public QObject {
    Q_OBJECT

    QString dir_;
    QString image_;
    QByteArray bytes_;

    // Three files on a 64 KiB image: one in two pieces, one partial, one
    // plain; the scan file they make.
    void fill(raw_recovery_c& raw)
    {
        raw.set_volume(volume_of(image_));
        const raw_extent_s two[2] = {{4096, 5000}, {20480, 3000}};
        raw.add_pieces("jpg", two, 2, false);
        const raw_extent_s part[1] = {{32768, 8192}};
        raw.add_pieces("jpg", part, 1, true);
        raw.add_record("png", 49152, 1234);
        const raw_extent_s bad[2] = {{4096, 0}, {8192, 10}};
        raw.add_pieces("jpg", bad, 2, false);  // an empty piece: dropped
    }

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("raw-pieces"));
        QVERIFY(!dir_.isEmpty());
        image_ = dir_ + "/card.img";
        bytes_ = noise(65536, 1);
        QVERIFY(write_all(image_, bytes_));
    }

    void rows_copy_out_and_round_trip()
    {
        raw_recovery_c raw;
        fill(raw);
        QCOMPARE(raw.records().size(), size_t(3));
        QCOMPARE(raw.records()[0].size, int64_t(8000));
        const auto rows = raw.rows_for_type("jpg");
        QCOMPARE(rows.size(), size_t(2));
        QCOMPARE(rows[0].flags, 0);
        QCOMPARE(rows[1].flags, raw_row_partial);
        QCOMPARE(raw.rows_for_type("png").at(0).flags, 0);

        QCOMPARE(raw.recover_file(0, dir_ + "/two.jpg"), 0);
        QVERIFY(read_all(dir_ + "/two.jpg") == bytes_.mid(4096, 5000) + bytes_.mid(20480, 3000));
        QCOMPARE(raw.recover_file(1, dir_ + "/part.jpg"), 0);
        QVERIFY(read_all(dir_ + "/part.jpg") == bytes_.mid(32768, 8192));

        const QString sav = dir_ + "/pieces.sav";
        QCOMPARE(raw.save_results(QFile::encodeName(sav)), 0);
        const QByteArray saved = read_all(sav);
        QCOMPARE(saved.size(), 256 + 32 * (3 + 3));
        raw_recovery_c back;
        QCOMPARE(back.load_results(QFile::encodeName(sav), image_volume), image_);
        QCOMPARE(back.pieces().size(), size_t(2));
        QVERIFY(back.pieces().at(1).partial);
        QCOMPARE(back.rows_for_type("jpg").at(1).flags, raw_row_partial);
        QCOMPARE(back.recover_file(0, dir_ + "/two-again.jpg"), 0);
        QVERIFY(read_all(dir_ + "/two-again.jpg") == read_all(dir_ + "/two.jpg"));
        const QString again = dir_ + "/again.sav";
        QCOMPARE(back.save_results(QFile::encodeName(again)), 0);
        QVERIFY(read_all(again) == saved);

        // A piece record among the plain ones is refused.
        const QByteArray mixed = saved.left(256 + 32) + saved.mid(256 + 32 * 3, 32) + saved.mid(256 + 32, 64) +
                                 saved.mid(256 + 32 * 4);
        QVERIFY(write_all(again, mixed));
        raw_recovery_c refused;
        QVERIFY(refused.load_results(QFile::encodeName(again), image_volume).isEmpty());
    }

    // Copying reads whole sectors, a chunk at a time, and no further than
    // the piece's last sector: a piece that starts inside a sector, spans
    // several chunks and ends inside one, or at a device end that is not a
    // sector's, comes out byte for byte.
    void long_unaligned_pieces_copy_out()
    {
        const QString image = dir_ + "/long.img";
        const QByteArray bytes = noise(300 * 1024 + 77, 2);
        QVERIFY(write_all(image, bytes));
        raw_recovery_c raw;
        raw.set_volume(volume_of(image));
        raw.add_record("bin", 513, 200000);
        raw.add_record("bin", 1000, bytes.size() - 1000);
        QCOMPARE(raw.recover_file(0, dir_ + "/inside.bin"), 0);
        QVERIFY(read_all(dir_ + "/inside.bin") == bytes.mid(513, 200000));
        QCOMPARE(raw.recover_file(1, dir_ + "/to-end.bin"), 0);
        QVERIFY(read_all(dir_ + "/to-end.bin") == bytes.mid(1000));
    }

    void piece_records_that_are_refused_data()
    {
        QTest::addColumn<int>("record");  // which of the six records to change
        QTest::addColumn<int>("at");
        QTest::addColumn<qint64>("value");
        // Records: 0-2 plain; 3, 4 the pieces of file 0; 5 the piece of file 1.
        QTest::newRow("names no record") << 5 << 0 << qint64(-1 - 7);
        QTest::newRow("names a file twice") << 5 << 0 << qint64(-1 - 0);
        QTest::newRow("pieces out of order") << 4 << 28 << qint64(2);
        QTest::newRow("lengths do not add up") << 4 << 16 << qint64(2999);
        QTest::newRow("first piece elsewhere") << 3 << 8 << qint64(4608);
        QTest::newRow("beyond the device") << 4 << 8 << qint64(65536 - 1000);
        QTest::newRow("empty piece") << 5 << 16 << qint64(0);
        QTest::newRow("unknown flag") << 5 << 24 << qint64(0x03435000);
        QTest::newRow("whole file in one piece") << 5 << 24 << qint64(0x00435000);
    }

    void piece_records_that_are_refused()
    {
        QFETCH(int, record);
        QFETCH(int, at);
        QFETCH(qint64, value);
        raw_recovery_c raw;
        fill(raw);
        const QString sav = dir_ + "/bad.sav";
        QCOMPARE(raw.save_results(QFile::encodeName(sav)), 0);
        QByteArray bytes = read_all(sav);
        put_le64(bytes, 256 + 32 * record + at, value);
        QVERIFY(write_all(sav, bytes));
        raw_recovery_c back;
        QVERIFY(back.load_results(QFile::encodeName(sav), image_volume).isEmpty());
        QVERIFY(back.records().empty());
    }

    // The whole way: a JPEG made by cjpeg cut in two with noise between, and
    // the start of another whose second piece is gone. The deep scan joins
    // the first and flags the second; quarvel-cli lists, recovers, saves and
    // loads them.
    void deep_scan_and_cli()
    {
        const QString convert = QStandardPaths::findExecutable("convert");
        const QString cjpeg = QStandardPaths::findExecutable("cjpeg");
        if (convert.isEmpty() || cjpeg.isEmpty())
            QSKIP("ImageMagick's convert and libjpeg-turbo's cjpeg are needed (imagemagick, libjpeg-turbo-progs)");
        const QString ppm = dir_ + "/p.ppm";
        QVERIFY(QProcess::execute(convert, {"-seed", "3", "-size", "400x300", "plasma:", "ppm:" + ppm}) == 0);
        QProcess p;
        p.start(cjpeg, {"-quality", "90", ppm});
        QVERIFY(p.waitForFinished(60000));
        const QByteArray jpeg = p.readAllStandardOutput();
        QVERIFY(jpeg.size() > 3 * 4096);
        QByteArray image = noise(4096, 2) + jpeg.left(8192) + noise(3 * 4096, 3);
        image += jpeg.mid(8192) + QByteArray((4096 - (jpeg.size() - 8192) % 4096) % 4096, '\0');
        const int partial_at = image.size();
        image += jpeg.left(12288) + noise(8192, 4);
        const QString path = dir_ + "/scan.img";
        QVERIFY(write_all(path, image));

        raw_recovery_c::load_engine_config();
        raw_recovery_c raw;
        raw.set_volume(volume_of(path));
        raw.start();
        QVERIFY(raw.wait(120000));
        QCOMPARE(raw.records().size(), size_t(2));
        QCOMPARE(raw.pieces().at(0).extents.size(), size_t(2));
        QVERIFY(raw.pieces().at(1).partial);
        QCOMPARE(raw.records()[1].offset, int64_t(partial_at));
        QCOMPARE(raw.recover_file(0, dir_ + "/joined.jpg"), 0);
        QVERIFY(read_all(dir_ + "/joined.jpg") == jpeg);

        const QString cli = qEnvironmentVariable("QUARVEL_BIN_DIR") + "/quarvel-cli";
        if (!QFileInfo(cli).isExecutable())
            QSKIP("quarvel-cli was not built");
        QProcess list;
        list.start(cli, {"--json", "scan", path, "--deep"});
        QVERIFY(list.waitForFinished(120000));
        const QList<QByteArray> lines = list.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].contains("\"flags\":0"));
        // Bit 0 is a partial file here, not a FAT file's read-only bit.
        QVERIFY(lines[1].contains("\"flags\":1,\"state\":\"partial\""));
        QVERIFY(lines[0].contains("\"state\":\"\""));
        const QString sav = dir_ + "/cli.sav";
        QCOMPARE(QProcess::execute(cli, {"recover", path, "--deep", "--all", "--to", dir_ + "/out", "--save", sav}), 0);
        QCOMPARE(QProcess::execute(cli, {"--image", path, "load", sav, "--to", dir_ + "/out2", "--all"}), 0);
        for (const QString& folder : {dir_ + "/out", dir_ + "/out2"}) {
            QStringList files;
            for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files))
                files << f.filePath();
            for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot))
                for (const QFileInfo& g : QDir(f.filePath()).entryInfoList(QDir::Files))
                    files << g.filePath();
            QCOMPARE(files.size(), 2);
            QSet<QByteArray> got;
            for (const QString& f : files)
                got << read_all(f);
            QVERIFY(got.contains(jpeg));
            QVERIFY(got.contains(jpeg.left(12288)));
        }
    }
};

QTEST_GUILESS_MAIN(tst_raw_pieces)
#include "tst_raw_pieces.moc"
