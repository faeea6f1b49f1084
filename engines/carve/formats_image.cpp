// Image formats, and the RIFF container (webp, wav, avi).
#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace carve {

// JPEG: marker segments up to the first scan, entropy-coded data up to the
// next marker, and so on until the end-of-image marker after a frame and a
// scan. Embedded thumbnails sit inside segments and are stepped over.
parse_result_s parse_jpeg(parse_ctx_s& ctx)
{
    const char* held = nullptr;
    bool frame = false;
    bool scan = false;
    uint64_t pos = ctx.start + 2;
    for (int segments = 0; segments < 1000000; ++segments) {
        uint8_t m[4];
        CARVE_NEED(ctx, pos, 2, held);
        if (!ctx.read(pos, m, 2) || m[0] != 0xFF)
            return invalid();
        uint8_t marker = m[1];
        while (marker == 0xFF) {  // fill bytes
            ++pos;
            CARVE_NEED(ctx, pos, 2, held);
            if (!ctx.read(pos, m, 2))
                return invalid();
            marker = m[1];
        }
        if (marker == 0xD9)
            return frame && scan ? found(pos + 2 - ctx.start, "jpg") : invalid();
        if (marker == 0xD8 || marker < 0xC0)
            return invalid();
        if (marker >= 0xD0 && marker <= 0xD7) {
            pos += 2;
            continue;
        }
        CARVE_NEED(ctx, pos + 2, 2, held);
        if (!ctx.read(pos + 2, m + 2, 2))
            return invalid();
        const uint16_t length = be16(m + 2);
        if (length < 2)
            return invalid();
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            frame = true;
        held = "jpg";
        pos += 2 + length;
        if (marker != 0xDA)
            continue;
        if (!frame)
            return invalid();
        scan = true;
        // Entropy-coded data: runs until an 0xFF that is not stuffing (00),
        // a restart marker (D0-D7) or fill (FF).
        for (;;) {
            CARVE_NEED(ctx, pos, 2, held);
            size_t avail = 0;
            const uint8_t* p = ctx.src.at(pos, &avail);
            if (!p)
                return invalid();
            // Stuffed pairs passed over at once. Stopping at each one would
            // check the room at each; the checks fail from some offset on,
            // so when the furthest holds they all do, and otherwise this
            // block is walked one 0xFF at a time, for the same outcome.
            size_t i = find_unstuffed_ff(p, avail);
            if (ctx.check(pos + i, 2) != room::ok) {
                const void* ff = std::memchr(p, 0xFF, avail);
                i = ff ? static_cast<size_t>(static_cast<const uint8_t*>(ff) - p) : avail;
            }
            if (i == avail) {
                pos += avail;
                continue;
            }
            pos += i;
            CARVE_NEED(ctx, pos, 2, held);
            uint8_t next[2];
            if (i + 1 < avail)
                next[1] = p[i + 1];
            else if (!ctx.read(pos, next, 2))
                return invalid();
            if (next[1] == 0x00 || (next[1] >= 0xD0 && next[1] <= 0xD7)) {
                pos += 2;
                continue;
            }
            if (next[1] == 0xFF) {
                pos += 1;
                continue;
            }
            break;  // a marker: back to the segment loop
        }
    }
    return invalid();
}

// PNG: the signature, IHDR first with a correct CRC, chunks by their lengths
// up to IEND.
parse_result_s parse_png(parse_ctx_s& ctx)
{
    uint8_t head[33];
    CARVE_NEED(ctx, ctx.start, 33, nullptr);
    if (!ctx.read(ctx.start, head, 33))
        return invalid();
    if (be32(head + 8) != 13 || std::memcmp(head + 12, "IHDR", 4) != 0)
        return invalid();
    if (crc32_of(head + 12, 17) != be32(head + 29))
        return invalid();
    uint64_t pos = ctx.start + 33;
    for (uint64_t chunks = 0; chunks < 100000000; ++chunks) {
        uint8_t c[8];
        CARVE_NEED(ctx, pos, 12, "png");
        if (!ctx.read(pos, c, 8))
            return invalid();
        const uint32_t length = be32(c);
        if (length > 0x7FFFFFFFu)
            return invalid();
        for (int i = 4; i < 8; ++i)
            if (!((c[i] >= 'A' && c[i] <= 'Z') || (c[i] >= 'a' && c[i] <= 'z')))
                return invalid();
        const uint64_t next = pos + 12 + length;
        if (std::memcmp(c + 4, "IEND", 4) == 0) {
            CARVE_NEED(ctx, pos, 12 + static_cast<uint64_t>(length), "png");
            return found(next - ctx.start, "png");
        }
        pos = next;
    }
    return invalid();
}

namespace {
// Steps over GIF data sub-blocks starting at *pos. Returns false when they
// cannot be read; *room_out says why.
bool skip_gif_sub_blocks(parse_ctx_s& ctx, uint64_t* pos, room* why)
{
    for (int blocks = 0; blocks < 100000000; ++blocks) {
        *why = ctx.check(*pos, 1);
        if (*why != room::ok)
            return false;
        uint8_t n = 0;
        if (!ctx.read(*pos, &n, 1)) {
            *why = room::too_big;
            return false;
        }
        *pos += 1 + n;
        if (n == 0)
            return true;
    }
    *why = room::too_big;
    return false;
}
}  // namespace

// GIF: screen descriptor, colour table, then extensions and images, each a
// run of sub-blocks, up to the trailer byte.
parse_result_s parse_gif(parse_ctx_s& ctx)
{
    uint8_t head[13];
    CARVE_NEED(ctx, ctx.start, 13, nullptr);
    if (!ctx.read(ctx.start, head, 13))
        return invalid();
    uint64_t pos = ctx.start + 13;
    if (head[10] & 0x80)
        pos += 3ull * (2u << (head[10] & 7));
    bool image = false;
    for (int items = 0; items < 10000000; ++items) {
        uint8_t b[10];
        CARVE_NEED(ctx, pos, 1, "gif");
        if (!ctx.read(pos, b, 1))
            return invalid();
        room why = room::ok;
        if (b[0] == 0x3B)
            return image ? found(pos + 1 - ctx.start, "gif") : invalid();
        if (b[0] == 0x21) {
            pos += 2;
            if (!skip_gif_sub_blocks(ctx, &pos, &why))
                return ctx.out_of_room(why, "gif");
        } else if (b[0] == 0x2C) {
            CARVE_NEED(ctx, pos, 11, "gif");
            if (!ctx.read(pos, b, 10))
                return invalid();
            pos += 10;
            if (b[9] & 0x80)
                pos += 3ull * (2u << (b[9] & 7));
            uint8_t code_size = 0;
            CARVE_NEED(ctx, pos, 1, "gif");
            if (!ctx.read(pos, &code_size, 1) || code_size < 1 || code_size > 12)
                return invalid();
            pos += 1;
            if (!skip_gif_sub_blocks(ctx, &pos, &why))
                return ctx.out_of_room(why, "gif");
            image = true;
        } else {
            return invalid();
        }
    }
    return invalid();
}

// BMP: the file header's size, believed only when the info header and the
// pixel array it describes fit inside it.
parse_result_s parse_bmp(parse_ctx_s& ctx)
{
    uint8_t h[54];
    CARVE_NEED(ctx, ctx.start, 30, nullptr);
    if (!ctx.read(ctx.start, h, 30))
        return invalid();
    const uint32_t size = le32(h + 2);
    const uint32_t pixels = le32(h + 10);
    const uint32_t info = le32(h + 14);
    if (le32(h + 6) != 0)
        return invalid();
    if (info != 12 && info != 40 && info != 52 && info != 56 && info != 64 && info != 108 && info != 124)
        return invalid();
    if (pixels < 14 + info || pixels >= size)
        return invalid();
    uint64_t width = 0, height = 0, planes = 0, bits = 0, compression = 0;
    if (info == 12) {
        width = le16(h + 18);
        height = le16(h + 20);
        planes = le16(h + 22);
        bits = le16(h + 24);
    } else {
        CARVE_NEED(ctx, ctx.start, 54, nullptr);
        if (!ctx.read(ctx.start, h, 54))
            return invalid();
        const int32_t w = static_cast<int32_t>(le32(h + 18));
        const int32_t hh = static_cast<int32_t>(le32(h + 22));
        if (w <= 0 || hh == 0 || hh == INT32_MIN)
            return invalid();
        width = static_cast<uint64_t>(w);
        height = static_cast<uint64_t>(hh < 0 ? -static_cast<int64_t>(hh) : hh);
        planes = le16(h + 26);
        bits = le16(h + 28);
        compression = le32(h + 30);
    }
    if (planes != 1 || width == 0 || height == 0 || width > 100000 || height > 100000)
        return invalid();
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32 && bits != 64)
        return invalid();
    if (compression > 13)
        return invalid();
    if (compression == 0 || compression == 3) {
        const uint64_t row = (width * bits + 31) / 32 * 4;
        if (pixels + row * height > size)
            return invalid();
    }
    CARVE_NEED(ctx, ctx.start, size, "bmp");
    return found(size, "bmp");
}

namespace {

// Classic TIFF has 32-bit offsets and 12-byte entries; BigTIFF 64-bit
// offsets and counts and 20-byte entries. One walk serves both.
struct tiff_reader_s {
    parse_ctx_s& ctx;
    bool little;
    bool big;
    uint16_t u16(const uint8_t* p) const { return little ? le16(p) : be16(p); }
    uint32_t u32(const uint8_t* p) const { return little ? le32(p) : be32(p); }
    uint64_t u64(const uint8_t* p) const { return little ? le64(p) : be64(p); }
    // An offset or count word: 4 bytes, or 8 in BigTIFF.
    uint64_t word(const uint8_t* p) const { return big ? u64(p) : u32(p); }
    size_t word_size() const { return big ? 8 : 4; }
    size_t entry_size() const { return big ? 20 : 12; }
    size_t count_size() const { return big ? 8 : 2; }
};

size_t tiff_type_size(uint16_t type)
{
    switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;
    default: return 0;
    }
}

// Reads element i of an entry's SHORT, LONG, IFD, LONG8 or IFD8 array.
bool tiff_value(const tiff_reader_s& t, uint16_t type, uint64_t count, const uint8_t* entry, uint64_t i,
                uint64_t* out)
{
    const size_t unit = tiff_type_size(type);
    if ((type != 3 && type != 4 && type != 13 && type != 16 && type != 18) || i >= count)
        return false;
    const uint8_t* value = entry + 4 + t.word_size();
    uint8_t buf[8];
    const uint8_t* p = nullptr;
    if (count <= t.word_size() / unit) {
        p = value + unit * i;
    } else {
        const uint64_t rel = t.word(value);
        if (rel > t.ctx.device_end() || i > (t.ctx.device_end() - rel) / unit)
            return false;
        const uint64_t at = t.ctx.start + rel + unit * i;
        if (at < rel || !t.ctx.read(at, buf, unit))
            return false;
        p = buf;
    }
    *out = unit == 2 ? t.u16(p) : unit == 4 ? t.u32(p) : t.u64(p);
    return true;
}

// a + b, or UINT64_MAX when that overflows (it then fails every bound).
uint64_t tiff_sum(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// An ASCII value's first bytes (up to 32), for the maker and model.
std::string tiff_text(const tiff_reader_s& t, uint16_t type, uint64_t count, const uint8_t* entry)
{
    if (type != 2 || count == 0)
        return {};
    char buf[32] = {};
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof buf));
    if (count <= t.word_size()) {
        std::memcpy(buf, entry + 4 + t.word_size(), n);
    } else {
        const uint64_t rel = t.word(entry + 4 + t.word_size());
        if (!within_device(t.ctx, t.ctx.start, rel) || !t.ctx.read(t.ctx.start + rel, buf, n))
            return {};
    }
    return std::string(buf, strnlen(buf, n));
}

// The first byte past every value a maker note's directory points at, with
// offsets counted from base (relative to the file's start): 0 when the note
// is not a directory this walk understands, which then proves nothing. A
// directory type entry is followed one level down.
uint64_t makernote_end(const tiff_reader_s& t, uint64_t base, uint64_t ifd, int depth)
{
    uint8_t c[2];
    if (!within_device(t.ctx, t.ctx.start, tiff_sum(base, ifd)) || !t.ctx.read(t.ctx.start + base + ifd, c, 2))
        return 0;
    const uint16_t n = t.u16(c);
    if (n == 0 || n > 512)
        return 0;
    std::vector<uint8_t> table(2 + 12 * size_t{n});
    if (!within_device(t.ctx, t.ctx.start + base + ifd, table.size()) ||
        !t.ctx.read(t.ctx.start + base + ifd, table.data(), table.size()))
        return 0;
    uint64_t end = base + ifd + table.size();
    for (uint16_t e = 0; e < n; ++e) {
        const uint8_t* entry = table.data() + 2 + 12 * size_t{e};
        const uint16_t type = t.u16(entry + 2);
        const uint64_t count = t.u32(entry + 4);
        const size_t unit = tiff_type_size(type);
        if (unit == 0)
            return 0;
        const uint64_t bytes = unit * count;
        const uint64_t value = t.u32(entry + 8);
        if (bytes > 4)
            end = std::max(end, tiff_sum(tiff_sum(base, value), bytes));
        if ((type == 13 || (type == 4 && count == 1 && t.u16(entry) == 0x11)) && depth < 1 && value) {
            const uint64_t inner = makernote_end(t, base, value, depth + 1);
            end = std::max(end, inner);
        }
    }
    return end;
}

// Where a maker note's directory lies and what its offsets count from, by
// the maker's header; then makernote_end. note is the note's offset from the
// file's start.
uint64_t makernote_extent(tiff_reader_s t, uint64_t note, uint64_t length)
{
    uint8_t h[18] = {};
    if (length < 18 || !within_device(t.ctx, t.ctx.start, tiff_sum(note, 18)) || !t.ctx.read(t.ctx.start + note, h, 18))
        return 0;
    auto is = [&](const char* magic, size_t n) { return std::memcmp(h, magic, n) == 0; };
    if (is("Nikon\0\2", 7)) {
        // A TIFF header of its own: offsets count from it, in its byte order.
        if (!(h[10] == 'I' && h[11] == 'I') && !(h[10] == 'M' && h[11] == 'M'))
            return 0;
        t.little = h[10] == 'I';
        return makernote_end(t, note + 10, t.u32(h + 14), 0);
    }
    if (is("OLYMPUS\0", 8) || is("OM SYSTEM\0", 10)) {
        const uint64_t skip = h[0] == 'O' && h[1] == 'M' ? 16 : 12;
        if (h[skip - 4] == 'I' || h[skip - 4] == 'M')
            t.little = h[skip - 4] == 'I';
        return makernote_end(t, note, skip, 0);
    }
    if (is("SONY DSC \0\0\0", 12) || is("SONY CAM \0\0\0", 12) || is("Panasonic\0\0\0", 12))
        return makernote_end(t, 0, note + 12, 0);
    if (is("AOC\0", 4)) {
        if (h[4] == 'I' || h[4] == 'M')
            t.little = h[4] == 'I';
        return makernote_end(t, 0, note + 6, 0);
    }
    if (is("PENTAX \0", 8)) {
        t.little = h[8] == 'I';
        return makernote_end(t, note, 10, 0);
    }
    // No header (the makers who write none count from the file's start).
    return makernote_end(t, 0, note, 0);
}

// The raw format a TIFF-shaped file is, from its header and its tags; null
// for a plain TIFF.
const char* tiff_raw_type(const uint8_t* header, uint16_t magic, bool dng, bool cfa, const std::string& make,
                          const std::string& model)
{
    auto starts = [](const std::string& s, const char* prefix) {
        const size_t n = std::strlen(prefix);
        if (s.size() < n)
            return false;
        for (size_t i = 0; i < n; ++i)
            if (std::toupper(static_cast<unsigned char>(s[i])) != prefix[i])
                return false;
        return true;
    };
    if (dng)
        return "dng";
    if (std::memcmp(header + 8, "CR\2", 3) == 0)
        return "cr2";
    if (magic == 0x4F52 || magic == 0x5352)
        return "orf";
    if (magic == 0x55)
        return "rw2";
    if (!cfa)
        return nullptr;
    if (starts(make, "NIKON"))
        return starts(model, "COOLPIX") ? "nrw" : "nef";
    if (starts(make, "SONY"))
        return starts(model, "DSC-R1") ? "sr2" : "arw";
    if (starts(make, "PENTAX") || starts(make, "RICOH"))
        return "pef";
    if (starts(make, "CANON"))
        return "cr2";
    return nullptr;
}

}  // namespace

// TIFF and BigTIFF: the file ends with the last byte any directory, value,
// strip or tile points at. Every directory reachable (next, sub-directories,
// Exif, GPS) is walked once.
parse_result_s parse_tiff(parse_ctx_s& ctx)
{
    uint8_t h[16] = {};
    CARVE_NEED(ctx, ctx.start, 8, nullptr);
    if (!ctx.read(ctx.start, h, 8))
        return invalid();
    if (within_device(ctx, ctx.start, 16))
        ctx.read(ctx.start + 8, h + 8, 8);
    tiff_reader_s t{ctx, h[0] == 'I', false};
    uint64_t first = 0;
    uint64_t end = 8;
    const uint16_t magic = t.u16(h + 2);
    if (magic == 43) {
        // BigTIFF: offset size 8, a zero word, then the first directory.
        CARVE_NEED(ctx, ctx.start, 16, nullptr);
        if (!ctx.read(ctx.start, h, 16) || t.u16(h + 4) != 8 || t.u16(h + 6) != 0)
            return invalid();
        t.big = true;
        first = t.u64(h + 8);
        end = 16;
    } else {
        first = t.u32(h + 4);
    }
    if (first < end)
        return invalid();
    std::set<uint64_t> seen;
    std::vector<uint64_t> pending{first};
    const char* held = nullptr;
    // What tells a camera's raw file from a plain TIFF.
    std::string make, model;
    bool dng = false, cfa = false;
    std::vector<std::pair<uint64_t, uint64_t>> notes;  // maker notes: offset, length
    while (!pending.empty()) {
        const uint64_t ifd = pending.back();
        pending.pop_back();
        if (ifd < 8 || ifd % 2 || ifd > ctx.device_end() || !seen.insert(ifd).second)
            continue;
        if (seen.size() > 256)
            return invalid();
        uint8_t c[8];
        CARVE_NEED(ctx, ctx.start + ifd, t.count_size(), held);
        if (!ctx.read(ctx.start + ifd, c, t.count_size()))
            return invalid();
        const uint64_t n = t.big ? t.u64(c) : t.u16(c);
        if (n == 0 || n > 4096)
            return invalid();
        const uint64_t table_length = t.count_size() + t.entry_size() * n + t.word_size();
        CARVE_NEED(ctx, ctx.start + ifd, table_length, held);
        std::vector<uint8_t> table(table_length);
        if (!ctx.read(ctx.start + ifd, table.data(), table.size()))
            return invalid();
        end = std::max(end, ifd + table_length);
        held = "tif";
        uint64_t offsets_entry = 0, counts_entry = 0;  // positions in table, 0 when absent
        uint64_t tile_offsets = 0, tile_counts = 0;
        uint64_t jpeg_at = 0, jpeg_length = 0;
        uint16_t previous_tag = 0;
        for (uint64_t e = 0; e < n; ++e) {
            const uint64_t at = t.count_size() + t.entry_size() * e;
            const uint8_t* entry = table.data() + at;
            const uint16_t tag = t.u16(entry);
            const uint16_t type = t.u16(entry + 2);
            const uint64_t count = t.word(entry + 4);
            const size_t unit = tiff_type_size(type);
            if (unit == 0 || tag < previous_tag)
                return invalid();
            previous_tag = tag;
            const uint64_t bytes = count > UINT64_MAX / unit ? UINT64_MAX : unit * count;
            if (bytes > t.word_size())
                end = std::max(end, tiff_sum(t.word(entry + 4 + t.word_size()), bytes));
            uint64_t v = 0;
            switch (tag) {
            case 273: offsets_entry = at; break;
            case 279: counts_entry = at; break;
            case 324: tile_offsets = at; break;
            case 325: tile_counts = at; break;
            case 262:
                if (tiff_value(t, type, count, entry, 0, &v) && (v == 32803 || v == 34892))
                    cfa = true;
                break;
            case 271: if (make.empty()) make = tiff_text(t, type, count, entry); break;
            case 272: if (model.empty()) model = tiff_text(t, type, count, entry); break;
            case 50706: dng = true; break;
            case 37500:
                if (!t.big && count >= 18 && notes.size() < 4)
                    notes.emplace_back(t.word(entry + 4 + t.word_size()), count);
                break;
            case 513: if (tiff_value(t, type, count, entry, 0, &v)) jpeg_at = v; break;
            case 514: if (tiff_value(t, type, count, entry, 0, &v)) jpeg_length = v; break;
            case 330: case 34665: case 34853: case 40965:
                for (uint64_t i = 0; i < count && i < 64; ++i)
                    if (tiff_value(t, type, count, entry, i, &v))
                        pending.push_back(v);
                break;
            default: break;
            }
        }
        if (jpeg_at && jpeg_length)
            end = std::max(end, tiff_sum(jpeg_at, jpeg_length));
        // Strip and tile data: offsets paired with byte counts.
        const std::pair<uint64_t, uint64_t> pairs[2] = {{offsets_entry, counts_entry}, {tile_offsets, tile_counts}};
        for (const auto& [o, b] : pairs) {
            if (!o || !b)
                continue;
            const uint8_t* oe = table.data() + o;
            const uint8_t* be = table.data() + b;
            const uint64_t count = t.word(oe + 4);
            if (count != t.word(be + 4) || count > (1u << 20))
                return invalid();
            for (uint64_t i = 0; i < count; ++i) {
                uint64_t off = 0, len = 0;
                if (!tiff_value(t, t.u16(oe + 2), count, oe, i, &off) ||
                    !tiff_value(t, t.u16(be + 2), count, be, i, &len))
                    return invalid();
                end = std::max(end, tiff_sum(off, len));
            }
        }
        const uint64_t next = t.word(table.data() + t.count_size() + t.entry_size() * n);
        if (next)
            pending.push_back(next);
    }
    const char* raw = tiff_raw_type(h, magic, dng, cfa, make, model);
    const char* type = raw ? raw : "tif";
    // A raw file keeps much of what its camera knows in the maker note: it
    // comes back whole only with everything the note points at.
    // A note that points past the type's largest size was not understood
    // and proves nothing.
    if (raw)
        for (const auto& [note, length] : notes)
            if (const uint64_t note_end = makernote_extent(t, note, length);
                ctx.check(ctx.start, note_end) != room::too_big)
                end = std::max(end, note_end);
    CARVE_NEED(ctx, ctx.start, end, type);
    return found(end, type);
}

namespace {
bool is_fourcc(const uint8_t* p)
{
    for (int i = 0; i < 4; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    return true;
}
}  // namespace

// RIFF: the container's own length, believed when its chunks tile it
// exactly. An AVI may continue in further "AVIX" containers.
parse_result_s parse_riff(parse_ctx_s& ctx)
{
    uint8_t h[20];
    CARVE_NEED(ctx, ctx.start, 20, nullptr);
    if (!ctx.read(ctx.start, h, 20))
        return invalid();
    const char* type = nullptr;
    if (std::memcmp(h + 8, "WEBP", 4) == 0) {
        if (std::memcmp(h + 12, "VP8 ", 4) && std::memcmp(h + 12, "VP8L", 4) && std::memcmp(h + 12, "VP8X", 4))
            return invalid();
        type = "webp";
    } else if (std::memcmp(h + 8, "WAVE", 4) == 0) {
        type = "wav";
    } else if (std::memcmp(h + 8, "AVI ", 4) == 0) {
        if (std::memcmp(h + 12, "LIST", 4) != 0)
            return invalid();
        type = "avi";
    } else {
        return invalid();
    }
    uint64_t riff_start = ctx.start;
    uint64_t riff_size = le32(h + 4);
    for (int part = 0; part < 4096; ++part) {
        if (riff_size < 4 || !is_fourcc(h + 12))
            return invalid();
        const uint64_t end = riff_start + 8 + riff_size;
        uint64_t pos = riff_start + 12;
        int chunks = 0;
        while (pos + 8 <= end) {
            uint8_t c[8];
            CARVE_NEED(ctx, pos, 8, type);
            if (!ctx.read(pos, c, 8) || !is_fourcc(c) || ++chunks > 1000000)
                return invalid();
            pos += 8 + static_cast<uint64_t>(le32(c + 4));
            pos += le32(c + 4) & 1;
        }
        // Some writers leave the last odd chunk unpadded.
        if (pos != end && pos != end + 1)
            return invalid();
        CARVE_NEED(ctx, riff_start, end - riff_start, type);
        // An OpenDML AVI goes on in "RIFF....AVIX" parts.
        if (std::strcmp(type, "avi") != 0 || !within_device(ctx, end, 20) || ctx.check(end, 20) != room::ok ||
            !ctx.read(end, h, 20) || std::memcmp(h, "RIFF", 4) || std::memcmp(h + 8, "AVIX", 4))
            return found(end - ctx.start, type);
        riff_start = end;
        riff_size = le32(h + 4);
    }
    return invalid();
}

}  // namespace carve
