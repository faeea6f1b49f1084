// Scan files cannot cost more memory or time than the records they carry
// that can mean something: empty, repeated and padding records are refused
// at once.
#include "scan/raw/scan_file.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

std::string record(int64_t index, int64_t offset, int64_t size)
{
    std::string r(32, '\0');
    for (int i = 0; i < 8; ++i) {
        r[size_t(i)] = char(uint64_t(index) >> (8 * i));
        r[size_t(8 + i)] = char(uint64_t(offset) >> (8 * i));
        r[size_t(16 + i)] = char(uint64_t(size) >> (8 * i));
    }
    std::memcpy(r.data() + 24, "jpg", 3);
    return r;
}

std::string header(const std::string& device)
{
    std::string h = device;
    h.resize(scan_file_header_bytes, '\0');
    return h;
}

long peak_rss_kib()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

class tst_scan_file : public QObject {
    Q_OBJECT

    QTemporaryDir tmp_;

    std::string write(const std::string& name, const std::string& bytes, off_t padded_to = 0)
    {
        const std::string path = tmp_.path().toStdString() + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
        if (ok && padded_to)
            ok = ::ftruncate(fd, padded_to) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok ? path : std::string();
    }

    // Loads path against a volume of volume_bytes; the reason, or "" when loaded.
    static std::string load(const std::string& path, uint64_t volume_bytes, scan_file_contents_s* contents)
    {
        return read_scan_file(path, [volume_bytes](const std::string&, uint64_t* bytes) {
            *bytes = volume_bytes;
            return true;
        }, contents);
    }

private slots:
    void padded_with_zeros_is_refused_at_once_in_little_memory()
    {
        // A valid first record, then 1 GiB of zeros: 33 million empty records.
        const std::string path = write("padded.sav", header("/dev/sdz1") + record(0, 0, 4096), (off_t(1) << 30) + 256 + 32);
        QVERIFY(!path.empty());
        const long before = peak_rss_kib();
        QElapsedTimer clock;
        clock.start();
        scan_file_contents_s contents;
        const std::string reason = load(path, uint64_t(1) << 40, &contents);
        QVERIFY2(reason.find("record 1 ") != std::string::npos, reason.c_str());
        QVERIFY(clock.elapsed() < 1000);
        QVERIFY2(peak_rss_kib() - before < 64 * 1024, std::to_string(peak_rss_kib() - before).c_str());
        QVERIFY(contents.records.empty());
    }

    void records_that_no_scan_made()
    {
        scan_file_contents_s contents;
        const std::string h = header("/dev/sdz1");
        std::string reason = load(write("dup.sav", h + record(0, 0, 10) + record(0, 512, 10)), 1 << 20, &contents);
        QVERIFY2(reason.find("record 1 repeats") != std::string::npos, reason.c_str());
        reason = load(write("back.sav", h + record(1, 0, 10) + record(0, 512, 10)), 1 << 20, &contents);
        QVERIFY2(reason.find("record 1 repeats") != std::string::npos, reason.c_str());
        reason = load(write("empty.sav", h + record(0, 0, 0)), 1 << 20, &contents);
        QVERIFY2(reason.find("size 0") != std::string::npos, reason.c_str());
        // More records than a 64-byte volume can hold files of two bytes.
        std::string many = h;
        for (int i = 0; i < 33; ++i)
            many += record(i, i, 1);
        reason = load(write("many.sav", many), 64, &contents);
        QVERIFY2(reason.find("more records (33)") != std::string::npos, reason.c_str());
        // A piece record, then padding: refused at the first padding record,
        // not kept for a later check.
        std::string piece = record(-1, 0, 10);
        piece[25] = 'P';
        piece[26] = 'C';
        piece[24] = 0;
        piece[27] = 1;
        reason = load(write("pieces.sav", h + record(0, 0, 10) + piece, 256 + 32 * 1000), 1 << 20, &contents);
        QVERIFY2(reason.find("record 2 is a plain record after the pieces") != std::string::npos, reason.c_str());
        QVERIFY(contents.records.empty());
        // What a scan writes still loads.
        reason = load(write("good.sav", h + record(0, 0, 10) + record(1, 512, 2)), 1 << 20, &contents);
        QCOMPARE(reason, std::string());
        QCOMPARE(contents.records.size(), size_t(2));
    }
};

QTEST_GUILESS_MAIN(tst_scan_file)
#include "tst_scan_file.moc"
