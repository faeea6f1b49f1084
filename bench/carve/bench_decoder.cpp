// Our checking JPEG decoder against libjpeg-turbo's on the same pictures, in
// one run: how many megabytes of JPEG each gets through per second of CPU.
//
//   bench_decoder IMAGE [--repeat N] [--files N]
//
// IMAGE is a carving benchmark's image with its manifest beside it
// (IMAGE.json, as bench_card.py and bench_carve.py leave them); every whole
// JPEG in it (or the first N) is read into memory and decoded there, so no
// disk is timed.
// Three ways per picture, each the best of N runs (default 3) in CPU time:
//   ours       the whole-file check the deep scan runs on a suspect picture
//              (Huffman codes, value bits, block counts; no pixels);
//   coeffs     libjpeg-turbo's jpeg_read_coefficients: its Huffman decoding
//              into coefficient arrays, the nearest to what ours does;
//   pixels     libjpeg-turbo's full decompression to RGB (IDCT and colour
//              conversion too): what a viewer or a pixel-checking carver pays.
// Split by kind: baseline, baseline with restart markers, progressive.
// Built only when the libjpeg development files are there; the
// product never links libjpeg.
#include "engines/carve/jpeg_decoder.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

class memory_source_c final : public platform::byte_source_c {
public:
    explicit memory_source_c(const QByteArray& bytes) : bytes_(bytes) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        if (offset >= uint64_t(bytes_.size()))
            return 0;
        const size_t n = std::min<size_t>(length, size_t(bytes_.size()) - size_t(offset));
        std::memcpy(buffer, bytes_.constData() + offset, n);
        return int64_t(n);
    }
    uint64_t size() const override { return uint64_t(bytes_.size()); }
    uint32_t sector_size() const override { return 512; }
    const std::string& name() const override { return name_; }

private:
    const QByteArray& bytes_;
    std::string name_ = "memory";
};

struct failure_s {
    jpeg_error_mgr mgr;
    jmp_buf back;
};

void on_error(j_common_ptr info)
{
    longjmp(reinterpret_cast<failure_s*>(info->err)->back, 1);
}

void on_message(j_common_ptr, int) {}

// libjpeg-turbo's decoder: coefficients only, or pixels. Returns false when
// it refuses the data.
bool libjpeg_decode(const QByteArray& bytes, bool pixels)
{
    jpeg_decompress_struct info {};
    failure_s failure {};
    info.err = jpeg_std_error(&failure.mgr);
    failure.mgr.error_exit = on_error;
    failure.mgr.emit_message = on_message;
    std::vector<unsigned char> row;
    if (setjmp(failure.back)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    if (pixels) {
        info.out_color_space = JCS_RGB;
        jpeg_start_decompress(&info);
        row.resize(size_t(info.output_width) * size_t(info.output_components));
        JSAMPROW rows[1] = {row.data()};
        while (info.output_scanline < info.output_height)
            jpeg_read_scanlines(&info, rows, 1);
    } else {
        jpeg_read_coefficients(&info);
    }
    jpeg_finish_decompress(&info);
    const bool clean = failure.mgr.num_warnings == 0;
    jpeg_destroy_decompress(&info);
    return clean;
}

double megapixels_of(const QByteArray& bytes)
{
    jpeg_decompress_struct info {};
    failure_s failure {};
    info.err = jpeg_std_error(&failure.mgr);
    failure.mgr.error_exit = on_error;
    failure.mgr.emit_message = on_message;
    if (setjmp(failure.back)) {
        jpeg_destroy_decompress(&info);
        return 0;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    const double megapixels = double(info.image_width) * info.image_height / 1e6;
    jpeg_destroy_decompress(&info);
    return megapixels;
}

bool ours_decode(const QByteArray& bytes)
{
    memory_source_c device(bytes);
    carve::source_c src(device, nullptr);
    return carve::jpeg::decodes_whole(src, 0, uint64_t(bytes.size()), 4096);
}

// CPU seconds of this thread: a busy machine stretches wall-clock time.
double cpu_now()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

template <typename F>
double best_of(int repeat, F&& f, bool* ok)
{
    double best = 1e9;
    for (int r = 0; r < repeat; ++r) {
        const double t0 = cpu_now();
        *ok = f() && *ok;
        best = std::min(best, cpu_now() - t0);
    }
    return best;
}

std::string kind_of(const QByteArray& d)
{
    // The markers before the first scan tell the kind.
    const qsizetype sos = d.indexOf("\xFF\xDA");
    const QByteArray head = d.left(sos < 0 ? d.size() : sos);
    if (head.contains("\xFF\xC2"))
        return "progressive";
    return head.contains("\xFF\xDD") ? "baseline, restarts" : "baseline";
}

struct total_s {
    int files = 0;
    double megabytes = 0, megapixels = 0;
    double seconds[3] = {};
    int refused[3] = {};
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_decoder IMAGE [--repeat N] [--files N]\n");
        return 2;
    }
    const QString image = QString::fromLocal8Bit(argv[1]);
    int repeat = 3, most = 1 << 30;
    for (int i = 2; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0)
            repeat = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--files") == 0)
            most = std::max(1, std::atoi(argv[i + 1]));
    }
    QFile manifest(image + ".json"), data(image);
    if (!manifest.open(QIODevice::ReadOnly) || !data.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_decoder: needs %s and its manifest %s.json\n", argv[1], argv[1]);
        return 1;
    }
    const QJsonArray files = QJsonDocument::fromJson(manifest.readAll()).array();
    std::map<std::string, total_s> totals;
    int taken = 0;
    for (const QJsonValue& v : files) {
        if (taken >= most)
            break;
        const QJsonObject f = v.toObject();
        const QString type = f.value("type").toString("jpg");
        if (f.value("fragmented").toBool() || (type != "jpg" && type != "jpeg"))
            continue;
        if (!data.seek(qint64(f.value("offset").toDouble())))
            continue;
        const QByteArray bytes = data.read(qint64(f.value("size").toDouble()));
        if (bytes.size() < 4 || !bytes.startsWith("\xFF\xD8\xFF"))
            continue;
        const double megapixels = megapixels_of(bytes);
        ++taken;
        total_s& t = totals[kind_of(bytes)];
        ++t.files;
        t.megabytes += double(bytes.size()) / 1e6;
        t.megapixels += megapixels;
        bool ok[3] = {true, true, true};
        t.seconds[0] += best_of(repeat, [&] { return ours_decode(bytes); }, &ok[0]);
        t.seconds[1] += best_of(repeat, [&] { return libjpeg_decode(bytes, false); }, &ok[1]);
        t.seconds[2] += best_of(repeat, [&] { return libjpeg_decode(bytes, true); }, &ok[2]);
        for (int k = 0; k < 3; ++k)
            t.refused[k] += ok[k] ? 0 : 1;
    }
    if (totals.empty()) {
        std::fprintf(stderr, "bench_decoder: no whole JPEG in the manifest\n");
        return 1;
    }
    std::printf("%-20s %5s %8s %8s   %-22s %-22s %-22s\n", "kind", "files", "MB", "MP", "ours (check)",
                "libjpeg coeffs", "libjpeg pixels");
    total_s all;
    const auto line = [](const std::string& name, const total_s& t) {
        std::printf("%-20s %5d %8.1f %8.1f", name.c_str(), t.files, t.megabytes, t.megapixels);
        for (int k = 0; k < 3; ++k)
            std::printf("   %6.3f s %6.1f MB/s  ", t.seconds[k], t.megabytes / std::max(t.seconds[k], 1e-9));
        std::printf("\n");
        if (t.refused[0] || t.refused[1] || t.refused[2])
            std::printf("%-20s refused: ours %d, coeffs %d, pixels %d\n", "", t.refused[0], t.refused[1],
                        t.refused[2]);
    };
    for (const auto& [name, t] : totals) {
        line(name, t);
        all.files += t.files;
        all.megabytes += t.megabytes;
        all.megapixels += t.megapixels;
        for (int k = 0; k < 3; ++k) {
            all.seconds[k] += t.seconds[k];
            all.refused[k] += t.refused[k];
        }
    }
    line("all", all);
    std::printf("\nCPU seconds, summed over the pictures, each picture's best of %d runs; one thread, from memory.\n",
                repeat);
    return 0;
}
