// The carving engine on generated images: every built-in type found once with
// its exact length wherever it lies, signatures across the engine's block
// boundary, a file cut by the device end, the control block, and the
// configuration file.
#include "carve/carve_samples.h"
#include "engines/carve/carve.h"
#include "platform/byte_source.h"
#include "support/fixtures.h"

#include <QFile>
#include <QtEndian>
#include <QtTest>
#include <cstring>
#include <chrono>
#include <map>
#include <thread>

using namespace carve_test;

namespace {

struct hit_s {
    std::string type;
    int64_t offset;
    int64_t size;
};

void collect(void* user, const char* type, int64_t offset, int64_t size)
{
    static_cast<std::vector<hit_s>*>(user)->push_back({type, offset, size});
}

void collect_pieces(void* user, const char* type, const carve_extent_s* extents, int32_t count, int32_t)
{
    for (int32_t i = 0; i < count; ++i)
        static_cast<std::vector<hit_s>*>(user)->push_back({type, extents[i].offset, extents[i].size});
}

// Zeros that count what is read of them.
class counting_source_c final : public platform::byte_source_c {
public:
    mutable std::atomic<uint64_t> read{0};
    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        const size_t n = offset >= size() ? 0 : static_cast<size_t>(std::min<uint64_t>(length, size() - offset));
        std::memset(buffer, 0, n);
        read += n;
        return static_cast<int64_t>(n);
    }
    uint64_t size() const override { return uint64_t(1) << 30; }
    uint32_t sector_size() const override { return 512; }
    const std::string& name() const override { return name_; }

private:
    std::string name_ = "zeros";
};

}  // namespace

class tst_carve_engine : public QObject {
    Q_OBJECT

    QString dir_;
    std::vector<sample_s> samples_;

    // Installs a configuration text (empty: the built-in defaults).
    void configure(const QString& text)
    {
        const QString path = dir_ + "/Quarvel.conf";
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.toUtf8());
        f.close();
        QCOMPARE(carve_load_config(QFile::encodeName(path).constData()), 0);
    }

    std::vector<hit_s> carve(const QString& image, int* result = nullptr)
    {
        std::vector<hit_s> hits;
        carve_control_s control;
        control.user = &hits;
        control.callback = collect;
        const int r = carve_run(&control, QFile::encodeName(image).constData());
        if (result)
            *result = r;
        return hits;
    }

    // Every planted file found exactly once, at its offset, with its type and
    // length, and nothing else found.
    void expect_exactly(const std::vector<hit_s>& hits, const std::vector<planted_s>& planted)
    {
        std::map<int64_t, hit_s> by_offset;
        for (const auto& h : hits) {
            QVERIFY2(!by_offset.count(h.offset), qPrintable(QString("two files at %1").arg(h.offset)));
            by_offset[h.offset] = h;
        }
        for (const auto& p : planted) {
            const auto it = by_offset.find(static_cast<int64_t>(p.offset));
            QVERIFY2(it != by_offset.end(), qPrintable(QString("%1 at %2 not found").arg(p.type).arg(p.offset)));
            QCOMPARE(QString::fromStdString(it->second.type), p.type);
            QCOMPARE(it->second.size, int64_t(p.bytes.size()));
            by_offset.erase(it);
        }
        for (const auto& [offset, h] : by_offset)
            QFAIL(qPrintable(QString("unexpected %1 at %2, %3 bytes").arg(QString::fromStdString(h.type)).arg(offset).arg(h.size)));
    }

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("carve"));
        QVERIFY(!dir_.isEmpty());
        QString reason;
        if (!make_samples(dir_ + "/samples", &samples_, &reason))
            QSKIP(qPrintable(reason));
        QVERIFY(samples_.size() >= 30);
    }

    void every_type_found_with_its_length_data()
    {
        QTest::addColumn<int>("fill");
        QTest::addColumn<bool>("unaligned");
        QTest::newRow("aligned in random data") << int(background::random) << false;
        QTest::newRow("aligned in zeros") << int(background::zeros) << false;
        QTest::newRow("unaligned in random data, byte level") << int(background::random) << true;
        QTest::newRow("unaligned in zeros, byte level") << int(background::zeros) << true;
    }

    void every_type_found_with_its_length()
    {
        QFETCH(int, fill);
        QFETCH(bool, unaligned);
        configure(unaligned ? "byte_level on\n" : "");
        const QString image = dir_ + "/planted.img";
        const auto planted = write_image(image, samples_, background(fill), unaligned, 11 + fill);
        QVERIFY(!planted.empty());
        expect_exactly(carve(image), planted);
    }

    // Unaligned files are not looked for by default: files on a file system
    // start on cluster boundaries.
    void sector_search_skips_unaligned_starts()
    {
        configure("");
        const QString image = dir_ + "/unaligned.img";
        const auto planted = write_image(image, samples_, background::zeros, true, 5);
        QVERIFY(carve(image).empty());
    }

    void signature_across_the_block_boundary()
    {
        configure("byte_level on\n");
        const QString image = dir_ + "/straddle.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(3 << 20));
        f.close();
        const sample_s* png = nullptr;
        const sample_s* mp4 = nullptr;
        for (const auto& s : samples_) {
            if (s.file == "sample.png")
                png = &s;
            if (s.file == "sample.mp4")
                mp4 = &s;
        }
        QVERIFY(png && mp4);
        // The PNG signature's first three bytes end the first megabyte; the
        // mp4's "ftyp" (four bytes after its start) straddles the second.
        std::vector<planted_s> planted = {{(1u << 20) - 3, "png", png->bytes}, {(2u << 20) - 6, "mp4", mp4->bytes}};
        for (const auto& p : planted)
            QVERIFY(put_bytes(image, p.offset, p.bytes));
        expect_exactly(carve(image), planted);
    }

    void file_cut_by_the_device_end()
    {
        configure("");
        const sample_s* jpg = nullptr;
        for (const auto& s : samples_)
            if (s.file == "qt.jpg")
                jpg = &s;
        QVERIFY(jpg && jpg->bytes.size() > 2000);
        const QString image = dir_ + "/cut.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray(8192, '\0'));
        f.write(jpg->bytes.left(1500));
        f.close();
        const auto hits = carve(image);
        QCOMPARE(hits.size(), size_t(1));
        QCOMPARE(hits[0].type, std::string("jpg"));
        QCOMPARE(hits[0].offset, int64_t(8192));
        QCOMPARE(hits[0].size, int64_t(1500));
    }

    void broken_structures_are_not_reported()
    {
        configure("");
        QByteArray image_bytes(1 << 20, '\0');
        // Headers without bodies: a zip with no central directory, a PNG whose
        // IHDR CRC is wrong, a JPEG without frame, a PDF without end marker
        // followed by a sound GIF that must still be found.
        auto put = [&](int at, const QByteArray& b) { image_bytes.replace(at, b.size(), b); };
        put(4096, QByteArray("PK\x03\x04", 4) + QByteArray(26, '\x01'));
        QByteArray bad_png;
        for (const auto& s : samples_)
            if (s.file == "sample.png")
                bad_png = s.bytes;
        bad_png[20] = char(bad_png[20] ^ 0x40);
        put(8192, bad_png);
        put(16384, QByteArray("\xFF\xD8\xFF\xD9", 4));
        put(20480, QByteArray("%PDF-1.4\n1 0 obj\n"));
        QByteArray gif;
        for (const auto& s : samples_)
            if (s.file == "sample.gif")
                gif = s.bytes;
        put(65536, gif);
        const QString image = dir_ + "/broken.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(image_bytes);
        f.close();
        const auto hits = carve(image);
        // The PDF has no end within the device: it is reported cut at the
        // end, and the GIF inside what it claims is still found.
        QCOMPARE(hits.size(), size_t(2));
        QCOMPARE(hits[0].type, std::string("pdf"));
        QCOMPARE(hits[0].offset, int64_t(20480));
        QCOMPARE(hits[0].size, int64_t((1 << 20) - 20480));
        QCOMPARE(hits[1].type, std::string("gif"));
        QCOMPARE(hits[1].offset, int64_t(65536));
        QCOMPARE(hits[1].size, int64_t(gif.size()));
    }

    const sample_s* sample(const QString& file) const
    {
        for (const auto& s : samples_)
            if (s.file == file)
                return &s;
        return nullptr;
    }

    // The newer containers, documents and fonts: each cut by the device end
    // is reported cut there under its type (a write-ahead log up to its last
    // whole frame), and each with its structure broken in the way the
    // parser checks is not reported at all.
    void cut_and_lookalike_files_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("type");
        for (const char* f : {"sample.ts", "sample.mts", "sample.mkv", "sample-live.mkv", "sample.webm",
                              "sample.wmv", "sample.wma", "sample.mpg", "sample.aif", "sample.mid", "sample.psd",
                              "sample-rle.psd", "sample.rtf", "sample.pst", "sample.kdbx", "sample.wal",
                              "sample.ttf", "sample.woff", "sample.ico", "sample.djvu", "sample.raf", "sample.cr3",
                              "sample.aac", "sample.ac3", "sample.amr", "sample.ape", "sample.wv", "sample.au",
                              "sample.flv", "sample.swf", "sample-z.swf", "sample.opus", "sample.ogv", "sample.m4v",
                              "sample.avif", "sample.eml", "sample.mbox", "sample.vcf", "sample.ics", "sample.pem",
                              "sample.torrent", "sample.icns", "sample.jp2", "sample.jxl", "sample.emf", "sample.wmf",
                              "sample.pfb", "sample.blend", "sample.zst", "sample.cab", "sample.chm", "sample.cpio",
                              "sample.evtx", "sample.lnk", "sample.class", "sample.dex"}) {
            const QString file(f);
            QTest::newRow(f) << file << file.mid(file.lastIndexOf('.') + 1);
        }
    }

    void cut_and_lookalike_files()
    {
        QFETCH(QString, file);
        QFETCH(QString, type);
        const sample_s* s = sample(file);
        if (!s)
            QSKIP("not made here (its maker, ffmpeg, zstd or javac, is not installed)");
        configure("");
        const QByteArray& bytes = s->bytes;
        // Cut by the device end.
        // (A metafile of a few dozen bytes keeps its whole header.)
        const qsizetype cut = bytes.size() - std::min<qsizetype>(type == "wmf" ? 6 : bytes.size() / 3, 40);
        const QString image = dir_ + "/cut-new.img";
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(QByteArray(8192, '\0'));
            f.write(bytes.left(cut));
        }
        auto hits = carve(image);
        // The tail of a cut frame stream is found again where its frames
        // meet a sector start, as any file inside a cut one is.
        for (size_t i = 1; i < hits.size(); ++i)
            QVERIFY(type == "ac3" && hits[i].type == "ac3" && hits[i].offset > 8192);
        QVERIFY(!hits.empty());
        QCOMPARE(QString::fromStdString(hits[0].type), type);
        QCOMPARE(hits[0].offset, int64_t(8192));
        const int64_t frame = type == "wal" ? 24 + (qFromBigEndian<quint32>(bytes.constData() + 8)) : 0;
        QCOMPARE(hits[0].size, frame ? 32 + (cut - 32) / frame * frame : int64_t(cut));

        // A lookalike: the same bytes with what the parser checks broken.
        QByteArray broken = bytes;
        auto put = [&](qsizetype at, const QByteArray& b) { broken.replace(at, b.size(), b); };
        auto find_at = [&](const char* needle, qsizetype size) { return broken.indexOf(QByteArray(needle, size)); };
        if (type == "ts" || type == "mts") {
            // No program association table's CRC holds.
            const qsizetype packet = type == "ts" ? 188 : 192;
            int tables = 0;
            for (qsizetype at = packet - 188; at + 188 <= broken.size(); at += packet)
                if (broken[at] == 0x47 && (broken[at + 1] & 0x5F) == 0x40 && broken[at + 2] == 0) {
                    broken[at + 9] = char(broken[at + 9] ^ 0x10);
                    ++tables;
                }
            QVERIFY(tables > 0);
        } else if (file == "sample-live.mkv" || type == "mkv") {
            put(find_at("matroska", 8), "matrosky");
        } else if (type == "webm") {
            put(find_at("webm", 4), "webx");
        } else if (type == "wmv" || type == "wma") {
            broken[24] = char(broken[24] + 1);  // the header's objects no longer fill it
        } else if (type == "mpg") {
            broken = QByteArray("\0\0\x01\xBA", 4) + QByteArray(400, 'x');
        } else if (type == "aif") {
            broken[7] = char(broken[7] + 2);
        } else if (type == "mid") {
            broken[broken.size() - 1] = 1;  // no end-of-track event
        } else if (type == "psd") {
            broken[23] = 7;  // no such depth
        } else if (type == "rtf") {
            broken[20] = 0;
        } else if (type == "pst") {
            broken[512] = 0;
        } else if (type == "kdbx") {
            broken[12] = 12;  // no such header field
        } else if (type == "wal") {
            broken[16] = char(broken[16] ^ 1);  // the header checksum no longer holds
        } else if (type == "ttf") {
            broken[7] = char(broken[7] + 16);
        } else if (type == "woff") {
            broken[15] = 1;
        } else if (type == "ico") {
            broken[6 + 12] = 10;  // the first image inside the directory
            broken[6 + 13] = 0;
        } else if (type == "djvu") {
            broken[11] = char(broken[11] + 2);
        } else if (type == "raf") {
            broken[87] = char(broken[87] + 1);
        } else if (type == "cr3" || type == "m4v" || type == "avif") {
            put(find_at("moov", 4), "moox");
        } else if (type == "aac") {
            // The second frame's sync word, where the first frame's length says.
            const auto* b = reinterpret_cast<const uint8_t*>(bytes.constData());
            broken[((b[3] & 3) << 11) | (b[4] << 3) | (b[5] >> 5)] = 0;
        } else if (type == "ac3") {
            static const int kbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
            broken[kbps[(uint8_t(bytes[4]) & 0x3F) >> 1] * 4] = 0;  // 48 kHz: the second frame's sync word
        } else if (type == "amr") {
            broken[6] = char(0xFF);  // a first frame flagged bad
        } else if (type == "ape" || type == "wv") {
            broken[type == "ape" ? 4 : 8] = 0;  // no such version
        } else if (type == "au") {
            put(12, QByteArray(4, '\0'));  // no encoding
        } else if (type == "flv") {
            broken[8] = 1;  // the header's length
        } else if (type == "swf") {
            broken[3] = 0;  // version 0
        } else if (type == "opus" || type == "ogv") {
            broken[22] = char(broken[22] ^ 1);  // the first page's CRC
        } else if (type == "eml" || type == "mbox" || type == "vcf" || type == "ics" || type == "pem") {
            broken[20] = 0;  // no text
        } else if (type == "torrent") {
            broken[broken.size() - 1] = 'x';  // the dictionary never closes
        } else if (type == "icns") {
            broken[7] = char(broken[7] + 1);  // the elements no longer fill the length
        } else if (type == "jp2" || type == "jxl") {
            put(16, "ftyq");
        } else if (type == "emf") {
            broken[40] = 'X';
        } else if (type == "wmf") {
            broken[20] = char(broken[20] ^ 1);  // the header checksum
        } else if (type == "pfb") {
            put(6, "xx");  // no PostScript in the first segment
        } else if (type == "blend") {
            put(find_at("ENDB", 4), "ENDX");
        } else if (type == "zst") {
            broken[4] = char(broken[4] | 0x08);  // the reserved bit
        } else if (type == "cab") {
            broken[24] = 2;
        } else if (type == "chm") {
            broken[4] = 9;
        } else if (type == "cpio") {
            broken[5] = '9';
        } else if (type == "evtx") {
            broken[124] = char(broken[124] ^ 1);  // the header checksum
        } else if (type == "lnk") {
            broken[23] = char(0xF8);
        } else if (type == "class") {
            broken[7] = 20;  // a version no compiler wrote (fat Mach-O files begin alike)
        } else if (type == "dex") {
            broken[36] = 0x71;
        }
        QVERIFY(broken != bytes);
        {
            QFile f(image);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(QByteArray(8192, '\0'));
            f.write(broken);
            f.write(QByteArray(65536, '\0'));
        }
        hits = carve(image);
        for (const auto& h : hits)
            QVERIFY2(h.offset != 8192, qPrintable(QString("%1, %2 bytes").arg(QString::fromStdString(h.type)).arg(h.size)));
    }

    // Signatures at every sector followed by junk, and real files with
    // bytes flipped: the run ends, nothing reported reaches past the device.
    void hostile_bytes_data()
    {
        QTest::addColumn<bool>("byte_level");
        QTest::newRow("sector starts") << false;
        QTest::newRow("byte level") << true;
    }

    void hostile_bytes()
    {
        QFETCH(bool, byte_level);
        configure(byte_level ? "byte_level on\n" : "");
        std::mt19937 rng(99);
        const char* const keys[] = {"\xFF\xD8\xFF", "\x89PNG\r\n\x1A\n", "GIF89a", "BM", "II*", "MM", "RIFF",
                                    "%PDF-1.", "PK\x03\x04", "\x1F\x8B\x08", "BZh9", "\xFD" "7zXZ", "7z\xBC\xAF\x27\x1C",
                                    "Rar!\x1A\x07", "SQLite format 3", "ID3", "\xFF\xFB", "fLaC", "OggS",
                                    "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", "MZ", "\x7F" "ELF", "\x47\x40",
                                    "\x1A\x45\xDF\xA3", "\x30\x26\xB2\x75\x8E\x66\xCF\x11", "FORM", "MThd",
                                    "AT&TFORM", "8BPS", "{\\rtf1", "!BDN", "\x03\xD9\xA2\x9A\x67\xFB\x4B\xB5",
                                    "\x37\x7F\x06\x82", "OTTO", "wOFF", "wOF2", "FUJIFILMCCD-RAW "};
        QByteArray bytes(4 << 20, '\0');
        for (auto& c : bytes)
            c = char(rng() & 0xFF);
        for (qsizetype at = 0; at + 600 < bytes.size(); at += 512) {
            const char* key = keys[rng() % (sizeof keys / sizeof *keys)];
            QByteArray k(key, qsizetype(std::strlen(key) ? std::strlen(key) : 1));
            if (std::string(key) == "II*" || std::string(key) == "MM")
                k += QByteArray(std::string(key) == "MM" ? "\0*" : "\0", std::string(key) == "MM" ? 2 : 1);
            if (rng() % 4 == 0)
                k = QByteArray(4, '\0') + "ftyp";
            bytes.replace(at, k.size(), k);
            // Small numbers where lengths and counts usually are.
            for (int i = 0; i < 6; ++i)
                bytes[at + k.size() + qsizetype(rng() % 40)] = char(rng() % 4);
        }
        // Real files with a few bytes flipped.
        qsizetype at = 1 << 20;
        for (const auto& s : samples_) {
            QByteArray damaged = s.bytes;
            for (int i = 0; i < 3; ++i)
                damaged[qsizetype(rng() % uint32_t(damaged.size()))] ^= char(1 + rng() % 255);
            if (at + damaged.size() > bytes.size())
                break;
            bytes.replace(at, damaged.size(), damaged);
            at = (at + damaged.size() + 1023) / 512 * 512;
        }
        const QString image = dir_ + "/hostile.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        int result = -2;
        const auto hits = carve(image, &result);
        QCOMPARE(result, 0);
        for (const auto& h : hits) {
            QVERIFY(h.offset >= 0 && h.size > 0);
            QVERIFY(h.offset + h.size <= bytes.size());
        }
    }

    // The device stops answering part way (here: its image shrinks under
    // the run). The blocks that cannot be read are passed over, the files
    // before them are still reported, and the run ends normally.
    void device_that_stops_answering()
    {
        configure("");
        QByteArray gif;
        for (const auto& s : samples_)
            if (s.file == "sample.gif")
                gif = s.bytes;
        const QString image = dir_ + "/failing.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(4 << 20));
        f.close();
        for (int at : {512 << 10, 1536 << 10, 3584 << 10})
            QVERIFY(put_bytes(image, uint64_t(at), gif));
        struct shrink_s {
            QString image;
            std::vector<hit_s> hits;
        } state{image, {}};
        carve_control_s control;
        control.user = &state;
        control.callback = [](void* user, const char* type, int64_t offset, int64_t size) {
            auto* s = static_cast<shrink_s*>(user);
            s->hits.push_back({type, offset, size});
            if (s->hits.size() == 1)
                QFile::resize(s->image, (2 << 20) + 100);
        };
        QCOMPARE(carve_run(&control, QFile::encodeName(image).constData()), 0);
        QCOMPARE(state.hits.size(), size_t(2));
        QCOMPARE(state.hits[1].offset, int64_t(1536 << 10));
        QCOMPARE(control.progress.load(), 1.0);
    }

    // A file whose end was overwritten must not be reported as running on
    // to the end of the next file of its type.
    void lost_end_does_not_swallow_the_next_file()
    {
        configure("");
        QByteArray pdf, xz;
        for (const auto& s : samples_) {
            if (s.file == "sample.pdf")
                pdf = s.bytes;
            if (s.file == "sample.xz")
                xz = s.bytes;
        }
        QVERIFY(!pdf.isEmpty() && !xz.isEmpty());
        const QString image = dir_ + "/lost-end.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(1 << 20));
        f.close();
        QByteArray pdf_without_end = pdf;
        pdf_without_end.replace("%%EOF", "%%XXX");
        QByteArray xz_without_footer = xz.left(xz.size() - 12);
        QVERIFY(put_bytes(image, 4096, pdf_without_end));
        QVERIFY(put_bytes(image, 65536, pdf));
        QVERIFY(put_bytes(image, 131072, xz_without_footer));
        QVERIFY(put_bytes(image, 196608, xz));
        QByteArray bz2, zip;
        for (const auto& s : samples_) {
            if (s.file == "sample.bz2")
                bz2 = s.bytes;
            if (s.file == "sample.zip")
                zip = s.bytes;
        }
        QVERIFY(put_bytes(image, 262144, bz2.left(bz2.size() - 12)));
        QVERIFY(put_bytes(image, 327680, bz2));
        // A zip whose directory is gone, and another right behind it.
        const QByteArray zip_entries = zip.left(zip.indexOf("PK\x01\x02"));
        QVERIFY(put_bytes(image, 393216, zip_entries + zip));
        expect_exactly(carve(image), {{65536, "pdf", pdf}, {196608, "xz", xz}, {327680, "bz2", bz2}});
    }

    // The workers that judge ahead of the scan hold still with it: a pause
    // is what someone asks for to spare a failing disk.
    void pause_holds_the_workers()
    {
        configure("threads 2\n");
        counting_source_c zeros;
        carve_control_s control;
        control.pause = 1;
        std::thread run([&] { carve_run_source(&control, zeros, nullptr); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        QCOMPARE(zeros.read.load(), uint64_t(0));
        control.pause = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (zeros.read.load() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        control.pause = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // what was under way ends
        const uint64_t paused_at = zeros.read.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const uint64_t later = zeros.read.load();
        control.stop = 1;
        run.join();
        QVERIFY(paused_at > 0 && paused_at < zeros.size());
        QCOMPARE(later, paused_at);
    }

    void pause_stop_and_progress()
    {
        configure("");
        const QString image = dir_ + "/large.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(qint64(8) << 30));  // sparse
        f.close();
        std::vector<hit_s> hits;
        carve_control_s control;
        control.user = &hits;
        control.callback = collect;
        control.pause = 1;
        std::atomic<int> result{-2};
        const QByteArray path = QFile::encodeName(image);
        std::thread run([&] { result = carve_run(&control, path.constData()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        QCOMPARE(control.progress.load(), 0.0);
        QCOMPARE(result.load(), -2);
        control.pause = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (control.progress.load() == 0.0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const double moving = control.progress.load();
        QVERIFY(moving > 0.0);
        control.stop = 3;
        run.join();
        QCOMPARE(result.load(), 1);
        QVERIFY(control.progress.load() < 1.0);
        // Nothing stops the next run but its own control block.
        carve_control_s fresh;
        const QString small = dir_ + "/small.img";
        QFile s(small);
        QVERIFY(s.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(s.resize(1 << 20));
        s.close();
        QCOMPARE(carve_run(&fresh, QFile::encodeName(small).constData()), 0);
        QCOMPARE(fresh.progress.load(), 1.0);
    }

    // Workers judge the chunks ahead of the scan; the scan alone reports, so
    // the files, their order and the progress are the same with any number
    // of threads, also for files that straddle a chunk.
    void threads_change_nothing_but_speed()
    {
        std::vector<sample_s> many;
        qint64 total = 0;
        // Mail carries no length, and AMR frames have a one-byte header: among
        // old random bytes their end is a guess, sound once
        // (every_type_found_with_its_length) but not over and over.
        while (total < (qint64(40) << 20))
            for (const auto& s : samples_) {
                if (s.type == "eml" || s.type == "mbox" || s.type == "amr")
                    continue;
                many.push_back(s);
                total += s.bytes.size() + 4096;
            }
        const QString image = dir_ + "/threads.img";
        const auto planted = write_image(image, many, background::random, false, 23);
        QVERIFY(!planted.empty());
        std::vector<std::vector<hit_s>> runs;
        for (const char* threads : {"threads 1\n", "threads 2\n", "threads 5\n", "threads 0\n"}) {
            configure(threads);
            std::vector<hit_s> hits;
            carve_control_s control;
            control.user = &hits;
            control.callback = collect;
            QCOMPARE(carve_run_pieces(&control, QFile::encodeName(image).constData(), collect_pieces), 0);
            QCOMPARE(control.progress.load(), 1.0);
            runs.push_back(std::move(hits));
        }
        expect_exactly(runs[0], planted);
        for (size_t r = 1; r < runs.size(); ++r) {
            QCOMPARE(runs[r].size(), runs[0].size());
            for (size_t i = 0; i < runs[0].size(); ++i) {
                QCOMPARE(runs[r][i].offset, runs[0][i].offset);
                QCOMPARE(runs[r][i].size, runs[0][i].size);
                QCOMPARE(runs[r][i].type, runs[0][i].type);
            }
        }
    }

    // A worker matches a start's keys, and hands it to the scan, from its
    // first bytes kept apart: a parser reads on through the same cache, and
    // a file longer than the cache (a PDF searched for its end) left other
    // bytes where they lay, so the scan passed over the file with threads.
    void long_file_found_with_threads()
    {
        const QByteArray pdf = "%PDF-1.4\n" + QByteArray(30 << 20, 'a') + "\n%%EOF\n";
        const QString image = dir_ + "/long.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(qint64(8) << 20));  // the workers' first chunk begins at 8 MiB
        QVERIFY(f.seek(qint64(8) << 20) && f.write(pdf) == pdf.size());
        QVERIFY(f.resize(f.size() + (qint64(1) << 20)));
        f.close();
        for (const char* threads : {"threads 1\n", "threads 2\n"}) {
            configure(threads);
            const auto hits = carve(image);
            QVERIFY2(hits.size() == 1, threads);
            QCOMPARE(hits[0].offset, int64_t(8) << 20);
            QCOMPARE(hits[0].size, int64_t(pdf.size()));
        }
    }

    void configuration_switches_types_and_bounds()
    {
        const QString image = dir_ + "/config.img";
        const auto planted = write_image(image, samples_, background::zeros, false, 21);
        configure("# only some\ntype jpg off\ntype png on 1000\ntype zip on\nnonsense line here\ntype nosuch off\n");
        const auto hits = carve(image);
        std::vector<planted_s> expected;
        for (const auto& p : planted)
            if (p.type != "jpg" && !(p.type == "png" && p.bytes.size() > 1000))
                expected.push_back(p);
        QVERIFY(expected.size() < planted.size());
        expect_exactly(hits, expected);
        // A missing file: back to the built-in defaults.
        QCOMPARE(carve_load_config(QFile::encodeName(dir_ + "/no-such.conf").constData()), -1);
        expect_exactly(carve(image), planted);
    }

    void user_types()
    {
        QByteArray bytes(256 * 1024, '\0');
        const QByteArray note = "NOTE{ a user's own record }ETON";
        bytes.replace(4096, note.size(), note);
        // A header whose footer never comes within the bound: not a file.
        bytes.replace(8192, 5, "NOTE{");
        // A type without footer: its maximum size.
        bytes.replace(65536, 4, "\xCA\xFE\xBA\xBE");
        bytes.replace(200 * 1024, 4, "\xCA\xFE\xBA\xBE");
        const QString image = dir_ + "/user.img";
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
        f.close();
        configure("user note 1K NOTE{ }ETON\nuser cafe 100K \\xCA\\xFE\\xBA\\xBE\nuser bad 1K \\xZZ\n");
        const auto hits = carve(image);
        QCOMPARE(hits.size(), size_t(3));
        QCOMPARE(hits[0].type, std::string("note"));
        QCOMPARE(hits[0].offset, int64_t(4096));
        QCOMPARE(hits[0].size, int64_t(note.size()));
        QCOMPARE(hits[1].type, std::string("cafe"));
        QCOMPARE(hits[1].offset, int64_t(65536));
        QCOMPARE(hits[1].size, int64_t(100 * 1024));
        // The second one runs into the device end: cut there.
        QCOMPARE(hits[2].offset, int64_t(200 * 1024));
        QCOMPARE(hits[2].size, int64_t(56 * 1024));
    }

    void shipped_configuration_lists_every_type()
    {
        const QString shipped = source_dir() + "/data/Quarvel.conf";
        QFile f(shipped);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        for (const char* type : {"jpg", "png", "gif", "bmp", "tif", "webp", "pdf", "zip", "docx", "xlsx", "pptx",
                                 "odt", "ods", "gz", "bz2", "xz", "7z", "rar", "sqlite", "wav", "avi", "mp3", "mp4",
                                 "mov", "flac", "ogg", "doc", "xls", "exe", "elf"})
            QVERIFY2(text.contains(QRegularExpression(QString("\\ntype %1 on ").arg(type))), type);
        QCOMPARE(carve_load_config(QFile::encodeName(shipped).constData()), 0);
    }

    // Plain text is off unless asked for; on, each run is typed by its first
    // lines and ends where zeros begin, or at its last whole line when old
    // data follows it; a run too short to be a file is left out.
    void plain_text()
    {
        QByteArray image(160 * 1024, '\0');
        std::mt19937 rng(9);
        auto put = [&](int at, const QByteArray& b) { image.replace(at, b.size(), b); };
        const QByteArray csv = QByteArray("name,size,kind\n").repeated(1) + QByteArray("report.pdf,1200,document\n").repeated(9);
        const QByteArray html = "<!DOCTYPE html>\n<html><body>" + QByteArray("<p>recovered words</p>\n").repeated(6) + "</body></html>\n";
        const QByteArray json = "{\n  \"files\": [" + QByteArray("\"a.txt\", ").repeated(20) + "\"b.txt\"]\n}";
        QByteArray utf16("\xFF\xFE", 2);
        for (QChar c : QString("Gr\u00fc\u00dfe aus dem Notizbuch, Zeile f\u00fcr Zeile.\r\n").repeated(3))
            utf16 += QByteArray(reinterpret_cast<const char*>(&c), 2);
        const QByteArray note = QString("Zw\u00f6lf Boxk\u00e4mpfer jagen Viktor quer \u00fcber den Sylter Deich.\n").repeated(4).toUtf8();
        put(4096, csv);
        put(16384, html);
        put(32768, json);
        put(49152, utf16);
        put(65536, "too short to be a file\n");
        // Old data after a note, beginning with a few letters of an old line.
        QByteArray old = "tail of an old li";
        for (int i = 0; i < 4000; ++i)
            old += char(rng() & 0xFF);
        put(81920, note + old);
        const QString path = dir_ + "/text.img";
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(image);
        }
        configure("");
        QVERIFY(carve(path).empty());
        configure("type txt on\ntype csv on\ntype html on\ntype xml on\ntype json on\n");
        const std::vector<planted_s> want = {{4096, "csv", csv}, {16384, "html", html}, {32768, "json", json},
                                             {49152, "txt", utf16}, {81920, "txt", note}};
        expect_exactly(carve(path), want);
    }

    // A text written right before another file, with no blank space between,
    // ends at the sector where that file begins, even when the file begins
    // like text itself (an uncompressed PDF, an RTF). A text that only names
    // such a header, inside a sector or at its start, is not cut, and old
    // bytes before such a file are no text. Once in
    // the chunk the scan reads and once in one a worker judges ahead of it.
    void text_ends_where_a_file_begins()
    {
        const qsizetype chunk = 8 << 20;
        QByteArray image(chunk + 64 * 1024, '\0');
        auto put = [&](qsizetype at, const QByteArray& b) { image.replace(at, b.size(), b); };
        // A text of exactly sectors sectors, its lines whole.
        auto note = [](const QByteArray& line, int sectors) {
            QByteArray t = line.repeated(sectors * 512 / line.size() + 1).left(sectors * 512 - 1);
            return t + "\n";
        };
        const QByteArray pdf = "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                               "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
                               "trailer\n<< /Size 3 /Root 1 0 R >>\n%%EOF\n";
        const sample_s* rtf = sample("sample.rtf");
        QVERIFY(rtf);
        const QByteArray before_pdf = note("Notes from the trip, written day by day.\n", 3);
        const QByteArray before_rtf = note("A shopping list for the weekend and the week after.\n", 2);
        QByteArray mentions = note("The printer wrote every page as a file of its own.\n", 4);
        mentions.replace(700, 30, "the %PDF-1.7 header it wrote, ");
        mentions.replace(1024, 27, "%PDF-1.4 is what it wrote.\n");
        // Old random bytes that read as UTF-16 without a byte order mark
        // are no text for a file to end.
        std::mt19937 rng(5);
        QByteArray noise("'\0", 2);
        while (noise.size() < 1536)
            noise += char(rng() & 0xFF) + QByteArray(1, char(0x20 + rng() % 0xDF));
        std::vector<planted_s> want;
        for (qsizetype base : {qsizetype(0), chunk}) {
            const uint64_t b = static_cast<uint64_t>(base);
            put(base + 4096, mentions);
            put(base + 16384, before_pdf);
            put(base + 16384 + before_pdf.size(), pdf);
            put(base + 32768, before_rtf);
            put(base + 32768 + before_rtf.size(), rtf->bytes);
            want.push_back({b + 4096, "txt", mentions});
            want.push_back({b + 16384, "txt", before_pdf});
            want.push_back({b + 16384 + before_pdf.size(), "pdf", pdf});
            want.push_back({b + 32768, "txt", before_rtf});
            want.push_back({b + 32768 + before_rtf.size(), "rtf", rtf->bytes});
            put(base + 49152, noise);
            put(base + 49152 + noise.size(), pdf);
            want.push_back({b + 49152 + noise.size(), "pdf", pdf});
        }
        const QString path = dir_ + "/text-then-file.img";
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(image);
        }
        configure("threads 2\ntype txt on\n");
        expect_exactly(carve(path), want);
    }

    void unreadable_device()
    {
        carve_control_s control;
        QCOMPARE(carve_run(&control, "/no/such/device"), -1);
        QVERIFY(carve_open("/no/such/device") == nullptr);
        QCOMPARE(carve_seek(nullptr, 0, 0), int64_t(-1));
        carve_close(nullptr);
    }

    void cleanupTestCase() { carve_load_config(nullptr); }
};

QTEST_GUILESS_MAIN(tst_carve_engine)
#include "tst_carve_engine.moc"
