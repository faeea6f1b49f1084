#include "gif_writer.h"

#include <QColor>
#include <QHash>
#include <QMap>
#include <unordered_map>
#include <vector>

namespace {

void put16(QByteArray& out, int value)
{
    out.append(char(value & 0xff));
    out.append(char((value >> 8) & 0xff));
}

// Packs variable-width codes least significant bit first into 255-byte blocks.
class code_packer_c {
public:
    explicit code_packer_c(QByteArray& out_) : out(out_) {}
    void put(int code, int width)
    {
        bits |= uint32_t(code) << count;
        count += width;
        while (count >= 8) {
            byte(uint8_t(bits & 0xff));
            bits >>= 8;
            count -= 8;
        }
    }
    void finish()
    {
        if (count > 0)
            byte(uint8_t(bits & 0xff));
        if (!block.isEmpty())
            flush();
        out.append(char(0));
    }

private:
    void byte(uint8_t b)
    {
        block.append(char(b));
        if (block.size() == 255)
            flush();
    }
    void flush()
    {
        out.append(char(block.size()));
        out.append(block);
        block.clear();
    }
    QByteArray& out;
    QByteArray block;
    uint32_t bits = 0;
    int count = 0;
};

void lzw_encode(QByteArray& out, const std::vector<uint8_t>& pixels, int min_code_size)
{
    out.append(char(min_code_size));
    code_packer_c packer(out);
    const int clear = 1 << min_code_size, end = clear + 1;
    int next = end + 1, width = min_code_size + 1;
    std::unordered_map<uint32_t, int> table;
    packer.put(clear, width);
    int prefix = pixels.empty() ? 0 : pixels[0];
    for (std::size_t i = 1; i < pixels.size(); ++i) {
        const uint32_t key = (uint32_t(prefix) << 8) | pixels[i];
        if (auto found = table.find(key); found != table.end()) {
            prefix = found->second;
            continue;
        }
        packer.put(prefix, width);
        if (next < 4096) {
            table.emplace(key, next++);
            // The reader's table runs one entry behind ours.
            if (next > (1 << width) && width < 12)
                ++width;
        } else {
            packer.put(clear, width);
            table.clear();
            next = end + 1;
            width = min_code_size + 1;
        }
        prefix = pixels[i];
    }
    packer.put(prefix, width);
    packer.put(end, width);
    packer.finish();
}

QRgb reduced(QRgb c, int shift)
{
    if (shift == 0)
        return c;
    const int half = 1 << (shift - 1);
    const auto channel = [&](int v) { return std::min(255, ((v >> shift) << shift) + half); };
    return qRgb(channel(qRed(c)), channel(qGreen(c)), channel(qBlue(c)));
}

}  // namespace

QByteArray encode_gif(const QList<QImage>& frames, int delay_ms, QColor matte)
{
    if (frames.isEmpty())
        return {};
    const QSize size = frames.first().size();
    QList<QImage> flat;
    for (const QImage& frame : frames) {
        if (frame.size() != size)
            return {};
        flat.append(frame.convertToFormat(QImage::Format_ARGB32));
    }
    // Blend the visible pixels onto the matte; index 0 is transparency.
    const auto visible = [&](QRgb p) {
        const int a = qAlpha(p);
        const auto mix = [a](int c, int m) { return (c * a + m * (255 - a)) / 255; };
        return qRgb(mix(qRed(p), matte.red()), mix(qGreen(p), matte.green()), mix(qBlue(p), matte.blue()));
    };
    int shift = 0;
    QMap<QRgb, int> palette;
    for (; shift <= 6; ++shift) {
        palette.clear();
        for (const QImage& frame : flat) {
            for (int y = 0; y < size.height(); ++y) {
                const QRgb* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
                for (int x = 0; x < size.width() && palette.size() <= 255; ++x) {
                    if (qAlpha(line[x]) >= 128)
                        palette.insert(reduced(visible(line[x]), shift), 0);
                }
            }
        }
        if (palette.size() <= 255)
            break;
    }
    int index = 1;
    for (auto it = palette.begin(); it != palette.end(); ++it)
        it.value() = index++;
    int bits = 1;
    while ((1 << bits) < index)
        ++bits;

    QByteArray out("GIF89a");
    put16(out, size.width());
    put16(out, size.height());
    out.append(char(0x80 | ((bits - 1) << 4) | (bits - 1)));
    out.append(char(0));  // background: transparent
    out.append(char(0));
    const QRgb none = matte.rgb();
    out.append(char(qRed(none)));
    out.append(char(qGreen(none)));
    out.append(char(qBlue(none)));
    for (auto it = palette.cbegin(); it != palette.cend(); ++it) {
        out.append(char(qRed(it.key())));
        out.append(char(qGreen(it.key())));
        out.append(char(qBlue(it.key())));
    }
    for (int i = index; i < (1 << bits); ++i)
        out.append(3, char(0));
    // Loop for ever.
    out.append("\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", 19);

    for (const QImage& frame : flat) {
        out.append("\x21\xf9\x04", 3);
        out.append(char((2 << 2) | 1));  // restore to background, transparent index
        put16(out, delay_ms / 10);
        out.append(char(0));
        out.append(char(0));
        out.append(char(0x2c));
        put16(out, 0);
        put16(out, 0);
        put16(out, size.width());
        put16(out, size.height());
        out.append(char(0));
        std::vector<uint8_t> pixels;
        pixels.reserve(std::size_t(size.width()) * std::size_t(size.height()));
        for (int y = 0; y < size.height(); ++y) {
            const QRgb* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
            for (int x = 0; x < size.width(); ++x)
                pixels.push_back(qAlpha(line[x]) >= 128 ? uint8_t(palette.value(reduced(visible(line[x]), shift)))
                                                        : uint8_t(0));
        }
        lzw_encode(out, pixels, std::max(2, bits));
    }
    out.append(char(0x3b));
    return out;
}
