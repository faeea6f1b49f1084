// Whether a JPEG that the structure walk found whole can be kept without
// decoding it. Decoding every picture in full made the deep scan of a memory
// card as slow as the decoder; nearly all of them end where their structure
// says, and the few that do not show it in their bytes: a marker that has no
// business after the first scan, restart markers out of step with the
// picture's size, a cluster that begins with zeros or text, far more coded
// data than the picture has samples, or an end marker that is the first 0xFF
// after a cluster boundary. That last sign is common in whole files too, so
// the last scan is decoded then, from its last restart marker where it has
// one, or with only the scans it depends on in a progressive file, instead
// of the whole picture.
#include "engines/carve/jpeg_decoder.h"

#include <algorithm>
#include <cstring>

namespace carve::jpeg {

namespace {

// Bytes looked at where a cluster begins inside coded data.
constexpr size_t seam_window = 64;

bool printable(uint8_t b) { return (b >= 0x20 && b < 0x7F) || b == '\t' || b == '\n' || b == '\r'; }

// What the walk needs of the frame: the MCU counts of each kind of scan and
// the number of samples.
struct frame_facts_s {
    bool seen = false;
    bool progressive = false;
    uint8_t count = 0;
    std::array<uint8_t, 4> ids{};
    std::array<uint64_t, 4> blocks{};  // each component's own block grid
    uint64_t mcus = 0;                 // of a scan with several components
    uint64_t samples = 0;              // 64 per block over every component
};

bool read_frame(const uint8_t* f, uint16_t length, frame_facts_s* frame)
{
    if (length < 8 || f[0] != 8)
        return false;
    const uint32_t height = be16(f + 1), width = be16(f + 3);
    const unsigned count = f[5];
    if (height == 0 || width == 0 || count == 0 || count > 4 || length != 8 + 3 * count)
        return false;
    unsigned h_max = 1, v_max = 1;
    std::array<unsigned, 4> h{}, v{};
    for (unsigned i = 0; i < count; ++i) {
        h[i] = f[7 + 3 * i] >> 4;
        v[i] = f[7 + 3 * i] & 15;
        if (h[i] < 1 || h[i] > 4 || v[i] < 1 || v[i] > 4)
            return false;
        frame->ids[i] = f[6 + 3 * i];
        h_max = std::max(h_max, h[i]);
        v_max = std::max(v_max, v[i]);
    }
    frame->mcus = static_cast<uint64_t>((width + 8 * h_max - 1) / (8 * h_max)) * ((height + 8 * v_max - 1) / (8 * v_max));
    frame->samples = 0;
    for (unsigned i = 0; i < count; ++i) {
        const uint64_t w = (static_cast<uint64_t>(width) * h[i] + h_max - 1) / h_max;
        const uint64_t hh = (static_cast<uint64_t>(height) * v[i] + v_max - 1) / v_max;
        frame->blocks[i] = ((w + 7) / 8) * ((hh + 7) / 8);
        frame->samples += frame->blocks[i] * 64;
    }
    frame->count = static_cast<uint8_t>(count);
    frame->seen = true;
    return true;
}

// The MCUs of a scan from its header, 0 when the header makes no sense.
uint64_t scan_mcus(const uint8_t* s, uint16_t length, const frame_facts_s& frame)
{
    const unsigned n = s[0];
    if (n < 1 || n > frame.count || length != 6 + 2 * n)
        return 0;
    if (n > 1)
        return frame.mcus;
    // read_frame keeps count within ids; the bound says so to the compiler.
    for (unsigned c = 0; c < frame.count && c < frame.ids.size(); ++c)
        if (frame.ids[c] == s[1])
            return frame.blocks[c];
    return 0;
}

class walk_c {
public:
    walk_c(source_c& src, uint64_t start, uint64_t end, uint64_t cluster)
        : src_(src), start_(start), end_(end), cluster_(std::max<uint64_t>(cluster, 1))
    {
    }

    bool clean()
    {
        uint64_t pos = start_ + 2;
        bool scanned = false;
        uint32_t interval = 0;
        uint64_t coded_total = 0;
        for (int segments = 0; segments < 100000; ++segments) {
            uint8_t m[4];
            if (!read(pos, m, 2) || m[0] != 0xFF)
                return false;
            uint8_t marker = m[1];
            while (marker == 0xFF) {
                ++pos;
                if (!read(pos, m, 2))
                    return false;
                marker = m[1];
            }
            if (marker == 0xD9)
                return scanned && pos + 2 == end_ && coded_total <= frame_.samples &&
                       (!bare_tail(pos) || tail_decodes());
            if (!read(pos + 2, m + 2, 2))
                return false;
            const uint16_t length = be16(m + 2);
            if (length < 2)
                return false;
            const uint64_t body = pos + 4;
            pos += 2 + length;
            if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
                uint8_t f[6 + 3 * 4];
                if (frame_.seen || length > 2 + sizeof f || !read(body, f, length - 2u) || !read_frame(f, length, &frame_))
                    return false;
                frame_.progressive = marker == 0xC2;
                continue;
            }
            if (marker == 0xDD) {
                uint8_t r[2];
                if (length != 4 || !read(body, r, 2))
                    return false;
                interval = be16(r);
                continue;
            }
            if (marker == 0xC4 || marker == 0xDB || marker == 0xFE)
                continue;
            if (marker != 0xDA) {
                // Application data belongs before the first scan; after it,
                // and any other kind of frame, the decoder must judge.
                if (scanned || !(marker >= 0xE0 && marker <= 0xEF))
                    return false;
                continue;
            }
            uint8_t s[1 + 2 * 4 + 3];
            if (!frame_.seen || length < 8 || length > 2 + sizeof s || !read(body, s, length - 2u))
                return false;
            const uint64_t mcus = scan_mcus(s, length, frame_);
            if (mcus == 0)
                return false;
            const uint64_t restarts = interval ? (mcus + interval - 1) / interval - 1 : 0;
            const uint64_t from = pos;
            if (!coded(&pos, restarts))
                return false;
            last_scan_ = from;
            last_restarts_ = restarts;
            const unsigned n = s[0];
            last_ac_of_ = n == 1 && s[1 + 2 * n] > 0 ? s[1] : -1;
            coded_total += pos - from;
            scanned = true;
        }
        return false;
    }

private:
    bool read(uint64_t offset, void* out, size_t length)
    {
        return offset <= end_ && length <= end_ - offset && src_.copy(offset, out, length);
    }

    // Coded data from *pos up to the next marker that is not a restart;
    // restart markers must count 0-7 over and over, restarts of them in all.
    bool coded(uint64_t* pos, uint64_t restarts)
    {
        const uint64_t begin = *pos;
        uint64_t seen = 0;
        uint64_t p = begin;
        for (;;) {
            if (p >= end_)
                return false;
            size_t avail = 0;
            const uint8_t* data = src_.at(p, &avail);
            if (!data)
                return false;
            avail = static_cast<size_t>(std::min<uint64_t>(avail, end_ - p));
            const size_t i = find_unstuffed_ff(data, avail);
            if (i == avail) {
                p += avail;
                continue;
            }
            p += i;
            uint8_t next[2];
            if (i + 1 < avail)
                next[1] = data[i + 1];
            else if (!read(p, next, 2))
                return false;
            if (next[1] == 0x00) {
                p += 2;
            } else if (next[1] == 0xFF) {
                p += 1;
            } else if (next[1] >= 0xD0 && next[1] <= 0xD7) {
                if (seen >= restarts || next[1] != 0xD0 + (seen & 7))
                    return false;
                ++seen;
                p += 2;
                last_restart_end_ = p;
            } else {
                break;
            }
        }
        if (seen != restarts || !seams_look_coded(begin, p))
            return false;
        *pos = p;
        return true;
    }

    // Whether no 0xFF lies between the last cluster boundary and the end
    // marker at eoi. Foreign data after a cut ends the walk at its first
    // 0xFF unless that one happens to make an end marker, so an end marker
    // that is the first 0xFF after a boundary may be a stranger's; a real
    // file's tail holds stuffed bytes unless it is short (a few files in a
    // hundred), and those few are decoded.
    bool bare_tail(uint64_t eoi)
    {
        const uint64_t b = start_ + (eoi - start_) / cluster_ * cluster_;
        if (b <= start_)
            return false;
        for (uint64_t p = b; p < eoi;) {
            size_t avail = 0;
            const uint8_t* data = src_.at(p, &avail);
            if (!data)
                return true;
            avail = static_cast<size_t>(std::min<uint64_t>(avail, eoi - p));
            if (std::memchr(data, 0xFF, avail))
                return false;
            p += avail;
        }
        return true;
    }

    // A bare tail is judged by what the whole decode would say of the last
    // scan, for less: in a progressive file by decoding only the scans the
    // last one depends on, in a sequential one by decoding from the last
    // scan's last restart marker on. Without one, the caller decodes the
    // whole file.
    bool tail_decodes()
    {
        if (frame_.progressive)
            return decodes_last_scan(src_, start_, end_, cluster_, last_scan_, last_ac_of_);
        return last_restarts_ > 0 &&
               decodes_after_restart(src_, start_, end_, cluster_, last_scan_, last_restart_end_, last_restarts_);
    }

    // Where a cluster (counted from the file's start) begins inside
    // [from, to), foreign data would begin if the file were cut there.
    bool seams_look_coded(uint64_t from, uint64_t to)
    {
        uint64_t b = start_ + (from - start_ + cluster_ - 1) / cluster_ * cluster_;
        for (; b < to; b += cluster_) {
            uint8_t w[seam_window];
            const size_t n = static_cast<size_t>(std::min<uint64_t>(seam_window, to - b));
            if (n < seam_window)
                break;  // too little to tell: the marker that follows is checked anyway
            if (!src_.copy(b, w, n))
                return false;
            bool zeros = true, text = true;
            for (size_t i = 0; i < n && (zeros || text); ++i) {
                zeros = zeros && w[i] == 0;
                text = text && printable(w[i]);
            }
            if (zeros || text)
                return false;
        }
        return true;
    }

    source_c& src_;
    uint64_t start_;
    uint64_t end_;
    uint64_t cluster_;
    frame_facts_s frame_;
    uint64_t last_scan_ = 0;          // where the last scan's coded data begins
    uint64_t last_restarts_ = 0;      // its restart markers
    uint64_t last_restart_end_ = 0;   // the byte after the last of them
    int last_ac_of_ = -1;             // its component when it holds AC coefficients of one
};

}  // namespace

bool ends_cleanly(source_c& src, uint64_t start, uint64_t length, uint64_t cluster)
{
    if (length < 4 || start > UINT64_MAX - length)
        return false;
    return walk_c(src, start, start + length, cluster).clean();
}

}  // namespace carve::jpeg
