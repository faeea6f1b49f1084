// How far a damaged file is sound, for the types whose structure tells it:
// a ZIP's entries by their CRCs (also when its headers all hold), an ISO
// media file's boxes, a PDF's objects. Files built here, a cluster of
// foreign bytes written over each.
#include "engines/carve/content_check.h"

#include <QByteArray>
#include <QtEndian>
#include <QtTest>
#include <random>

namespace {

class memory_source_c final : public platform::byte_source_c {
public:
    explicit memory_source_c(QByteArray bytes) : bytes_(std::move(bytes)) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        if (offset >= uint64_t(bytes_.size()))
            return 0;
        const size_t n = std::min<size_t>(length, size_t(bytes_.size() - qsizetype(offset)));
        std::memcpy(buffer, bytes_.constData() + offset, n);
        return int64_t(n);
    }
    uint64_t size() const override { return uint64_t(bytes_.size()); }
    uint32_t sector_size() const override { return 512; }
    const std::string& name() const override { return name_; }

private:
    QByteArray bytes_;
    std::string name_ = "memory";
};

QByteArray noise(int size, unsigned seed)
{
    std::mt19937 random(seed);
    QByteArray out(size, 0);
    for (char& c : out)
        c = char(random());
    return out;
}

uint32_t crc32(const QByteArray& data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (char c : data) {
        crc ^= uint8_t(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

QByteArray le(uint32_t v, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char(v >> (8 * i)));
    return out;
}

// Stored entries of these sizes; *starts receives where each begins.
QByteArray zip_of(const std::vector<int>& sizes, std::vector<int>* starts)
{
    QByteArray file, directory;
    for (size_t i = 0; i < sizes.size(); ++i) {
        const QByteArray data = noise(sizes[i], unsigned(i) + 1), name = QByteArray("f") + QByteArray::number(int(i));
        starts->push_back(int(file.size()));
        const QByteArray common = le(20, 2) + le(0, 2) + le(0, 2) + le(0, 2) + le(0x21, 2) + le(crc32(data), 4) +
                                  le(uint32_t(data.size()), 4) + le(uint32_t(data.size()), 4) +
                                  le(uint32_t(name.size()), 2) + le(0, 2);
        directory += "PK\x01\x02" + le(20, 2) + common + le(0, 2) + le(0, 2) + le(0, 2) + le(0, 4) +
                     le(uint32_t(starts->back()), 4) + name;
        file += "PK\x03\x04" + common + name + data;
    }
    const int at = int(file.size());
    return file + directory + "PK\x05\x06" + le(0, 4) + le(uint32_t(sizes.size()), 2) + le(uint32_t(sizes.size()), 2) +
           le(uint32_t(directory.size()), 4) + le(uint32_t(at), 4) + le(0, 2);
}

QByteArray box(const char* type, const QByteArray& body)
{
    QByteArray size(4, 0);
    qToBigEndian(uint32_t(body.size() + 8), size.data());
    return size + type + body;
}

carve::content_check_s check(const QByteArray& bytes, const char* extension)
{
    const memory_source_c source(bytes);
    return carve::check_content(source, extension, 512);
}

}  // namespace

class tst_content_intact : public QObject {
    Q_OBJECT

private slots:
    void zip_entries_by_their_crc()
    {
        std::vector<int> starts;
        const QByteArray whole = zip_of({3000, 5000, 4000}, &starts);
        QCOMPARE(check(whole, "zip").outcome, carve::content_check_s::kind::whole);
        // Foreign bytes inside the second entry's data: every header still holds.
        QByteArray hurt = whole;
        hurt.replace(starts[1] + 1024, 512, noise(512, 99));
        const carve::content_check_s r = check(hurt, "zip");
        QCOMPARE(r.outcome, carve::content_check_s::kind::broken);
        QVERIFY(r.intact_known);
        QCOMPARE(r.intact, uint64_t(starts[1]));
        // Over the third entry's header: the structure breaks there.
        hurt = whole;
        hurt.replace(starts[2] - 100, 512, noise(512, 98));
        QCOMPARE(check(hurt, "zip").intact, uint64_t(starts[1]));
    }

    void isobmff_boxes()
    {
        const QByteArray head = box("ftyp", QByteArray("isom\0\0\0\0isommp41", 16));
        const QByteArray moov = box("moov", noise(2000, 1));
        QByteArray file = head + box("free", noise(100, 2)) + moov + box("mdat", noise(6000, 3));
        // A cluster over the movie box's header: no box from there on.
        const int at = int(head.size()) + 108;
        file.replace(at - 8, 512, noise(512, 4));
        const carve::content_check_s r = check(file, "mp4");
        QCOMPARE(r.outcome, carve::content_check_s::kind::broken);
        QVERIFY(r.intact_known);
        QCOMPARE(r.intact, uint64_t(at));
    }

    void pdf_objects()
    {
        QByteArray file = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
        std::vector<int> starts;
        for (int i = 1; i <= 4; ++i) {
            starts.push_back(int(file.size()));
            const QByteArray data = noise(700, unsigned(i));
            file += QByteArray::number(i) + " 0 obj\n<< /Length " + QByteArray::number(int(data.size())) +
                    " >>\nstream\n" + data + "\nendstream\nendobj\n";
        }
        file += "xref\n0 5\ntrailer\n<< /Size 5 >>\nstartxref\n0\n%%EOF\n";
        // The third object's data and the end gone: no end marker to find.
        QByteArray hurt = file.left(starts[2] + 300) + noise(1600, 7);
        const carve::content_check_s r = check(hurt, "pdf");
        QCOMPARE(r.outcome, carve::content_check_s::kind::broken);
        QVERIFY(r.intact_known);
        QCOMPARE(r.intact, uint64_t(starts[2]));
    }

    // ".ts" names transport streams and TypeScript sources alike: a deleted
    // source file is not judged damaged for not being a stream, while a
    // stream's own bytes still are judged.
    void ts_name_shared_with_text()
    {
        QCOMPARE(check("import { scan } from './scan';\n", "ts").outcome, carve::content_check_s::kind::unchecked);
        QByteArray packets;
        for (int i = 0; i < 8; ++i)
            packets += QByteArray("\x47\x41\x00\x10", 4) + QByteArray(184, '\xFF');
        QCOMPARE(check(packets, "ts").outcome, carve::content_check_s::kind::broken);
        QCOMPARE(check(noise(600, 5), "mkv").outcome, carve::content_check_s::kind::broken);
    }
};

QTEST_GUILESS_MAIN(tst_content_intact)
#include "tst_content_intact.moc"
