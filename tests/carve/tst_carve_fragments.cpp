// JPEGs in two pieces: pictures made by ImageMagick and cjpeg (baseline,
// progressive, with restart markers) cut at cluster boundaries with other
// data between the pieces; a wrong continuation that decodes too; a second
// piece that is missing; which whole files are kept without decoding.
#include "engines/carve/carve.h"
#include "engines/carve/jpeg_decoder.h"
#include "support/fixtures.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>
#include <algorithm>
#include <cstring>
#include <random>

namespace {

constexpr int cluster = 4096;

struct found_s {
    std::string type;
    std::vector<carve_extent_s> extents;
    bool partial = false;
};

void on_file(void* user, const char* type, int64_t offset, int64_t size)
{
    static_cast<std::vector<found_s>*>(user)->push_back({type, {{offset, size}}, false});
}

void on_pieces(void* user, const char* type, const carve_extent_s* extents, int32_t count, int32_t partial)
{
    static_cast<std::vector<found_s>*>(user)->push_back(
        {type, std::vector<carve_extent_s>(extents, extents + count), partial != 0});
}

QByteArray pad(QByteArray bytes)
{
    bytes.append(QByteArray((cluster - bytes.size() % cluster) % cluster, '\0'));
    return bytes;
}

QByteArray filler(const QString& kind, int clusters, uint32_t seed)
{
    std::mt19937 rng(seed);
    QByteArray out;
    if (kind == "zeros")
        return QByteArray(clusters * cluster, '\0');
    while (out.size() < clusters * cluster) {
        if (kind == "text")
            out += "The quick brown fox jumps over the lazy dog. 0123456789\n";
        else
            out += char(rng() & 0xFF);
    }
    return out.left(clusters * cluster);
}

}  // namespace

class tst_carve_fragments : public QObject {
    Q_OBJECT

    QString dir_;
    QString convert_, cjpeg_;
    QMap<QString, QByteArray> jpegs_;

    QByteArray run_tool(const QString& program, const QStringList& args)
    {
        QProcess p;
        p.start(program, args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return {};
        return p.readAllStandardOutput();
    }

    // A picture of plasma by ImageMagick as PPM; neg_from >= 0 turns its
    // rows from there on negative.
    QString picture(const QString& name, int seed, int w, int h, int neg_from = -1)
    {
        const QString path = dir_ + "/" + name + ".ppm";
        QStringList args{"-seed", QString::number(seed), "-size", QString("%1x%2").arg(w).arg(h), "plasma:"};
        if (neg_from >= 0)
            args << "(" << "+clone" << "-crop" << QString("%1x%2+0+%3").arg(w).arg(h - neg_from).arg(neg_from)
                 << "-negate" << ")" << "-geometry" << QString("+0+%1").arg(neg_from) << "-composite";
        args << "ppm:" + path;
        run_tool(convert_, args);
        return path;
    }

    QByteArray cjpeg(const QString& ppm, const QStringList& options)
    {
        return run_tool(cjpeg_, options + QStringList{ppm});
    }

    std::vector<found_s> carve(const QString& image, const QString& config = {})
    {
        const QString conf = dir_ + "/Quarvel.conf";
        QFile f(conf);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(config.toUtf8());
        f.close();
        carve_load_config(QFile::encodeName(conf).constData());
        std::vector<found_s> found;
        carve_control_s control;
        control.user = &found;
        control.callback = on_file;
        carve_run_pieces(&control, QFile::encodeName(image).constData(), on_pieces);
        return found;
    }

    bool write(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
    }

    // The bytes the extents name on the image.
    static QByteArray gather(const QByteArray& image, const found_s& f)
    {
        QByteArray out;
        for (const auto& e : f.extents)
            out += image.mid(e.offset, e.size);
        return out;
    }

private slots:
    void initTestCase()
    {
        dir_ = QString::fromStdString(test_support::make_temp_dir("fragments"));
        convert_ = QStandardPaths::findExecutable("convert");
        cjpeg_ = QStandardPaths::findExecutable("cjpeg");
        if (convert_.isEmpty() || cjpeg_.isEmpty())
            QSKIP("ImageMagick's convert and libjpeg-turbo's cjpeg are needed (imagemagick, libjpeg-turbo-progs)");
        const QString a = picture("a", 7, 480, 360);
        const QString b = picture("b", 8, 480, 400);
        jpegs_["baseline"] = run_tool(convert_, {a, "-quality", "88", "jpg:-"});
        jpegs_["progressive"] = cjpeg(a, {"-progressive", "-quality", "85"});
        jpegs_["restart"] = cjpeg(a, {"-restart", "1", "-optimize"});
        jpegs_["grey"] = run_tool(convert_, {a, "-colorspace", "Gray", "-quality", "80", "jpg:-"});
        jpegs_["other"] = cjpeg(b, {"-quality", "85"});
        for (auto it = jpegs_.begin(); it != jpegs_.end(); ++it)
            QVERIFY2(it.value().size() > 4 * cluster, qPrintable(it.key() + " was not made"));
    }

    void two_pieces_come_back_whole_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("between");
        QTest::addColumn<int>("cut");  // clusters in the first piece
        QTest::addColumn<int>("gap");  // clusters between the pieces
        QTest::newRow("baseline, random") << "baseline" << "random" << 2 << 5;
        QTest::newRow("baseline, text") << "baseline" << "text" << 3 << 1;
        QTest::newRow("baseline, zeros") << "baseline" << "zeros" << 1 << 12;
        QTest::newRow("baseline, another JPEG") << "baseline" << "jpeg" << 2 << 0;
        QTest::newRow("progressive, random") << "progressive" << "random" << 4 << 3;
        QTest::newRow("progressive, another JPEG") << "progressive" << "jpeg" << 2 << 0;
        QTest::newRow("progressive, cut between two scans") << "progressive" << "zeros" << 2 << 1;
        QTest::newRow("restart markers, text") << "restart" << "text" << 2 << 7;
        QTest::newRow("grey, random") << "grey" << "random" << 3 << 40;
    }

    // The picture's pieces around the gap; the other JPEG (when between is
    // "jpeg") fills the gap and must be found whole too.
    void two_pieces_come_back_whole()
    {
        QFETCH(QString, kind);
        QFETCH(QString, between);
        QFETCH(int, cut);
        QFETCH(int, gap);
        const QByteArray jpeg = jpegs_[kind];
        const QByteArray other = pad(jpegs_["other"]);
        const QByteArray gap_bytes = between == "jpeg" ? other + filler("random", gap, 3) : filler(between, gap, 3);
        QByteArray image = filler("random", 2, 1);
        const int64_t at = image.size();
        image += jpeg.left(cut * cluster) + gap_bytes;
        const int64_t second = image.size();
        image += pad(jpeg.mid(cut * cluster)) + filler("random", 3, 2);
        const QString path = dir_ + "/two.img";
        QVERIFY(write(path, image));
        const auto found = carve(path);
        bool seen = false, other_seen = false;
        for (const auto& f : found) {
            QCOMPARE(QString::fromStdString(f.type), QString("jpg"));
            if (f.extents[0].offset == at) {
                seen = true;
                QVERIFY(!f.partial);
                QCOMPARE(int(f.extents.size()), 2);
                QCOMPARE(f.extents[1].offset, second);
                QVERIFY(gather(image, f) == jpeg);
            } else if (between == "jpeg" && f.extents[0].offset == at + cut * cluster) {
                other_seen = true;
                QCOMPARE(int(f.extents.size()), 1);
                QVERIFY(gather(image, f) == jpegs_["other"]);
            } else {
                QFAIL(qPrintable(QString("unexpected file at %1").arg(f.extents[0].offset)));
            }
        }
        QVERIFY(seen);
        QCOMPARE(other_seen, between == "jpeg");
    }

    // Workers judge the chunks ahead, second pieces searched for included,
    // and the scan follows their walk past the first piece: in the gap lies
    // a text document that reads as entropy-coded data. What it finds stays
    // the same with any number of threads, also across a chunk's edge, and
    // when the run's time for searching is spent (the workers' pieces are
    // then not the scan's to take).
    void pieces_are_the_same_with_threads_data()
    {
        QTest::addColumn<QString>("budget");
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("fragmented");
        QTest::newRow("time to search") << "" << 49 << 24;
        QTest::newRow("no time to search") << "fragment_time 2 0\n" << 33 << 0;
    }

    void pieces_are_the_same_with_threads()
    {
        QFETCH(QString, budget);
        QFETCH(int, files);
        QFETCH(int, fragmented);
        const QByteArray pdf = pad("%PDF-1.4\n1 0 obj\n<< >>\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n");
        QByteArray image = filler("random", 2040, 1);  // the first worker's chunk begins at 8 MiB
        for (int i = 0; i < 24; ++i) {
            const QByteArray jpeg = jpegs_[i % 3 == 2 ? "progressive" : "baseline"];
            image += jpeg.left(2 * cluster) + pdf + filler("zeros", 1 + i % 3, 0);
            image += pad(jpeg.mid(2 * cluster)) + filler("random", 2, 40 + i);
        }
        image += jpegs_["baseline"].left(3 * cluster) + filler("random", 30, 8);  // no second piece
        const QString path = dir_ + "/threads.img";
        QVERIFY(write(path, image));
        const auto alone = carve(path, budget + "threads 1\n");
        const auto pooled = carve(path, budget + "threads 2\n");
        QCOMPARE(int(alone.size()), files);
        QCOMPARE(int(std::count_if(alone.begin(), alone.end(), [](const found_s& f) { return f.extents.size() == 2; })),
                 fragmented);
        QVERIFY(alone.back().partial);
        QCOMPARE(pooled.size(), alone.size());
        for (size_t i = 0; i < alone.size(); ++i) {
            QCOMPARE(pooled[i].partial, alone[i].partial);
            QCOMPARE(pooled[i].extents.size(), alone[i].extents.size());
            for (size_t k = 0; k < alone[i].extents.size(); ++k) {
                QCOMPARE(pooled[i].extents[k].offset, alone[i].extents[k].offset);
                QCOMPARE(pooled[i].extents[k].size, alone[i].extents[k].size);
            }
        }
    }

    // A continuation that decodes to the end of the image but is wrong: the
    // same picture with its lower part negated, encoded the same way, so its
    // data is the real file's up to there. It lies nearer; the seam tells.
    void the_smoother_seam_wins()
    {
        // The negated rows begin just after a cluster boundary, so the row
        // after the cut already shows the seam.
        const QByteArray real = cjpeg(picture("a", 7, 480, 360), {"-quality", "90"});
        QVERIFY(!real.isEmpty());
        QByteArray decoy;
        int cut = 0, best = cluster;
        for (int row = 64; row <= 320; row += 16) {
            const QByteArray d = cjpeg(picture("neg", 7, 480, 360, row), {"-quality", "90"});
            int same = 0;
            while (same < real.size() && same < d.size() && real[same] == d[same])
                ++same;
            if (same >= cluster && same % cluster < best) {
                best = same % cluster;
                cut = same - best;
                decoy = d;
            }
        }
        QVERIFY2(!decoy.isEmpty(), "no negated picture shares a cluster with the real one");
        QByteArray image = filler("random", 1, 4);
        const int64_t at = image.size();
        image += real.left(cut) + filler("random", 1, 3) + pad(decoy.mid(cut)) + filler("random", 2, 5);
        const int64_t second = image.size();
        image += pad(real.mid(cut)) + filler("random", 2, 6);
        const QString path = dir_ + "/decoy.img";
        QVERIFY(write(path, image));
        const auto found = carve(path);
        QCOMPARE(int(found.size()), 1);
        QCOMPARE(found[0].extents[0].offset, at);
        QCOMPARE(int(found[0].extents.size()), 2);
        QCOMPARE(found[0].extents[1].offset, second);
        QVERIFY(gather(image, found[0]) == real);
    }

    // A progressive picture's true data for twelve clusters, then noise:
    // it passes for the continuation until well past where a search looks
    // first, and what it set in the planes must be gone when the true
    // piece, further on, is decoded from the cut.
    void a_wrong_progressive_continuation_is_gone_back_on()
    {
        const QByteArray big = cjpeg(picture("big", 9, 1024, 768), {"-progressive", "-quality", "90"});
        QVERIFY(big.size() > 20 * cluster);
        const QByteArray rest = big.mid(2 * cluster);
        QByteArray image = filler("random", 1, 20);
        const int64_t at = image.size();
        image += big.left(2 * cluster) + filler("zeros", 1, 0) + rest.left(12 * cluster) + filler("random", 4, 21);
        const int64_t second = image.size();
        image += pad(rest) + filler("random", 2, 22);
        const QString path = dir_ + "/gone_back.img";
        QVERIFY(write(path, image));
        const auto found = carve(path);
        QCOMPARE(int(found.size()), 1);
        QCOMPARE(found[0].extents[0].offset, at);
        QCOMPARE(int(found[0].extents.size()), 2);
        QCOMPARE(found[0].extents[1].offset, second);
        QVERIFY(gather(image, found[0]) == big);
    }

    // No second piece anywhere: what decodes comes back, flagged partial;
    // with the search off, or with a contiguous file, nothing changes.
    void missing_piece_is_partial()
    {
        const QByteArray jpeg = jpegs_["baseline"];
        QByteArray image = filler("random", 1, 7);
        const int64_t at = image.size();
        image += jpeg.left(3 * cluster) + filler("random", 30, 8);
        const int64_t whole_at = image.size();
        image += pad(jpegs_["other"]) + filler("random", 2, 9);
        const QString path = dir_ + "/partial.img";
        QVERIFY(write(path, image));
        auto found = carve(path);
        QCOMPARE(int(found.size()), 2);
        QCOMPARE(found[0].extents[0].offset, at);
        QVERIFY(found[0].partial);
        QCOMPARE(int(found[0].extents.size()), 1);
        QCOMPARE(found[0].extents[0].size, int64_t(3 * cluster));
        QCOMPARE(found[1].extents[0].offset, whole_at);
        QVERIFY(!found[1].partial);
        QCOMPARE(found[1].extents[0].size, int64_t(jpegs_["other"].size()));

        found = carve(path, "fragment_gap 0\n");
        QCOMPARE(int(found.size()), 2);
        QVERIFY(found[0].partial);

        // A cluster size the cut does not fall on: no cut point, no piece.
        found = carve(path, "cluster_size 64K\n");
        QCOMPARE(int(found.size()), 1);
        QCOMPARE(found[0].extents[0].offset, whole_at);
    }

    // A file kept undecoded is kept as the walk found it, so the rule that
    // lets it skip the decoder must see every sign of a cut the walk passes
    // over; and it must let whole files through, or the scan is slow again.
    void skip_rule_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("clean");
        for (const char* kind : {"baseline", "progressive", "restart", "grey"})
            QTest::newRow(kind) << kind << "" << true;
        QTest::newRow("zeros where a cluster begins") << "baseline" << "zeros" << false;
        QTest::newRow("text where a cluster begins") << "progressive" << "text" << false;
        QTest::newRow("restart markers out of step") << "restart" << "swap restarts" << false;
        QTest::newRow("a restart marker missing") << "restart" << "drop restart" << false;
        QTest::newRow("an application segment after the scan") << "baseline" << "late app" << false;
        QTest::newRow("more coded data than samples") << "grey" << "long" << false;
        QTest::newRow("an end marker not at the end") << "baseline" << "short" << false;
    }

    void skip_rule()
    {
        QFETCH(QString, kind);
        QFETCH(QString, damage);
        QFETCH(bool, clean);
        QByteArray jpeg = jpegs_[kind];
        const int sos = jpeg.indexOf("\xFF\xDA");
        QVERIFY(sos > 0);
        const int coded = sos + 2 + (uint8_t(jpeg[sos + 2]) << 8 | uint8_t(jpeg[sos + 3]));
        if (damage == "zeros") {
            jpeg.replace(2 * cluster, cluster, QByteArray(cluster, '\0'));
        } else if (damage == "text") {
            jpeg.replace(cluster, cluster, filler("text", 1, 0));
        } else if (damage == "swap restarts" || damage == "drop restart") {
            const int first = jpeg.indexOf("\xFF\xD0", coded);
            const int second = jpeg.indexOf("\xFF\xD1", coded);
            QVERIFY(first > 0 && second > first);
            if (damage == "drop restart") {
                jpeg.remove(second, 2);
            } else {
                jpeg[first + 1] = char(0xD1);
                jpeg[second + 1] = char(0xD0);
            }
        } else if (damage == "late app") {
            jpeg.insert(jpeg.size() - 2, QByteArray("\xFF\xE1\x00\x04" "ab", 6));
        } else if (damage == "long") {
            // The whole coded data again, as if another picture's lay in a gap.
            const QByteArray data = jpeg.mid(coded, jpeg.size() - 2 - coded);
            for (int k = 0; k < 8; ++k)
                jpeg.insert(jpeg.size() - 2, data);
        }
        const QString path = dir_ + "/skip.img";
        QVERIFY(write(path, filler("random", 1, 11) + jpeg + filler("random", 1, 12)));
        const auto device = platform::open_byte_source(QFile::encodeName(path).toStdString(), nullptr);
        QVERIFY(device);
        std::atomic<int32_t> stop{0};
        carve::source_c src(*device, &stop);
        const uint64_t length = damage == "short" ? uint64_t(jpeg.size()) + 2 : uint64_t(jpeg.size());
        QCOMPARE(carve::jpeg::ends_cleanly(src, cluster, length, cluster), clean);
    }

    // The walk passes over stuffed pairs sixteen bytes at a time: a pair or
    // marker across a group's edge, or an 0xFF as the very last byte, must
    // come out as stopping at every 0xFF would have it.
    void stuffed_pairs_are_passed_over()
    {
        std::mt19937 rng(5);
        for (int round = 0; round < 3000; ++round) {
            const size_t n = rng() % 70;
            std::vector<uint8_t> bytes(n);
            for (auto& b : bytes) {
                const uint32_t r = rng() % 8;
                b = r < 3 ? 0xFF : r < 5 ? 0x00 : r == 5 ? uint8_t(0xD0 + rng() % 8) : uint8_t(rng());
            }
            size_t expected = n;
            for (size_t i = 0; i < n && expected == n; ++i)
                if (bytes[i] == 0xFF && (i + 1 == n || bytes[i + 1] != 0x00))
                    expected = i;
                else if (bytes[i] == 0xFF)
                    ++i;
            QCOMPARE(carve::find_unstuffed_ff(bytes.data(), n), expected);
        }
    }

    // An end marker that is the first 0xFF after a cluster boundary may end a
    // stranger's bytes: the last scan is decoded from its last restart
    // marker, or in a progressive file with the scans it depends on; a
    // sequential file without restart markers is left to the whole decode.
    void bare_tail_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("stranger");
        QTest::addColumn<bool>("clean");
        QTest::newRow("whole, restart markers") << "restart" << false << true;
        QTest::newRow("a stranger's tail after a restart marker") << "restart" << true << false;
        QTest::newRow("whole, progressive") << "progressive" << false << true;
        QTest::newRow("a stranger's tail in a progressive file") << "progressive" << true << false;
        QTest::newRow("whole, sequential without restart markers") << "baseline" << false << false;
    }

    void bare_tail()
    {
        QFETCH(QString, kind);
        QFETCH(bool, stranger);
        QFETCH(bool, clean);
        QByteArray jpeg = jpegs_[kind];
        const int eoi = jpeg.size() - 2;
        // Clusters as long as puts a boundary right after the last 0xFF, or
        // a little after it, where the stranger's bytes (no 0xFF among
        // them) begin.
        int boundary = jpeg.lastIndexOf('\xFF', eoi - 1) + 2;
        if (stranger) {
            boundary = std::min(boundary + 24, eoi);
            std::mt19937 rng(24);
            QByteArray tail(400, '\0');
            for (auto& b : tail)
                b = char(rng() % 255);
            jpeg = jpeg.left(boundary) + tail + QByteArray("\xFF\xD9", 2);
        }
        QVERIFY(boundary > 2 && 2 * boundary > jpeg.size() - 2 && boundary <= jpeg.size() - 2);
        const QString path = dir_ + "/tail.img";
        QVERIFY(write(path, filler("random", 1, 13) + jpeg + filler("random", 1, 14)));
        const auto device = platform::open_byte_source(QFile::encodeName(path).toStdString(), nullptr);
        QVERIFY(device);
        std::atomic<int32_t> stop{0};
        carve::source_c src(*device, &stop);
        QCOMPARE(carve::jpeg::ends_cleanly(src, cluster, uint64_t(jpeg.size()), uint64_t(boundary)), clean);
        if (!stranger)
            QCOMPARE(carve::jpeg::decodes_whole(src, cluster, cluster + uint64_t(jpeg.size()), uint64_t(boundary)), true);
    }

    // Damaged copies of every kind, in pieces and whole, next to each other:
    // the decoder and the search meet every byte value in every field.
    void damaged_pictures_are_survived()
    {
        std::mt19937 rng(16);
        QByteArray image;
        for (int round = 0; round < 12; ++round) {
            for (auto it = jpegs_.begin(); it != jpegs_.end(); ++it) {
                QByteArray bad = it.value();
                const int flips = 1 + int(rng() % 8);
                for (int k = 0; k < flips; ++k)
                    bad[int(rng() % uint32_t(round % 2 ? 700 : bad.size()))] = char(rng());
                const int cut = int(1 + rng() % 3) * cluster;
                image += bad.left(cut) + filler("random", int(rng() % 3), rng()) + pad(bad.mid(cut));
            }
        }
        // A Huffman table declaring more codes of a length than fit in it.
        QByteArray overfull = jpegs_["baseline"];
        const int dht = overfull.indexOf("\xFF\xC4");
        QVERIFY(dht > 0);
        int codes = 0;
        for (int i = 0; i < 16; ++i)
            codes += uint8_t(overfull[dht + 5 + i]);
        QVERIFY(codes >= 3);
        for (int i = 0; i < 16; ++i)
            overfull[dht + 5 + i] = char(i == 0 ? 3 : i == 1 ? codes - 3 : 0);
        image += pad(overfull);
        const QString path = dir_ + "/damaged.img";
        QVERIFY(write(path, image));
        for (const auto& f : carve(path, "fragment_time 0.2 5\n")) {
            int64_t total = 0;
            for (const auto& e : f.extents) {
                QVERIFY(e.offset >= 0 && e.size > 0 && e.offset + e.size <= image.size());
                total += e.size;
            }
            QVERIFY(total > 0);
        }
    }

    // The block cache grows as reads reach back, moving the blocks it holds
    // to their new slots: whatever the order of reads, at() points to the
    // device's bytes, and a pointer it gave stays so while refills() holds.
    void block_cache_gives_back_the_device()
    {
        constexpr uint64_t block = carve::source_c::block_size;
        std::mt19937 rng(9);
        QByteArray bytes(int(40 * block), '\0');
        for (auto& b : bytes)
            b = char(rng());
        const QString path = dir_ + "/blocks.img";
        QVERIFY(write(path, bytes));
        const auto device = platform::open_byte_source(QFile::encodeName(path).toStdString(), nullptr);
        QVERIFY(device);
        carve::source_c src(*device, nullptr);
        std::vector<uint64_t> offsets;
        for (uint64_t b : {0, 1, 2, 3, 4, 0, 5, 6, 7, 8, 9, 1, 30, 2, 31, 7, 39, 0, 12, 35})
            offsets.push_back(b * block + b);
        for (int i = 0; i < 600; ++i)
            offsets.push_back(rng() % uint64_t(bytes.size()));
        const uint8_t* kept = nullptr;
        uint64_t kept_at = 0, kept_refills = 0;
        for (const uint64_t at : offsets) {
            size_t avail = 0;
            const uint8_t* p = src.at(at, &avail);
            QVERIFY(p);
            QCOMPARE(uint64_t(avail), block - at % block);
            QVERIFY(std::memcmp(p, bytes.constData() + at, avail) == 0);
            if (kept && src.refills() == kept_refills) {
                QVERIFY(std::memcmp(kept, bytes.constData() + kept_at, block - kept_at % block) == 0);
                continue;
            }
            kept = p;
            kept_at = at;
            kept_refills = src.refills();
        }
    }
};

QTEST_GUILESS_MAIN(tst_carve_fragments)
#include "tst_carve_fragments.moc"
