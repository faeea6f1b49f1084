// Audio and video: MPEG audio, ISO media (mp4, mov, ...), FLAC and Ogg.
#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace carve {

namespace {

struct mpeg_frame_s {
    uint32_t length = 0;
    uint32_t shape = 0;  // version, layer and sampling-rate bits: equal within one stream
};

// An MPEG audio frame header. Returns false when h is not one.
bool mpeg_frame(uint32_t h, mpeg_frame_s* out)
{
    static const uint16_t rates_v1[3][16] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},   // layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},      // layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},       // layer III
    };
    static const uint16_t rates_v2[3][16] = {
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    };
    static const uint32_t sampling[3] = {44100, 48000, 32000};
    if ((h >> 21) != 0x7FF)
        return false;
    const uint32_t version = (h >> 19) & 3;  // 0: 2.5, 2: 2, 3: 1
    const uint32_t layer_bits = (h >> 17) & 3;
    const uint32_t rate_index = (h >> 12) & 15;
    const uint32_t sr_index = (h >> 10) & 3;
    const uint32_t padding = (h >> 9) & 1;
    if (version == 1 || layer_bits == 0 || rate_index == 0 || rate_index == 15 || sr_index == 3 || (h & 3) == 2)
        return false;
    const int layer = 3 - static_cast<int>(layer_bits);  // 0: I, 1: II, 2: III
    const uint32_t kbps = version == 3 ? rates_v1[layer][rate_index] : rates_v2[layer][rate_index];
    uint32_t rate = sampling[sr_index];
    if (version == 2)
        rate /= 2;
    else if (version == 0)
        rate /= 4;
    uint32_t length = 0;
    if (layer == 0)
        length = (12 * kbps * 1000 / rate + padding) * 4;
    else if (layer == 2 && version != 3)
        length = 72 * kbps * 1000 / rate + padding;
    else
        length = 144 * kbps * 1000 / rate + padding;
    if (length < 21)
        return false;
    out->length = length;
    out->shape = (h >> 17 & 0xF) << 2 | sr_index;
    return true;
}

}  // namespace

// MPEG audio: an optional ID3v2 tag, then a run of frames of one shape, each
// header where the one before ends, then an optional ID3v1 tag. Without a
// tag, eight frames in a row make a file; with one, two.
parse_result_s parse_mp3(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start;
    bool tagged = false;
    uint8_t h[10];
    CARVE_NEED(ctx, pos, 10, nullptr);
    if (!ctx.read(pos, h, 10))
        return invalid();
    if (std::memcmp(h, "ID3", 3) == 0) {
        if (h[3] < 2 || h[3] > 4 || h[4] == 0xFF || (h[6] | h[7] | h[8] | h[9]) & 0x80)
            return invalid();
        const uint64_t size = static_cast<uint64_t>(h[6]) << 21 | h[7] << 14 | h[8] << 7 | h[9];
        pos += 10 + size + ((h[5] & 0x10) ? 10 : 0);
        tagged = true;
        // Some writers pad after the tag's declared size.
        for (int pad = 0; pad < 4096; ++pad) {
            uint8_t z = 0;
            if (ctx.check(pos, 1) != room::ok || !ctx.read(pos, &z, 1) || z != 0)
                break;
            ++pos;
        }
    }
    uint32_t shape = 0;
    uint64_t frames = 0;
    for (; frames < 100000000; ++frames) {
        uint8_t f[4];
        if (ctx.check(pos, 4) != room::ok || !ctx.read(pos, f, 4))
            break;
        mpeg_frame_s frame;
        if (!mpeg_frame(be32(f), &frame) || (frames && frame.shape != shape))
            break;
        if (ctx.check(pos, frame.length) != room::ok)
            break;
        shape = frame.shape;
        pos += frame.length;
    }
    if (frames < (tagged ? 2u : 8u))
        return invalid();
    uint8_t tag[3];
    if (ctx.check(pos, 128) == room::ok && ctx.read(pos, tag, 3) && std::memcmp(tag, "TAG", 3) == 0)
        pos += 128;
    return found(pos - ctx.start, "mp3");
}

namespace {
bool is_top_level_box(const uint8_t* t)
{
    static const char* const known[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta",
                                        "pdin", "moof", "mfra", "sidx", "ssix", "styp", "emsg", "prft",
                                        "pnot", "udta", "junk", "PICT", "beam", "iinf", "idat", "iloc"};
    for (const char* k : known)
        if (std::memcmp(t, k, 4) == 0)
            return true;
    return false;
}
}  // namespace

// ISO media (mp4, mov, m4a, 3gp, heic): top-level boxes by their sizes from
// "ftyp" on, while they are boxes such a file holds; the file needs its
// movie (or fragment) box and a media-data or item box.
parse_result_s parse_isobmff(parse_ctx_s& ctx)
{
    uint8_t h[16];
    CARVE_NEED(ctx, ctx.start, 16, nullptr);
    if (!ctx.read(ctx.start, h, 16))
        return invalid();
    const uint32_t ftyp_size = be32(h);
    if (ftyp_size < 16 || ftyp_size > 4096)
        return invalid();
    for (int i = 8; i < 12; ++i)
        if (h[i] < 0x20 || h[i] > 0x7E)
            return invalid();
    const char* type = "mp4";
    if (std::memcmp(h + 8, "qt  ", 4) == 0)
        type = "mov";
    else if (std::memcmp(h + 8, "M4A ", 4) == 0 || std::memcmp(h + 8, "M4B ", 4) == 0)
        type = "m4a";
    else if (std::memcmp(h + 8, "3g", 2) == 0)
        type = "3gp";
    else if (std::memcmp(h + 8, "heic", 4) == 0 || std::memcmp(h + 8, "heix", 4) == 0 ||
             std::memcmp(h + 8, "mif1", 4) == 0)
        type = "heic";
    else if (std::memcmp(h + 8, "crx ", 4) == 0)
        type = "cr3";
    else if (std::memcmp(h + 8, "M4V", 3) == 0)
        type = "m4v";
    else if (std::memcmp(h + 8, "avif", 4) == 0 || std::memcmp(h + 8, "avis", 4) == 0)
        type = "avif";
    uint64_t pos = ctx.start;
    bool movie = false;
    bool media = false;
    for (int boxes = 0; boxes < 1000000; ++boxes) {
        uint8_t b[16];
        if (ctx.check(pos, 8) != room::ok || !ctx.read(pos, b, 8))
            break;
        if (!is_top_level_box(b + 4))
            break;
        uint64_t size = be32(b);
        if (size == 1) {
            CARVE_NEED(ctx, pos, 16, type);
            if (!ctx.read(pos, b, 16))
                return invalid();
            size = be64(b + 8);
            if (size < 16)
                break;
        } else if (size < 8) {
            break;  // 0 ("to the end of the file") gives no length
        }
        if (std::memcmp(b + 4, "moov", 4) == 0 || std::memcmp(b + 4, "moof", 4) == 0)
            movie = true;
        if (std::memcmp(b + 4, "mdat", 4) == 0 || std::memcmp(b + 4, "meta", 4) == 0)
            media = true;
        if (pos > UINT64_MAX - size)
            return invalid();
        if (ctx.check(pos, size) != room::ok)
            return ctx.out_of_room(ctx.check(pos, size), movie || media ? type : nullptr);
        pos += size;
    }
    const bool still = std::strcmp(type, "heic") == 0 || std::strcmp(type, "avif") == 0;
    if (!(movie || still) || !media)
        return invalid();
    return found(pos - ctx.start, type);
}

namespace {

struct flac_tables_s {
    uint8_t crc8[256];
    uint16_t crc16[256];
    flac_tables_s()
    {
        for (int i = 0; i < 256; ++i) {
            uint8_t c8 = static_cast<uint8_t>(i);
            for (int k = 0; k < 8; ++k)
                c8 = static_cast<uint8_t>(c8 & 0x80 ? (c8 << 1) ^ 0x07 : c8 << 1);
            crc8[i] = c8;
            uint16_t c16 = static_cast<uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k)
                c16 = static_cast<uint16_t>(c16 & 0x8000 ? (c16 << 1) ^ 0x8005 : c16 << 1);
            crc16[i] = c16;
        }
    }
};
const flac_tables_s flac_tables;

struct flac_frame_s {
    uint32_t header_length = 0;
    uint64_t block_size = 0;
};

// A FLAC frame header at h (up to 16 bytes available). Returns false when it
// is not one or its CRC-8 does not hold.
bool flac_frame(const uint8_t* h, size_t avail, flac_frame_s* out)
{
    if (avail < 6 || h[0] != 0xFF || (h[1] & 0xFE) != 0xF8)
        return false;
    const uint8_t size_code = h[2] >> 4;
    const uint8_t rate_code = h[2] & 15;
    if (size_code == 0 || rate_code == 15 || (h[3] >> 4) > 10 || ((h[3] >> 1) & 7) == 3 || (h[3] & 1))
        return false;
    size_t k = 4;
    // The frame or sample number, UTF-8 style, 1 to 7 bytes.
    int extra = 0;
    if (!(h[k] & 0x80))
        extra = 0;
    else if ((h[k] & 0xE0) == 0xC0)
        extra = 1;
    else if ((h[k] & 0xF0) == 0xE0)
        extra = 2;
    else if ((h[k] & 0xF8) == 0xF0)
        extra = 3;
    else if ((h[k] & 0xFC) == 0xF8)
        extra = 4;
    else if ((h[k] & 0xFE) == 0xFC)
        extra = 5;
    else if (h[k] == 0xFE)
        extra = 6;
    else
        return false;
    k += 1 + static_cast<size_t>(extra);
    uint64_t block = 0;
    if (size_code == 1)
        block = 192;
    else if (size_code <= 5)
        block = 576u << (size_code - 2);
    else if (size_code == 6) {
        if (k + 1 > avail)
            return false;
        block = h[k] + 1u;
        k += 1;
    } else if (size_code == 7) {
        if (k + 2 > avail)
            return false;
        block = be16(h + k) + 1u;
        k += 2;
    } else
        block = 256u << (size_code - 8);
    if (rate_code == 12)
        k += 1;
    else if (rate_code == 13 || rate_code == 14)
        k += 2;
    if (k + 1 > avail)
        return false;
    uint8_t crc = 0;
    for (size_t i = 0; i < k; ++i)
        crc = flac_tables.crc8[crc ^ h[i]];
    if (crc != h[k])
        return false;
    out->header_length = static_cast<uint32_t>(k + 1);
    out->block_size = block;
    return true;
}

}  // namespace

// FLAC: metadata blocks from STREAMINFO on, then frames. A frame ends where
// the CRC-16 over it comes to zero and, unless it is the last one by the
// stream's sample count, the next frame's header follows.
parse_result_s parse_flac(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start + 4;
    uint64_t total_samples = 0;
    uint32_t min_frame = 0;
    uint32_t max_frame = 0;
    for (int blocks = 0;; ++blocks) {
        uint8_t m[38];
        CARVE_NEED(ctx, pos, 4, nullptr);
        if (!ctx.read(pos, m, 4) || blocks > 100000)
            return invalid();
        const uint8_t type = m[0] & 0x7F;
        const uint32_t length = be24(m + 1);
        if (type == 127 || (blocks == 0 && (type != 0 || length != 34)) || (blocks > 0 && type == 0))
            return invalid();
        if (blocks == 0) {
            CARVE_NEED(ctx, pos, 38, nullptr);
            if (!ctx.read(pos, m, 38))
                return invalid();
            const uint8_t* s = m + 4;
            if (be16(s) < 16 || be16(s + 2) < be16(s))
                return invalid();
            min_frame = be24(s + 4);
            max_frame = be24(s + 7);
            total_samples = (static_cast<uint64_t>(s[13] & 15) << 32) | be32(s + 14);
        }
        pos += 4 + length;
        if (m[0] & 0x80)
            break;
    }
    uint64_t samples = 0;
    uint64_t frames = 0;
    for (;; ++frames) {
        uint8_t h[16];
        const size_t got = ctx.check(pos, 16) == room::ok ? 16 : (ctx.check(pos, 6) == room::ok ? 6 : 0);
        flac_frame_s frame;
        if (!got || !ctx.read(pos, h, got) || !flac_frame(h, got, &frame))
            return frames ? found(pos - ctx.start, "flac") : ctx.out_of_room(ctx.check(pos, 16), "flac");
        const bool last = total_samples && samples + frame.block_size >= total_samples;
        const uint64_t search_end = max_frame ? pos + max_frame : ctx.bound();
        uint16_t crc = 0;
        uint64_t p = pos;
        uint64_t end = 0;
        while (!end && p < search_end) {
            const room r = ctx.check(p, 1);
            if (r != room::ok)
                return ctx.out_of_room(r, "flac");
            size_t avail = 0;
            const uint8_t* d = ctx.src.at(p, &avail);
            if (!d)
                return invalid();
            if (avail > search_end - p)
                avail = static_cast<size_t>(search_end - p);
            for (size_t i = 0; i < avail; ++i) {
                crc = static_cast<uint16_t>(crc << 8 ^ flac_tables.crc16[(crc >> 8) ^ d[i]]);
                const uint64_t e = p + i + 1;
                if (crc != 0 || e - pos < std::max<uint64_t>(min_frame, frame.header_length + 2u))
                    continue;
                if (last) {
                    end = e;
                    break;
                }
                uint8_t n[16];
                flac_frame_s next;
                const size_t have = ctx.check(e, 16) == room::ok ? 16 : 6;
                if (ctx.check(e, have) == room::ok && ctx.read(e, n, have) && flac_frame(n, have, &next)) {
                    end = e;
                    break;
                }
            }
            p += avail;
        }
        if (!end)
            return frames ? found(pos - ctx.start, "flac") : invalid();
        samples += frame.block_size;
        pos = end;
        if (last)
            return found(pos - ctx.start, "flac");
    }
}

namespace {
struct ogg_table_s {
    uint32_t entry[256];
    ogg_table_s()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k)
                c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
            entry[i] = c;
        }
    }
};
const ogg_table_s ogg_table;
}  // namespace

// Ogg (and Opus, Theora video): pages with their CRCs, from a first page that begins a stream, until
// every stream begun has ended and no new one begins.
parse_result_s parse_ogg(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start;
    std::set<uint32_t> open;
    std::vector<uint8_t> page;
    const char* type = "ogg";  // named by the first stream's codec
    for (uint64_t pages = 0; pages < 100000000; ++pages) {
        uint8_t h[27 + 255];
        const char* held = pages ? type : nullptr;
        const room r = ctx.check(pos, 27);
        if (r != room::ok)
            return pages ? ctx.out_of_room(r, held) : invalid();
        if (!ctx.read(pos, h, 27) || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0 || (h[5] & 0xF8))
            return pages ? found(pos - ctx.start, type) : invalid();
        const uint32_t serial = le32(h + 14);
        const bool begins = h[5] & 2;
        if ((pages == 0 || open.empty()) && !begins)
            return pages ? found(pos - ctx.start, type) : invalid();
        if (!begins && !open.count(serial))
            return found(pos - ctx.start, type);
        const uint8_t segments = h[26];
        CARVE_NEED(ctx, pos, 27u + segments, held);
        if (!ctx.read(pos + 27, h + 27, segments))
            return invalid();
        uint64_t body = 0;
        for (int i = 0; i < segments; ++i)
            body += h[27 + i];
        const uint64_t length = 27 + segments + body;
        CARVE_NEED(ctx, pos, length, held);
        page.resize(static_cast<size_t>(length));
        if (!ctx.read(pos, page.data(), page.size()))
            return invalid();
        const uint32_t stored = le32(page.data() + 22);
        std::memset(page.data() + 22, 0, 4);
        uint32_t crc = 0;
        for (uint8_t b : page)
            crc = crc << 8 ^ ogg_table.entry[(crc >> 24) ^ b];
        if (crc != stored)
            return pages ? found(pos - ctx.start, type) : invalid();
        if (pages == 0 && length >= 27u + segments + 8) {
            const uint8_t* packet = page.data() + 27 + segments;
            if (std::memcmp(packet, "OpusHead", 8) == 0)
                type = "opus";
            else if (std::memcmp(packet, "\x80theora", 7) == 0)
                type = "ogv";
        }
        if (begins)
            open.insert(serial);
        if (h[5] & 4)
            open.erase(serial);
        pos += length;
        if (open.empty()) {
            // A chained stream may follow; otherwise this is the end.
            uint8_t n[6];
            if (ctx.check(pos, 6) != room::ok || !ctx.read(pos, n, 6) || std::memcmp(n, "OggS", 4) || !(n[5] & 2))
                return found(pos - ctx.start, type);
        }
    }
    return invalid();
}

}  // namespace carve
