// Carved files named by their content: photos by their Exif date and camera
// (with that date as their time), PDFs and Office files by their title, MP3s
// by artist and title, AVCHD clips by their recording time, camera raw files
// recognised and carved whole.
#include "carve/carve_samples.h"
#include "engines/carve/carve.h"
#include "engines/carve/content_name.h"
#include "scan/raw/raw_recovery.h"
#include "support/fixtures.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

using namespace carve_test;

namespace {

QByteArray read_all(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class tst_carve_names : public QObject {
    Q_OBJECT

    QString dir_;

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("names"));
        QVERIFY(!dir_.isEmpty());
    }

    void cleaning()
    {
        using carve::clean_content_name;
        QCOMPARE(clean_content_name("AC/DC\t\x01 live\r\n ", 200), std::string("AC_DC live"));
        QCOMPARE(clean_content_name("..", 200), std::string());
        QCOMPARE(clean_content_name(" .hidden. ", 200), std::string("hidden"));
        QCOMPARE(clean_content_name("bad \xFF\xC3 bytes \xC3\xA9", 200), std::string("bad bytes \xC3\xA9"));
        // Cut on a character boundary: "é" is two bytes.
        const std::string long_name = std::string(199, 'a') + "\xC3\xA9";
        QCOMPARE(clean_content_name(long_name, 200), std::string(199, 'a'));
    }

    void avchd_recording_time_from_the_video_stream()
    {
        // An AVCHD clip (192-byte packets): the camera's MDPM message in the
        // video stream's first SEI, straddling two packets and with the byte
        // H.264 inserts after two zeros. A lookalike with a month of 13 and
        // the same bytes in a 188-byte stream's other framing give no name.
        QByteArray es = QByteArray::fromHex("000001E00000" "8080052100010001" "0000000106" "0548");
        es += QByteArray::fromHex("17EE8C60F84D11D98CD60800200C9A66") + "MDPM";
        es += QByteArray::fromHex("03" "E0000003" "0000" "18EA201407" "1915134509" "80");
        const auto packets = [](QByteArray payload, int lead, int split) {
            QByteArray out;
            for (int at = 0, n = 0; at < payload.size(); ++n) {
                const int take = std::min<int>(n == 0 ? split : 184, int(payload.size()) - at);
                QByteArray p(lead, '\0');
                p += char(0x47);
                p += char(n == 0 ? 0x50 : 0x10);  // the payload's first packet, PID 0x1011
                p += char(0x11);
                // Short packets are filled by an adaptation field of stuffing.
                const int stuffing = 184 - take;
                p += char(stuffing > 0 ? 0x30 | (n & 15) : 0x10 | (n & 15));
                if (stuffing > 0) {
                    p += char(stuffing - 1);
                    if (stuffing > 1)
                        p += char(0) + QByteArray(stuffing - 2, char(0xFF));
                }
                p += payload.mid(at, take);
                out += p;
                at += take;
            }
            return out;
        };
        const auto name_of = [](const char* type, const QByteArray& data) {
            return carve::content_name(type, uint64_t(data.size()), [&](uint64_t at, void* out, size_t length) {
                const size_t n = at >= uint64_t(data.size()) ? 0 : std::min<size_t>(length, size_t(data.size() - at));
                std::memcpy(out, data.constData() + at, n);
                return n;
            });
        };
        const carve::content_name_s named = name_of("mts", packets(es, 4, 40));
        QCOMPARE(named.name, std::string("2014-07-15 13.45.09"));
        QVERIFY(named.has_time);
        QCOMPARE(QDateTime::fromSecsSinceEpoch(named.time).toString("yyyy-MM-dd HH:mm:ss"),
                 QString("2014-07-15 13:45:09"));
        QByteArray wrong_month = es;
        wrong_month.replace(QByteArray::fromHex("18EA201407"), QByteArray::fromHex("18EA201413"));
        QVERIFY(name_of("mts", packets(wrong_month, 4, 40)).name.empty());
        QVERIFY(name_of("ts", packets(es, 4, 40)).name.empty());
    }

    void many_equal_names_are_numbered_on()
    {
        // One small PDF whose title every record names: a burst of equal
        // names is numbered on without a limit, and case-folded names clash.
        const QByteArray pdf = "%PDF-1.4\n1 0 obj\n<< /Title (Same) >>\nendobj\n"
                               "trailer\n<< /Info 1 0 R >>\n%%EOF\n";
        const QString path = dir_ + "/same.pdf";
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(pdf) == pdf.size());
        f.close();
        raw_names_c names;
        names.open(platform::open_byte_source(QFile::encodeName(path).toStdString(), nullptr));
        for (int64_t i = 0; i < 1500; ++i) {
            raw_item_s item;
            item.index = i;
            item.size = pdf.size();
            names.add(item, "pdf", nullptr, 0);
        }
        QVERIFY(names.find(0) && names.find(1499));
        QCOMPARE(names.find(0)->name, QString("Same.pdf"));
        QCOMPARE(names.find(1499)->name, QString("Same (1500).pdf"));
    }

    void carved_files_get_content_names()
    {
        const QString python = QStandardPaths::findExecutable("python3");
        if (python.isEmpty())
            QSKIP("python3 is not installed");
        const bool exiftool = !QStandardPaths::findExecutable("exiftool").isEmpty();
        const QString folder = dir_ + "/samples";
        QDir().mkpath(folder);
        QImage picture(64, 48, QImage::Format_RGB32);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x)
                picture.setPixel(x, y, qRgb(x * 4, y * 5, (x * y) & 0xFF));
        QVERIFY(picture.save(folder + "/base.jpg", "JPG"));
        QProcess p;
        p.start(python, {source_dir() + "/tests/carve/make_named_samples.py", folder, folder + "/base.jpg"});
        QVERIFY(p.waitForFinished(60000));
        QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
        QFile::remove(folder + "/base.jpg");

        std::vector<sample_s> samples;
        for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files, QDir::Name))
            samples.push_back({info.fileName(), info.suffix(), read_all(info.filePath())});
        const QString conf = dir_ + "/Quarvel.conf";
        {
            QFile f(conf);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("sector_size 512\n") > 0);
        }
        QCOMPARE(carve_load_config(QFile::encodeName(conf).constData()), 0);
        const QString image = dir_ + "/named.img";
        const auto planted = write_image(image, samples, background::random, false, 11);
        QCOMPARE(planted.size(), samples.size());

        raw_recovery_c raw;
        volume_item_s volume;
        volume.device_path = image;
        volume.total_bytes = uint64_t(QFileInfo(image).size());
        raw.set_volume(volume);
        raw.start();
        QVERIFY(raw.wait(120000));
        carve_load_config(nullptr);

        std::map<QString, recovery_item_s> rows;  // "folder/name"
        for (const auto& r : raw.all_rows())
            rows[QString::fromStdString(r.folder) + "/" + r.row.name] = r.row;
        auto row = [&](const QString& key) -> const recovery_item_s* {
            const auto it = rows.find(key);
            return it == rows.end() ? nullptr : &it->second;
        };
        QStringList listed;
        for (const auto& [key, item] : rows)
            listed << key;
        const QByteArray all = listed.join(", ").toUtf8();
        QVERIFY2(row("pdf/Annual (draft) Report.pdf"), all.constData());
        QVERIFY2(row("pdf/K\u00f6r.pdf"), all.constData());
        QVERIFY(row("mp3/\u00c4rzte - \u00dcbers Meer.mp3"));
        QVERIFY(row("docx/Quarterly & yearly plan.docx"));
        // The maker goes in front of a model that lacks it; the Exif item is
        // found through the HEIC's item tables.
        QVERIFY2(row("heic/2022-08-09 10.11.12 Apple iPhone 13 mini.heic"), all.constData());
        // Raw files by their header and by their DNG version tag.
        QVERIFY2(row("cr2/2020-02-03 04.05.06 Canon EOS R5.cr2"), all.constData());
        QVERIFY2(row("dng/2022-12-24 18.00.00 Google Pixel 7.dng"), all.constData());
        const recovery_item_s* nef = row("nef/2023-01-02 03.04.05 NIKON D750.nef");
        QVERIFY(nef);
        QCOMPARE(nef->date1, QDateTime(QDate(2023, 1, 2), QTime(3, 4, 5)).toSecsSinceEpoch());

        // A camera's movie by its recording time and camera (the movie box
        // after the media data), a Matroska video by its date and title, a
        // message by its date and decoded subject, RTF and Photoshop files by
        // their titles. Times are stored in UTC and shown in local time.
        auto stamp = [](int64_t t) { return QDateTime::fromSecsSinceEpoch(t).toString("yyyy-MM-dd HH.mm.ss"); };
        const int64_t recorded = QDateTime(QDate(2024, 7, 14), QTime(13, 32, 10), Qt::UTC).toSecsSinceEpoch();
        const recovery_item_s* movie = row("mov/" + stamp(recorded) + " Canon EOS 80D.mov");
        QVERIFY2(movie, all.constData());
        QCOMPARE(movie->date1, recorded);
        const int64_t sent = QDateTime(QDate(2026, 12, 8), QTime(9, 0, 0), Qt::UTC).toSecsSinceEpoch();
        QVERIFY2(row("eml/" + stamp(sent) + " Gr\u00fc\u00dfe aus K\u00f6ln.eml"), all.constData());
        QVERIFY2(row("rtf/Caf\u00e9 \u20ac notes.rtf"), all.constData());
        QVERIFY2(row("psd/Harbour at dusk.psd"), all.constData());
        if (QFileInfo::exists(folder + "/walk.mkv")) {
            const int64_t shot = QDateTime(QDate(2023, 5, 6), QTime(7, 8, 9), Qt::UTC).toSecsSinceEpoch();
            QVERIFY2(row("mkv/" + stamp(shot) + " Beach walk.mkv"), all.constData());
        }

        // The raw file comes back whole, maker note data past its image included.
        const QString out = dir_ + "/camera.nef";
        QFile::remove(out);
        QCOMPARE(raw.recover_file(nef->id, out), 0);
        QCOMPARE(read_all(out), read_all(folder + "/camera.nef"));

        if (!exiftool)
            QSKIP("exiftool is not installed: photos with Exif not checked");
        QVERIFY(row("pdf/Budget_2025 plan.pdf"));
        const recovery_item_s* a = row("jpg/2024-07-14 15.32.10 Canon EOS 80D.jpg");
        const recovery_item_s* b = row("jpg/2024-07-14 15.32.10 Canon EOS 80D (2).jpg");
        const recovery_item_s* c = row("jpg/2021-03-04 05.06.07 Apple iPhone 12.jpg");
        QVERIFY(a && b && c);
        QCOMPARE(a->date1, QDateTime(QDate(2024, 7, 14), QTime(15, 32, 10)).toSecsSinceEpoch());
        QCOMPARE(b->date2, a->date1);
        // Written with its offset from UTC: 05:06:07 at +02:00.
        QCOMPARE(c->date1, QDateTime(QDate(2021, 3, 4), QTime(3, 6, 7), Qt::UTC).toSecsSinceEpoch());

        // A loaded scan file shows the same names.
        const QString sav = dir_ + "/named.sav";
        QCOMPARE(raw.save_results(QFile::encodeName(sav)), 0);
        raw_recovery_c loaded;
        QCOMPARE(loaded.load_results(QFile::encodeName(sav), [](const std::string&, uint64_t* size) {
            *size = uint64_t(1) << 40;
            return true;
        }), image);
        std::set<QString> again;
        for (const auto& r : loaded.all_rows())
            again.insert(QString::fromStdString(r.folder) + "/" + r.row.name);
        for (const auto& [key, item] : rows)
            QVERIFY2(again.count(key), qPrintable(key));
    }
};

QTEST_GUILESS_MAIN(tst_carve_names)
#include "tst_carve_names.moc"
