#include "carve/carve_samples.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QProcess>
#include <QStandardPaths>

namespace carve_test {

namespace {

QString type_of(const QString& file_name)
{
    const QString suffix = QFileInfo(file_name).suffix();
    return suffix;
}

QImage noise_image(int w, int h, uint32_t seed)
{
    std::mt19937 rng(seed);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(int(rng() % 256), (x * 7 + y) % 256, int(rng() % 64)));
    return image;
}

}  // namespace

QString source_dir()
{
    const QByteArray env = qgetenv("QUARVEL_SOURCE_DIR");
    return env.isEmpty() ? QStringLiteral(QUARVEL_CARVE_SOURCE_DIR) : QString::fromLocal8Bit(env);
}

bool make_samples(const QString& folder, std::vector<sample_s>* out, QString* reason)
{
    const QString python = QStandardPaths::findExecutable("python3");
    if (python.isEmpty()) {
        *reason = "python3 is not installed";
        return false;
    }
    const QString script = source_dir() + "/tests/carve/make_samples.py";
    QProcess p;
    p.start(python, {script, folder});
    if (!p.waitForFinished(120000) || p.exitCode() != 0) {
        *reason = "make_samples.py failed: " + QString::fromLocal8Bit(p.readAllStandardError());
        return false;
    }
    noise_image(96, 64, 3).save(folder + "/qt.jpg", "JPG", 85);
    noise_image(40, 30, 4).save(folder + "/qt.png", "PNG");
    noise_image(17, 9, 5).save(folder + "/qt.bmp", "BMP");
    {
        QImageWriter progressive(folder + "/qt-progressive.jpg", "JPG");
        progressive.setProgressiveScanWrite(true);
        progressive.setOptimizedWrite(true);
        progressive.write(noise_image(120, 80, 6));
    }
    // A JPEG that carries a smaller JPEG as its thumbnail, in an APP1
    // segment, as cameras write them.
    {
        QByteArray thumb;
        QBuffer buffer(&thumb);
        buffer.open(QIODevice::WriteOnly);
        noise_image(16, 12, 7).save(&buffer, "JPG");
        QByteArray main;
        QBuffer main_buffer(&main);
        main_buffer.open(QIODevice::WriteOnly);
        noise_image(64, 48, 8).save(&main_buffer, "JPG");
        const QByteArray payload = QByteArray("Exif\0\0", 6) + thumb;
        QByteArray app1("\xFF\xE1", 2);
        app1 += char((payload.size() + 2) >> 8);
        app1 += char((payload.size() + 2) & 0xFF);
        app1 += payload;
        QFile file(folder + "/qt-thumbnail.jpg");
        if (file.open(QIODevice::WriteOnly))
            file.write(main.left(2) + app1 + main.mid(2));
    }
    out->clear();
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files, QDir::Name)) {
        QFile f(info.filePath());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        out->push_back({info.fileName(), type_of(info.fileName()), f.readAll()});
    }
    return true;
}

std::vector<planted_s> write_image(const QString& path, const std::vector<sample_s>& samples, background fill,
                                   bool unaligned, uint32_t seed, uint64_t tail)
{
    std::mt19937 rng(seed);
    auto filler = [&](size_t n) {
        QByteArray b(static_cast<qsizetype>(n), '\0');
        if (fill == background::random)
            for (auto& c : b)
                c = static_cast<char>(rng() & 0xFF);
        return b;
    };
    std::vector<planted_s> planted;
    QByteArray image = filler(65536);
    for (const sample_s& s : samples) {
        uint64_t at = static_cast<uint64_t>(image.size());
        at = (at + 511) / 512 * 512 + 512 * (1 + rng() % 6);
        if (unaligned)
            at += 1 + rng() % 511;
        image += filler(at - static_cast<uint64_t>(image.size()));
        image += s.bytes;
        planted.push_back({at, s.type, s.bytes});
    }
    image += filler(static_cast<size_t>(tail));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(image) != image.size())
        return {};
    return planted;
}

bool put_bytes(const QString& path, uint64_t offset, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    return f.seek(static_cast<qint64>(offset)) && f.write(bytes) == bytes.size();
}

}  // namespace carve_test
