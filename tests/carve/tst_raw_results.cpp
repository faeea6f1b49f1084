// The deep scanner: records and type index, copying carved files out, and
// the scan result file's layout and its refusals.
#include "carve/carve_samples.h"
#include "engines/carve/carve.h"
#include "scan/raw/raw_recovery.h"
#include "support/failing_source.h"
#include "support/fixtures.h"

#include <QFile>
#include <QtTest>
#include <algorithm>
#include <cstring>
#include <sys/stat.h>

using namespace carve_test;

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

QByteArray le64(int64_t v)
{
    QByteArray b(8, '\0');
    for (int i = 0; i < 8; ++i)
        b[i] = char((uint64_t(v) >> (8 * i)) & 0xFF);
    return b;
}

QByteArray record(int64_t index, int64_t offset, int64_t size, const char* type)
{
    QByteArray t(8, '\0');
    std::memcpy(t.data(), type, std::min<size_t>(8, std::strlen(type)));
    return le64(index) + le64(offset) + le64(size) + t;
}

QByteArray header(const QByteArray& path)
{
    QByteArray h = path;
    h.resize(256, '\0');
    return h;
}

// Any device path is taken as a volume of 1 TiB: the file's own checks only.
bool any_volume(const std::string&, uint64_t* size)
{
    *size = uint64_t(1) << 40;
    return true;
}

volume_item_s volume_of(const QString& path)
{
    volume_item_s v;
    v.device_path = path;
    v.total_bytes = uint64_t(QFileInfo(path).size());
    return v;
}

}  // namespace

class tst_raw_results : public QObject {
    Q_OBJECT

    QString dir_;

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("raw"));
        QVERIFY(!dir_.isEmpty());
    }

    void records_and_type_index()
    {
        raw_recovery_c raw;
        raw.add_record("jpg", 0, 10);
        raw.add_record("png", 512, 20);
        raw.add_record("jpg", 1024, 30);
        raw.add_record("longtypename", 2048, 40);
        QCOMPARE(raw.records().size(), size_t(4));
        QCOMPARE(raw.records()[2].index, int64_t(2));
        QCOMPARE(raw.type_index().at("jpg"), (std::vector<int64_t>{0, 2}));
        const auto rows = raw.rows_for_type("jpg");
        QCOMPARE(rows.size(), size_t(2));
        QCOMPARE(rows[1].name, QString("00000002.jpg"));
        QCOMPARE(rows[1].size, int64_t(30));
        QCOMPARE(rows[1].id, int64_t(2));
        QCOMPARE(rows[1].date1 + rows[1].date2 + rows[1].flags + rows[1].checked, int64_t(0));
        // Cut to 8 bytes in the record, indexed under the full name.
        QCOMPARE(QByteArray(raw.records()[3].type, 8), QByteArray("longtype"));
        QCOMPARE(raw.rows_for_type("longtypename").at(0).name, QString("00000003.longtypename"));
        QCOMPARE(raw.get_found_count(), int64_t(0));
        QCOMPARE(raw.get_read_count(), int64_t(0));
        raw.reset();
        QVERIFY(raw.records().empty());
        QVERIFY(raw.type_index().empty());
        QVERIFY(raw.all_rows().empty());
    }

    void saved_file_layout_and_round_trip()
    {
        raw_recovery_c raw;
        raw.set_volume(volume_of("/dev/sdz1/"));
        QCOMPARE(raw.device_path(), QString("/dev/sdz1"));
        const QString sav = dir_ + "/scan.sav";
        QCOMPARE(raw.save_results(QFile::encodeName(sav)), -1);  // nothing to save
        QVERIFY(!QFile::exists(sav));
        raw.add_record("jpg", 512, 1000);
        raw.add_record("longtypename", 4096, 77);
        raw.add_record("jpg", 8192, 5);
        QCOMPARE(raw.save_results(QFile::encodeName(sav)), 0);
        const QByteArray expected = header("/dev/sdz1") + record(0, 512, 1000, "jpg") +
                                    record(1, 4096, 77, "longtypename") + record(2, 8192, 5, "jpg");
        QCOMPARE(read_all(sav), expected);

        raw_recovery_c loaded;
        QCOMPARE(loaded.load_results(QFile::encodeName(sav), any_volume), QString("/dev/sdz1"));
        QCOMPARE(loaded.records().size(), size_t(3));
        QCOMPARE(loaded.type_index().size(), size_t(2));
        QCOMPARE(loaded.type_index().at("jpg"), (std::vector<int64_t>{0, 2}));
        QCOMPARE(loaded.rows_for_type("longtype").at(0).name, QString("00000001.longtype"));
        QCOMPARE(loaded.rows_for_type("jpg").at(1).size, int64_t(5));
        // Saving what was loaded writes the same bytes.
        QCOMPARE(loaded.save_results(QFile::encodeName(dir_ + "/again.sav")), 0);
        QCOMPARE(read_all(dir_ + "/again.sav"), expected);
    }

    void files_that_are_refused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("header only, 256 bytes") << header("/dev/sdz1");
        QTest::newRow("300 bytes") << header("/dev/sdz1") + QByteArray(44, '\0');
        QTest::newRow("index equal to the count") << header("/dev/sdz1") + record(0, 0, 1, "jpg") + record(2, 0, 1, "jpg");
        QTest::newRow("negative index") << header("/dev/sdz1") + record(-1, 0, 1, "jpg");
        QTest::newRow("no device path") << header("") + record(0, 0, 1, "jpg");
    }

    void files_that_are_refused()
    {
        QFETCH(QByteArray, bytes);
        const QString sav = dir_ + "/refused.sav";
        QVERIFY(write_all(sav, bytes));
        raw_recovery_c raw;
        raw.set_volume(volume_of("/dev/keep"));
        raw.add_record("png", 0, 3);
        QCOMPARE(raw.load_results(QFile::encodeName(sav), any_volume), QString());
        // Nothing half-loaded.
        QCOMPARE(raw.device_path(), QString("/dev/keep"));
        QCOMPARE(raw.records().size(), size_t(1));
        QCOMPARE(raw.type_index().count("png"), size_t(1));
        QCOMPARE(raw.load_results(QFile::encodeName(dir_ + "/no-such.sav"), any_volume), QString());
    }

    // Anyone can hand the program a scan file: it is held against the volume
    // it names, and what cannot be a file of that volume is refused before it
    // is held in memory or waited on.
    void hostile_scan_files()
    {
        std::string asked;
        const auto one_mib_volume = [&asked](const std::string& path, uint64_t* size) {
            asked = path;
            *size = 1 << 20;
            return path == "/dev/sdz1";
        };
        raw_recovery_c raw;
        std::string reason;
        const QString sav = dir_ + "/hostile.sav";
        const auto refused = [&](const QByteArray& bytes, const char* expected) {
            if (!write_all(sav, bytes))
                return false;
            reason.clear();
            return raw.load_results(QFile::encodeName(sav), one_mib_volume, &reason).isEmpty() &&
                   reason.find(expected) != std::string::npos;
        };
        QVERIFY(refused(header("/etc/passwd") + record(0, 0, 100, "txt"), "is not present"));
        QCOMPARE(asked, std::string("/etc/passwd"));
        QVERIFY(refused(header("/dev/sdz1") + record(0, 1 << 20, 1, "jpg"), "starts outside"));
        QVERIFY(refused(header("/dev/sdz1") + record(0, -512, 1, "jpg"), "starts outside"));
        QVERIFY(refused(header("/dev/sdz1") + record(0, 512, (1 << 20) - 511, "jpg"), "runs past the end"));
        QVERIFY(refused(header("/dev/sdz1") + record(0, 512, -1, "jpg"), "runs past the end"));
        QVERIFY(raw.records().empty());

        // A 1 GiB file names more records than the volume has bytes: refused
        // from its length alone, fast.
        QVERIFY(write_all(sav, header("/dev/sdz1") + record(0, 0, 1, "jpg")));
        QVERIFY(QFile::resize(sav, (qint64(1) << 30) + 256));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(raw.load_results(QFile::encodeName(sav), one_mib_volume, &reason).isEmpty());
        QVERIFY2(reason.find("more records") != std::string::npos, reason.c_str());
        QVERIFY(clock.elapsed() < 2000);
        QFile::remove(sav);

        // A FIFO or a folder is refused at once, never waited on.
        const QByteArray fifo = QFile::encodeName(dir_ + "/fifo.sav");
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QVERIFY(raw.load_results(fifo, any_volume, &reason).isEmpty());
        QVERIFY2(reason.find("not a regular file") != std::string::npos, reason.c_str());
        QVERIFY(raw.load_results(QFile::encodeName(dir_), any_volume, &reason).isEmpty());
        QVERIFY(raw.load_results("/dev/zero", any_volume, &reason).isEmpty());
        QVERIFY(raw.records().empty());
    }

    void smallest_file_is_accepted()
    {
        const QString sav = dir_ + "/one.sav";
        QVERIFY(write_all(sav, header("/dev/sdz1") + record(0, 512, 9, "12345678")));
        raw_recovery_c raw;
        QCOMPARE(raw.load_results(QFile::encodeName(sav), any_volume), QString("/dev/sdz1"));
        QCOMPARE(raw.rows_for_type("12345678").at(0).name, QString("00000000.12345678"));
    }

    void device_path_that_does_not_fit()
    {
        raw_recovery_c raw;
        raw.set_volume(volume_of("/" + QString(255, 'd')));
        raw.add_record("jpg", 0, 1);
        const QString sav = dir_ + "/long.sav";
        QCOMPARE(raw.save_results(QFile::encodeName(sav)), -1);
        QVERIFY(!QFile::exists(sav));
        raw.set_volume(volume_of("/" + QString(254, 'd')));  // 255 bytes and the NUL: fits
        QCOMPARE(raw.save_results(QFile::encodeName(sav)), 0);
        QCOMPARE(QFileInfo(sav).size(), qint64(288));
    }

    void save_path_outside_ascii()
    {
        raw_recovery_c raw;
        raw.set_volume(volume_of(QString::fromUtf8("/media/café/disk.img:p0")));
        raw.add_record("jpg", 0, 1);
        const QString sav = dir_ + QString::fromUtf8("/résultat 扫描.sav");
        QCOMPARE(raw.save_results(QFile::encodeName(sav)), 0);
        QVERIFY(QFile::exists(sav));
        raw_recovery_c loaded;
        QCOMPARE(loaded.load_results(QFile::encodeName(sav), any_volume), QString::fromUtf8("/media/café/disk.img:p0"));
    }

    // The thread body over a real image, then every record copied out byte
    // for byte, at aligned and unaligned offsets.
    void deep_scan_and_copy_out_data()
    {
        QTest::addColumn<bool>("unaligned");
        QTest::newRow("sector-aligned") << false;
        QTest::newRow("unaligned, byte level") << true;
    }

    void deep_scan_and_copy_out()
    {
        QFETCH(bool, unaligned);
        std::vector<sample_s> samples;
        QString reason;
        if (!make_samples(dir_ + "/samples", &samples, &reason))
            QSKIP(qPrintable(reason));
        const QString conf = dir_ + "/Quarvel.conf";
        QVERIFY(write_all(conf, unaligned ? "byte_level on\n" : "sector_size 512\n"));
        QCOMPARE(carve_load_config(QFile::encodeName(conf).constData()), 0);
        const QString image = dir_ + "/deep.img";
        const auto planted = write_image(image, samples, background::random, unaligned, 7);
        QVERIFY(!planted.empty());

        raw_recovery_c raw;
        raw.set_volume(volume_of(image));
        raw.start();
        QVERIFY(raw.wait(120000));
        QCOMPARE(raw.get_progress(), 1.0);
        QCOMPARE(raw.records().size(), planted.size());
        std::map<int64_t, const planted_s*> by_offset;
        for (const auto& p : planted)
            by_offset[int64_t(p.offset)] = &p;
        for (const auto& r : raw.all_rows()) {
            const raw_item_s& item = raw.records()[size_t(r.row.id)];
            QVERIFY(by_offset.count(item.offset));
            const QString out = dir_ + "/out-" + r.row.name;
            QCOMPARE(raw.recover_file(r.row.id, out), 0);
            QCOMPARE(read_all(out), by_offset[item.offset]->bytes);
            QFile::remove(out);
        }
        carve_load_config(nullptr);
    }

    // On a failing disk the deep scan loses only the unreadable sectors: a
    // bad sector between files costs nothing, one inside a file marks that
    // file, and the damage is named by sector.
    void bad_sectors_cost_only_themselves()
    {
        std::vector<sample_s> samples;
        QString reason;
        if (!make_samples(dir_ + "/samples", &samples, &reason))
            QSKIP(qPrintable(reason));
        const QString conf = dir_ + "/Quarvel.conf";
        QVERIFY(write_all(conf, "sector_size 512\n"));
        QCOMPARE(carve_load_config(QFile::encodeName(conf).constData()), 0);
        const QString image = dir_ + "/failing.img";
        const auto planted = write_image(image, samples, background::zeros, false, 11);
        QVERIFY(planted.size() > 4);
        const QByteArray bytes = read_all(image);
        // A sector in the gap before the third file, and one inside the
        // fourth: both in the same 1 MiB read as most of the others.
        const planted_s& hit = planted[3];
        const uint64_t gap_sector = planted[2].offset / 512 - 1;
        const uint64_t inside_sector = (hit.offset + uint64_t(hit.bytes.size()) / 2) / 512;
        auto failing = std::make_shared<test_support::failing_source_c>(
            std::vector<uint8_t>(bytes.begin(), bytes.end()), std::set<uint64_t>{gap_sector, inside_sector});
        auto source = std::make_shared<platform::salvage_source_c>(failing);

        raw_recovery_c raw;
        raw.set_volume(volume_of(image));
        raw.set_source(image, source);
        raw.start();
        QVERIFY(raw.wait(120000));
        std::map<int64_t, const raw_item_s*> found;
        for (const raw_item_s& item : raw.records())
            found[item.offset] = &item;
        for (const planted_s& p : planted) {
            if (&p == &hit)
                continue;
            QVERIFY2(found.count(int64_t(p.offset)), qPrintable(p.type));
            QCOMPARE(found[int64_t(p.offset)]->size, int64_t(p.bytes.size()));
            QCOMPARE(raw.unreadable_bytes(found[int64_t(p.offset)]->index), uint64_t(0));
        }
        if (found.count(int64_t(hit.offset)))
            QCOMPARE(raw.unreadable_bytes(found[int64_t(hit.offset)]->index), uint64_t(512));
        QVERIFY(raw.unreadable_file_count() <= 1);
        const read_damage_s damage = raw.read_damage();
        QCOMPARE(damage.unreadable.size(), size_t(2));
        QCOMPARE(damage.unreadable[0].first_sector, gap_sector);
        QCOMPARE(damage.unreadable[1].first_sector, inside_sector);
        const job_notes_t notes = raw.job_outcome().notes;
        QVERIFY(std::any_of(notes.begin(), notes.end(), [&](const job_note_s& n) {
            return n.key == "note_sectors_read_as_zeros" && n.args.value(0).toULongLong() == 2 &&
                   n.args.value(1).toULongLong() == gap_sector;
        }));
        carve_load_config(nullptr);
    }

    void copy_out_refusals_and_short_device()
    {
        const QString image = dir_ + "/short.img";
        QByteArray bytes(4096, 'x');
        bytes.replace(1000, 5, "hello");
        QVERIFY(write_all(image, bytes));
        const QString sav = dir_ + "/short.sav";
        QVERIFY(write_all(sav, header(QFile::encodeName(image)) + record(0, 1000, 5, "txt") +
                                   record(1, 3584, 100000, "bin")));
        raw_recovery_c raw;
        QCOMPARE(raw.load_results(QFile::encodeName(sav), any_volume), image);
        QCOMPARE(raw.recover_file(2, dir_ + "/x"), -1);
        QCOMPARE(raw.recover_file(-1, dir_ + "/x"), -1);
        QCOMPARE(raw.recover_file(0, dir_ + "/no-such-folder/x"), -1);
        QCOMPARE(raw.recover_file(0, dir_ + "/hello.txt"), 0);
        QCOMPARE(read_all(dir_ + "/hello.txt"), QByteArray("hello"));
        // The device ends before the file: a failure, and no partial file.
        QCOMPARE(raw.recover_file(1, dir_ + "/tail.bin"), -1);
        QVERIFY(!QFile::exists(dir_ + "/tail.bin"));
        // A target that exists is left alone.
        QCOMPARE(raw.recover_file(0, dir_ + "/hello.txt"), recover_target_exists);
        QCOMPARE(read_all(dir_ + "/hello.txt"), QByteArray("hello"));
        // A device that is gone.
        QVERIFY(QFile::remove(image));
        QCOMPARE(raw.recover_file(0, dir_ + "/gone.txt"), -1);
    }

    // A carved file of 2 GiB or more comes out whole.
    void copy_of_more_than_two_gib()
    {
        const QString image = dir_ + "/big.img";
        const qint64 size = (qint64(2) << 30) + 8192;
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(size + 4096));  // sparse
        f.close();
        QVERIFY(put_bytes(image, 512, "first"));
        QVERIFY(put_bytes(image, 512 + size - 4, "last"));
        const QString sav = dir_ + "/big.sav";
        QVERIFY(write_all(sav, header(QFile::encodeName(image)) + record(0, 512, size, "bin")));
        raw_recovery_c raw;
        QCOMPARE(raw.load_results(QFile::encodeName(sav), any_volume), image);
        const QString out = dir_ + "/big.bin";
        QCOMPARE(raw.recover_file(0, out), 0);
        QCOMPARE(QFileInfo(out).size(), size);
        QFile o(out);
        QVERIFY(o.open(QIODevice::ReadOnly));
        QCOMPARE(o.read(5), QByteArray("first"));
        QVERIFY(o.seek(size - 4));
        QCOMPARE(o.read(4), QByteArray("last"));
        o.close();
        QFile::remove(out);
        QFile::remove(image);
    }

    void stop_keeps_what_was_found()
    {
        const QString image = dir_ + "/stop.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(qint64(16) << 30));
        f.close();
        QVERIFY(put_bytes(image, 0, QByteArray("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff"
                                               "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b", 35)));
        carve_load_config(nullptr);
        raw_recovery_c raw;
        raw.set_volume(volume_of(image));
        raw.reset();
        raw.start();
        QTRY_VERIFY_WITH_TIMEOUT(raw.get_progress() > 0.0, 20000);
        raw.set_stop(3);
        QVERIFY(raw.wait(10000));
        QCOMPARE(raw.get_stop(), 3);
        QVERIFY(raw.get_progress() < 1.0);
        QCOMPARE(raw.records().size(), size_t(1));
        QCOMPARE(QByteArray(raw.records()[0].type), QByteArray("gif"));
        QFile::remove(image);
    }
};

QTEST_GUILESS_MAIN(tst_raw_results)
#include "tst_raw_results.moc"
