// Files whose headers, records or box chains give their length: icons and
// pictures (ICNS, JPEG 2000, JPEG XL, EMF, WMF), Type 1 fonts, Blender
// scenes, Zstandard frames, cabinets, help files, cpio archives, Windows
// event logs and shortcuts, Java classes and Android DEX files.
#include "engines/carve/carve_internal.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace carve {

namespace {

bool alnum_tag(const uint8_t* p)
{
    for (int i = 0; i < 4; ++i)
        if (!((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'a' && p[i] <= 'z') || (p[i] >= 'A' && p[i] <= 'Z') || p[i] == ' '))
            return false;
    return true;
}

bool one_of(const uint8_t* tag, std::initializer_list<const char*> names)
{
    for (const char* n : names)
        if (std::memcmp(tag, n, 4) == 0)
            return true;
    return false;
}

}  // namespace

// Apple icons: "icns", the file's length, and elements that fill it.
parse_result_s parse_icns(parse_ctx_s& ctx)
{
    uint8_t h[8];
    CARVE_NEED(ctx, ctx.start, 16, nullptr);
    if (!ctx.read(ctx.start, h, 8))
        return invalid();
    const uint64_t length = be32(h + 4);
    if (length < 16)
        return invalid();
    CARVE_NEED(ctx, ctx.start, length, "icns");
    uint64_t pos = 8;
    for (int elements = 0; pos < length; ++elements) {
        uint8_t e[8];
        if (elements > 1000 || pos + 8 > length || !ctx.read(ctx.start + pos, e, 8) || !alnum_tag(e) || be32(e + 4) < 8)
            return invalid();
        pos += be32(e + 4);
    }
    return pos == length ? found(length, "icns") : invalid();
}

// JPEG 2000 (JP2) and JPEG XL in their box containers: the signature box,
// "ftyp", then boxes by their sizes while they are boxes such a file holds;
// the codestream box must be among them. A last box "to the end of the
// file" (size 0) gives no length.
parse_result_s parse_jpeg_boxes(parse_ctx_s& ctx)
{
    uint8_t h[20];
    CARVE_NEED(ctx, ctx.start, 20, nullptr);
    if (!ctx.read(ctx.start, h, 20) || be32(h) != 12 || be32(h + 8) != 0x0D0A870A ||
        std::memcmp(h + 16, "ftyp", 4) != 0)
        return invalid();
    const bool xl = std::memcmp(h + 4, "JXL ", 4) == 0;
    const char* type = xl ? "jxl" : "jp2";
    uint64_t pos = ctx.start + 12;
    bool codestream = false;
    for (int boxes = 0; boxes < 100000; ++boxes) {
        uint8_t b[16];
        if (ctx.check(pos, 8) != room::ok || !ctx.read(pos, b, 8))
            break;
        const bool known = xl ? one_of(b + 4, {"ftyp", "jxll", "jumb", "Exif", "xml ", "brob", "jxli", "jxlc", "jxlp", "jbrd"})
                              : one_of(b + 4, {"ftyp", "jp2h", "jp2c", "jp2i", "xml ", "uuid", "uinf", "res ", "rreq",
                                               "jpch", "jplh", "cgrp", "ftbl", "asoc", "lbl ", "nlst", "dtbl"});
        if (!known)
            break;
        uint64_t size = be32(b);
        if (size == 1) {
            CARVE_NEED(ctx, pos, 16, codestream ? type : nullptr);
            if (!ctx.read(pos, b, 16))
                return invalid();
            size = be64(b + 8);
            if (size < 16)
                return invalid();
        } else if (size < 8) {
            return invalid();
        }
        codestream = codestream || one_of(b + 4, {"jp2c", "jxlc", "jxlp"});
        if (pos > UINT64_MAX - size)
            return invalid();
        CARVE_NEED(ctx, pos, size, codestream ? type : nullptr);
        pos += size;
    }
    return codestream ? found(pos - ctx.start, type) : invalid();
}

// Enhanced metafiles: the header record gives the file's length, and the
// record that closes it must be the end-of-file record.
parse_result_s parse_emf(parse_ctx_s& ctx)
{
    uint8_t h[60];
    CARVE_NEED(ctx, ctx.start, 60, nullptr);
    if (!ctx.read(ctx.start, h, 60) || std::memcmp(h + 40, " EMF", 4) != 0 || le32(h + 44) != 0x10000)
        return invalid();
    const uint64_t header = le32(h + 4);
    const uint64_t length = le32(h + 48);
    if (header < 88 || header % 4 != 0 || length < header + 20 || length % 4 != 0 || le32(h + 52) < 2)
        return invalid();
    CARVE_NEED(ctx, ctx.start, length, "emf");
    uint8_t last[4];
    if (!ctx.read(ctx.start + length - 4, last, 4))
        return invalid();
    const uint64_t eof_size = le32(last);
    uint8_t eof[4];
    if (eof_size < 20 || eof_size > length - header || !ctx.read(ctx.start + length - eof_size, eof, 4) || le32(eof) != 14)
        return invalid();
    return found(length, "emf");
}

// Placeable Windows metafiles: the placeable header with its checksum, the
// metafile header giving the size in words, the end record last.
parse_result_s parse_wmf(parse_ctx_s& ctx)
{
    uint8_t h[40];
    CARVE_NEED(ctx, ctx.start, 40, nullptr);
    if (!ctx.read(ctx.start, h, 40))
        return invalid();
    uint16_t sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum ^= le16(h + i);
    const uint16_t kind = le16(h + 22);
    const uint16_t version = le16(h + 26);
    const uint64_t words = le32(h + 28);
    if (sum != le16(h + 20) || (kind != 1 && kind != 2) || le16(h + 24) != 9 || (version != 0x100 && version != 0x300) ||
        words < 12 || le16(h + 38) != 0)
        return invalid();
    const uint64_t length = 22 + words * 2;
    CARVE_NEED(ctx, ctx.start, length, "wmf");
    uint8_t end[6];
    if (!ctx.read(ctx.start + length - 6, end, 6) || le32(end) != 3 || le16(end + 4) != 0)
        return invalid();
    return found(length, "wmf");
}

// Type 1 fonts in binary form: segments of text and binary, each led by
// its length, up to the end-of-file segment.
parse_result_s parse_pfb(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start;
    for (int segments = 0; segments < 10000; ++segments) {
        uint8_t s[8];
        CARVE_NEED(ctx, pos, 2, segments ? "pfb" : nullptr);
        if (!ctx.read(pos, s, 2) || s[0] != 0x80 || s[1] < 1 || s[1] > 3 || (segments == 0 && s[1] != 1))
            return invalid();
        if (s[1] == 3)
            return segments >= 2 ? found(pos + 2 - ctx.start, "pfb") : invalid();
        CARVE_NEED(ctx, pos, 8, segments ? "pfb" : nullptr);
        if (!ctx.read(pos, s, 8) || (segments == 0 && std::memcmp(s + 6, "%!", 2) != 0))
            return invalid();
        pos += 6 + uint64_t(le32(s + 2));
    }
    return invalid();
}

// Blender scenes: the header, then file blocks each giving its length, up
// to the "ENDB" block.
parse_result_s parse_blend(parse_ctx_s& ctx)
{
    uint8_t h[12];
    CARVE_NEED(ctx, ctx.start, 12, nullptr);
    if (!ctx.read(ctx.start, h, 12) || (h[7] != '_' && h[7] != '-') || (h[8] != 'v' && h[8] != 'V') ||
        !std::isdigit(h[9]) || !std::isdigit(h[10]) || !std::isdigit(h[11]))
        return invalid();
    const uint64_t block_header = h[7] == '_' ? 20 : 24;
    const bool big = h[8] == 'V';
    uint64_t pos = ctx.start + 12;
    for (uint64_t blocks = 0; blocks < 50000000; ++blocks) {
        uint8_t b[8];
        CARVE_NEED(ctx, pos, block_header, blocks > 1 ? "blend" : nullptr);
        if (!ctx.read(pos, b, 8) || !alnum_tag(b))
            return invalid();
        if (std::memcmp(b, "ENDB", 4) == 0)
            return blocks ? found(pos + block_header - ctx.start, "blend") : invalid();
        pos += block_header + (big ? be32(b + 4) : le32(b + 4));
    }
    return invalid();
}

// Zstandard: frames (and skippable frames) in a row. A frame's header, its
// blocks each led by a 3-byte header with its size, the last block
// flagged, then the checksum when the header asks for one.
parse_result_s parse_zstd(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start;
    for (int frames = 0; frames < 100000; ++frames) {
        uint8_t m[8];
        const room r = ctx.check(pos, 8);
        if (r != room::ok || !ctx.read(pos, m, 8))
            return frames ? found(pos - ctx.start, "zst") : invalid();
        if ((le32(m) & 0xFFFFFFF0u) == 0x184D2A50u && frames) {
            pos += 8 + uint64_t(le32(m + 4));
            continue;
        }
        if (le32(m) != 0xFD2FB528u)
            return frames ? found(pos - ctx.start, "zst") : invalid();
        const uint8_t fhd = m[4];
        if (fhd & 0x08)
            return frames ? found(pos - ctx.start, "zst") : invalid();  // the reserved bit
        const bool single = fhd & 0x20;
        static const uint8_t dict_bytes[4] = {0, 1, 2, 4};
        static const uint8_t size_bytes[4] = {0, 2, 4, 8};
        const uint64_t fcs = (fhd >> 6) == 0 ? (single ? 1 : 0) : size_bytes[fhd >> 6];
        uint64_t at = pos + 5 + (single ? 0 : 1) + dict_bytes[fhd & 3] + fcs;
        const char* held = frames ? "zst" : nullptr;
        for (uint64_t blocks = 0;; ++blocks) {
            uint8_t b[3];
            CARVE_NEED(ctx, at, 3, blocks ? "zst" : held);
            if (blocks > 50000000 || !ctx.read(at, b, 3))
                return invalid();
            const uint32_t header = b[0] | b[1] << 8 | b[2] << 16;
            const uint32_t kind = (header >> 1) & 3;
            const uint64_t size = header >> 3;
            if (kind == 3 || size > (128u << 10))
                return invalid();
            at += 3 + (kind == 1 ? 1 : size);
            if (header & 1)
                break;
        }
        if (fhd & 0x04)
            at += 4;
        CARVE_NEED(ctx, ctx.start, at - ctx.start, "zst");
        pos = at;
    }
    return invalid();
}

// Cabinets: the header gives the length; its folder and file offsets must
// lie inside it.
parse_result_s parse_cab(parse_ctx_s& ctx)
{
    uint8_t h[44];
    CARVE_NEED(ctx, ctx.start, 44, nullptr);
    if (!ctx.read(ctx.start, h, 44) || le32(h + 4) != 0 || le32(h + 12) != 0 || le32(h + 20) != 0 || h[24] != 3 ||
        h[25] != 1 || le16(h + 26) == 0 || le16(h + 28) == 0 || (le16(h + 30) & ~7u))
        return invalid();
    const uint64_t length = le32(h + 8);
    const uint64_t files_at = le32(h + 16);
    const uint64_t header = 36 + ((le16(h + 30) & 4) ? 4 : 0);
    if (files_at < header + 8 || files_at >= length)
        return invalid();
    // Without a reserve or a neighbour's name the first folder follows the
    // header: its data must come after the file entries.
    const uint64_t first_data = le32(h + 36);
    if (le16(h + 30) == 0 && (first_data < files_at || first_data >= length))
        return invalid();
    CARVE_NEED(ctx, ctx.start, length, "cab");
    return found(length, "cab");
}

// Compiled HTML help: the header's first section gives the file's length;
// the second must be the directory.
parse_result_s parse_chm(parse_ctx_s& ctx)
{
    uint8_t h[0x58];
    CARVE_NEED(ctx, ctx.start, sizeof h, nullptr);
    if (!ctx.read(ctx.start, h, sizeof h))
        return invalid();
    const uint32_t version = le32(h + 4);
    const uint32_t header = le32(h + 8);
    const uint64_t section0 = le64(h + 0x38);
    const uint64_t directory = le64(h + 0x48);
    if ((version != 2 && version != 3) || (header != 0x58 && header != 0x60) || section0 < header ||
        section0 > (1u << 20) || directory < header || directory > (1u << 20))
        return invalid();
    uint8_t s[16], d[4];
    CARVE_NEED(ctx, ctx.start + section0, 16, nullptr);
    CARVE_NEED(ctx, ctx.start + directory, 4, nullptr);
    if (!ctx.read(ctx.start + section0, s, 16) || le32(s) != 0x1FE || !ctx.read(ctx.start + directory, d, 4) ||
        std::memcmp(d, "ITSP", 4) != 0)
        return invalid();
    const uint64_t length = le64(s + 8);
    if (length <= directory || length > (UINT64_MAX >> 1))
        return invalid();
    CARVE_NEED(ctx, ctx.start, length, "chm");
    return found(length, "chm");
}

namespace {
bool hex_field(const uint8_t* p, uint64_t* value)
{
    *value = 0;
    for (int i = 0; i < 8; ++i) {
        const int d = p[i] >= '0' && p[i] <= '9' ? p[i] - '0' : p[i] >= 'a' && p[i] <= 'f' ? p[i] - 'a' + 10
                    : p[i] >= 'A' && p[i] <= 'F' ? p[i] - 'A' + 10 : -1;
        if (d < 0)
            return false;
        *value = *value << 4 | static_cast<uint64_t>(d);
    }
    return true;
}
}  // namespace

// cpio in the "new" (SVR4) form: entries with hexadecimal headers giving
// their name's and data's sizes, up to the "TRAILER!!!" entry and the zeros
// that pad the archive to whole 512-byte blocks.
parse_result_s parse_cpio(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start;
    for (uint64_t entries = 0; entries < 10000000; ++entries) {
        uint8_t h[110 + 11];
        CARVE_NEED(ctx, pos, 110, entries ? "cpio" : nullptr);
        if (!ctx.read(pos, h, 110) || std::memcmp(h, "07070", 5) != 0 || (h[5] != '1' && h[5] != '2'))
            return invalid();
        uint64_t fields[13];
        for (int f = 0; f < 13; ++f)
            if (!hex_field(h + 6 + 8 * f, &fields[f]))
                return invalid();
        const uint64_t data = fields[6];
        const uint64_t name = fields[11];
        if (name == 0 || name > 4096)
            return invalid();
        const uint64_t name_end = (110 + name + 3) & ~uint64_t(3);
        const uint64_t length = name_end + ((data + 3) & ~uint64_t(3));
        CARVE_NEED(ctx, pos, length, entries ? "cpio" : nullptr);
        bool trailer = false;
        if (name == 11) {
            if (!ctx.read(pos + 110, h + 110, 11))
                return invalid();
            trailer = std::memcmp(h + 110, "TRAILER!!!", 11) == 0;
        }
        pos += length;
        if (trailer) {
            uint64_t end = pos;
            const uint64_t padded = ctx.start + ((pos - ctx.start + 511) & ~uint64_t(511));
            uint8_t z[512];
            if (padded > pos && ctx.check(pos, padded - pos) == room::device_end)
                return ctx.out_of_room(room::device_end, "cpio");  // its padding cut
            if (padded > pos && ctx.check(pos, padded - pos) == room::ok && ctx.read(pos, z, padded - pos) &&
                std::all_of(z, z + (padded - pos), [](uint8_t b) { return b == 0; }))
                end = padded;
            return found(end - ctx.start, "cpio");
        }
    }
    return invalid();
}

// Windows event logs: the file header (its CRC checked) counts the
// 64 KiB chunks that follow its 4 KiB block.
parse_result_s parse_evtx(parse_ctx_s& ctx)
{
    uint8_t h[128];
    CARVE_NEED(ctx, ctx.start, 128, nullptr);
    if (!ctx.read(ctx.start, h, 128) || le32(h + 32) != 128 || le16(h + 38) != 3 || le16(h + 40) != 4096 ||
        crc32_of(h, 120) != le32(h + 124))
        return invalid();
    const uint64_t chunks = le16(h + 42);
    const uint64_t length = 4096 + chunks * 65536;
    CARVE_NEED(ctx, ctx.start, length, "evtx");
    if (chunks) {
        uint8_t c[8];
        if (!ctx.read(ctx.start + 4096, c, 8) || std::memcmp(c, "ElfChnk\0", 8) != 0)
            return invalid();
    }
    return found(length, "evtx");
}

// Windows shortcuts: the fixed header, then the parts its flags announce,
// each giving its length, then extra blocks up to the terminal one.
parse_result_s parse_lnk(parse_ctx_s& ctx)
{
    uint8_t h[76];
    CARVE_NEED(ctx, ctx.start, 76, nullptr);
    if (!ctx.read(ctx.start, h, 76) || le32(h + 20) >> 27 != 0)
        return invalid();
    const uint32_t flags = le32(h + 20);
    uint64_t pos = ctx.start + 76;
    uint8_t b[4];
    if (flags & 1) {  // the target's ID list
        CARVE_NEED(ctx, pos, 2, "lnk");
        if (!ctx.read(pos, b, 2))
            return invalid();
        pos += 2 + uint64_t(le16(b));
    }
    if (flags & 2) {  // the link info, its size counting itself
        CARVE_NEED(ctx, pos, 4, "lnk");
        if (!ctx.read(pos, b, 4) || le32(b) < 28 || le32(b) > 65536)
            return invalid();
        pos += le32(b);
    }
    const uint64_t unit = (flags & 0x80) ? 2 : 1;
    for (uint32_t bit = 0x04; bit <= 0x40; bit <<= 1) {
        if (!(flags & bit))
            continue;
        CARVE_NEED(ctx, pos, 2, "lnk");
        if (!ctx.read(pos, b, 2))
            return invalid();
        pos += 2 + le16(b) * unit;
    }
    for (int blocks = 0; blocks < 1000; ++blocks) {
        CARVE_NEED(ctx, pos, 4, "lnk");
        if (!ctx.read(pos, b, 4))
            return invalid();
        const uint32_t size = le32(b);
        if (size < 4)
            return size == 0 ? found(pos + 4 - ctx.start, "lnk") : invalid();
        uint8_t sig[4];
        CARVE_NEED(ctx, pos, 8, "lnk");
        if (size < 8 || size > (1u << 20) || !ctx.read(pos + 4, sig, 4) || (le32(sig) & 0xFFFFFF00u) != 0xA0000000u)
            return invalid();
        pos += size;
    }
    return invalid();
}

// Java classes: the constant pool, then the fields, methods and attributes,
// each counted and sized.
parse_result_s parse_class(parse_ctx_s& ctx)
{
    uint8_t h[10];
    CARVE_NEED(ctx, ctx.start, 10, nullptr);
    if (!ctx.read(ctx.start, h, 10) || be16(h + 6) < 45 || be16(h + 6) > 80 || be16(h + 8) < 2)
        return invalid();
    uint64_t pos = ctx.start + 10;
    const uint32_t constants = be16(h + 8);
    uint8_t b[8];
    for (uint32_t i = 1; i < constants; ++i) {
        CARVE_NEED(ctx, pos, 3, nullptr);
        if (!ctx.read(pos, b, 3))
            return invalid();
        uint64_t size = 0;
        switch (b[0]) {
        case 1: size = 3 + uint64_t(be16(b + 1)); break;
        case 3: case 4: case 9: case 10: case 11: case 12: case 17: case 18: size = 5; break;
        case 5: case 6: size = 9; ++i; break;
        case 7: case 8: case 16: case 19: case 20: size = 3; break;
        case 15: size = 4; break;
        default: return invalid();
        }
        pos += size;
    }
    CARVE_NEED(ctx, pos, 8, nullptr);
    if (!ctx.read(pos, b, 8))
        return invalid();
    pos += 8 + uint64_t(be16(b + 6)) * 2;  // access, this, super, interfaces
    uint64_t seen = 0;  // every attribute, against hostile counts
    auto attributes = [&](uint64_t* at) {
        uint8_t a[6];
        if (ctx.check(*at, 2) != room::ok || !ctx.read(*at, a, 2))
            return false;
        const uint32_t count = be16(a);
        *at += 2;
        for (uint32_t k = 0; k < count; ++k) {
            if (++seen > 4000000 || ctx.check(*at, 6) != room::ok || !ctx.read(*at, a, 6))
                return false;
            *at += 6 + uint64_t(be32(a + 2));
        }
        return true;
    };
    for (int table = 0; table < 2; ++table) {  // fields, then methods
        CARVE_NEED(ctx, pos, 2, nullptr);
        if (!ctx.read(pos, b, 2))
            return invalid();
        const uint32_t members = be16(b);
        pos += 2;
        for (uint32_t m = 0; m < members; ++m) {
            pos += 6;
            if (!attributes(&pos))
                return ctx.out_of_room(ctx.check(pos, 2), m > 0 ? "class" : nullptr);
        }
    }
    if (!attributes(&pos))
        return ctx.out_of_room(ctx.check(pos, 2), "class");
    CARVE_NEED(ctx, ctx.start, pos - ctx.start, "class");
    return found(pos - ctx.start, "class");
}

// Android DEX: the header gives the length, and its Adler-32 over what
// follows it must hold.
parse_result_s parse_dex(parse_ctx_s& ctx)
{
    uint8_t h[0x70];
    CARVE_NEED(ctx, ctx.start, sizeof h, nullptr);
    if (!ctx.read(ctx.start, h, sizeof h) || h[4] != '0' || !std::isdigit(h[5]) || !std::isdigit(h[6]) || h[7] != 0 ||
        le32(h + 36) != 0x70 || le32(h + 40) != 0x12345678)
        return invalid();
    const uint64_t length = le32(h + 32);
    if (length < 0x70)
        return invalid();
    CARVE_NEED(ctx, ctx.start, length, "dex");
    uLong sum = adler32(0, nullptr, 0);
    for (uint64_t at = 12; at < length;) {
        size_t avail = 0;
        const uint8_t* p = ctx.src.at(ctx.start + at, &avail);
        if (!p)
            return invalid();
        const size_t n = static_cast<size_t>(std::min<uint64_t>({avail, length - at, 1u << 20}));
        sum = adler32(sum, p, static_cast<uInt>(n));
        at += n;
    }
    return sum == le32(h + 8) ? found(length, "dex") : invalid();
}

}  // namespace carve
