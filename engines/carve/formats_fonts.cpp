// Fonts and icons: TrueType and OpenType by their table directories, WOFF
// and WOFF2 by the length in their headers, ICO and CUR by their image
// directories.
#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <cstring>

namespace carve {

namespace {

bool tag_chars(const uint8_t* p)
{
    for (int i = 0; i < 4; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    return true;
}

}  // namespace

// TrueType and OpenType: the table directory, whose search fields follow
// from its count; the file ends with the table that ends last, padded to
// four bytes where the padding is there. It must hold a "head" table with
// its magic number.
parse_result_s parse_sfnt(parse_ctx_s& ctx)
{
    uint8_t h[12];
    CARVE_NEED(ctx, ctx.start, 12, nullptr);
    if (!ctx.read(ctx.start, h, 12))
        return invalid();
    const char* type = std::memcmp(h, "OTTO", 4) == 0 ? "otf" : "ttf";
    const uint16_t tables = be16(h + 4);
    if (tables == 0 || tables > 256)
        return invalid();
    uint16_t power = 1;
    uint16_t selector = 0;
    while (power * 2u <= tables) {
        power = static_cast<uint16_t>(power * 2);
        ++selector;
    }
    if (be16(h + 6) != power * 16u || be16(h + 8) != selector || be16(h + 10) != tables * 16u - power * 16u)
        return invalid();
    const uint64_t directory = 12u + 16u * tables;
    CARVE_NEED(ctx, ctx.start, directory, nullptr);
    uint8_t records[16 * 256];
    if (!ctx.read(ctx.start + 12, records, 16u * tables))
        return invalid();
    uint64_t end = directory;
    uint64_t head_at = 0;
    for (uint16_t i = 0; i < tables; ++i) {
        const uint8_t* r = records + 16u * i;
        const uint64_t offset = be32(r + 8);
        const uint64_t length = be32(r + 12);
        if (!tag_chars(r) || offset < directory || (offset & 3) != 0)
            return invalid();
        if (i && std::memcmp(r, r - 16, 4) <= 0)
            return invalid();  // tags are sorted
        if (std::memcmp(r, "head", 4) == 0) {
            if (length < 54)
                return invalid();
            head_at = offset;
        }
        end = std::max(end, offset + length);
    }
    if (!head_at)
        return invalid();
    uint8_t magic[4];
    CARVE_NEED(ctx, ctx.start + head_at, 16, nullptr);
    if (!ctx.read(ctx.start + head_at + 12, magic, 4) || be32(magic) != 0x5F0F3CF5)
        return invalid();
    CARVE_NEED(ctx, ctx.start, end, type);
    const uint64_t padded = (end + 3) & ~uint64_t{3};
    uint8_t pad[3] = {1, 1, 1};
    if (padded != end && ctx.check(ctx.start, padded) == room::ok && ctx.read(ctx.start + end, pad, padded - end) &&
        std::memcmp(pad, "\0\0\0", padded - end) == 0)
        end = padded;
    return found(end, type);
}

// WOFF and WOFF2: the header holds the whole file's length; its table count
// and reserved field must make sense.
parse_result_s parse_woff(parse_ctx_s& ctx)
{
    uint8_t h[48];
    CARVE_NEED(ctx, ctx.start, 48, nullptr);
    if (!ctx.read(ctx.start, h, 48))
        return invalid();
    const bool v2 = h[3] == '2';
    const uint32_t flavor = be32(h + 4);
    if (flavor != 0x00010000 && flavor != 0x4F54544F && flavor != 0x74727565 && flavor != 0x74746366)
        return invalid();
    const uint64_t length = be32(h + 8);
    const uint16_t tables = be16(h + 12);
    if (tables == 0 || be16(h + 14) != 0 || length < (v2 ? 48u : 44u + 20u * tables))
        return invalid();
    // The uncompressed font is at least its directory.
    if (be32(h + 16) < 12u + 16u * tables)
        return invalid();
    const char* type = v2 ? "woff2" : "woff";
    CARVE_NEED(ctx, ctx.start, length, type);
    return found(length, type);
}

// ICO and CUR: the directory of images, each one's size and offset; every
// image must begin as a PNG or a bitmap header. The file ends with the
// image that ends last.
parse_result_s parse_ico(parse_ctx_s& ctx)
{
    uint8_t h[6];
    CARVE_NEED(ctx, ctx.start, 6, nullptr);
    if (!ctx.read(ctx.start, h, 6))
        return invalid();
    const char* type = le16(h + 2) == 1 ? "ico" : "cur";
    const uint16_t count = le16(h + 4);
    if (count == 0 || count > 256)
        return invalid();
    const uint64_t directory = 6u + 16u * count;
    CARVE_NEED(ctx, ctx.start, directory, nullptr);
    uint8_t entries[16 * 256];
    if (!ctx.read(ctx.start + 6, entries, 16u * count))
        return invalid();
    uint64_t end = directory;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* e = entries + 16u * i;
        const uint64_t size = le32(e + 8);
        const uint64_t offset = le32(e + 12);
        if (e[3] != 0 && e[3] != 0xFF)
            return invalid();
        if (std::strcmp(type, "ico") == 0 && (le16(e + 4) > 1 || le16(e + 6) > 32))
            return invalid();
        if (size < 40 || offset < directory)
            return invalid();
        CARVE_NEED(ctx, ctx.start + offset, 8, nullptr);
        uint8_t image[8];
        if (!ctx.read(ctx.start + offset, image, 8))
            return invalid();
        if (std::memcmp(image, "\x89PNG\r\n\x1A\n", 8) != 0 && le32(image) != 40 && le32(image) != 108 &&
            le32(image) != 124)
            return invalid();
        end = std::max(end, offset + size);
    }
    CARVE_NEED(ctx, ctx.start, end, type);
    return found(end, type);
}

}  // namespace carve
