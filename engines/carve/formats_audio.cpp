// Audio files with a chunk structure: AIFF and MIDI, and DjVu, which shares
// AIFF's IFF chunks.
#include "engines/carve/carve_internal.h"

#include <cstring>

namespace carve {

namespace {

bool printable_id(const uint8_t* p)
{
    for (int i = 0; i < 4; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    return true;
}

// The chunks of an IFF form in [from, end): each a printable ID, a
// big-endian size and its data, padded to an even length; they must fill
// the form. Calls seen(id) for each.
template <typename Seen>
bool iff_chunks(parse_ctx_s& ctx, uint64_t from, uint64_t end, Seen seen)
{
    uint64_t pos = from;
    for (int chunks = 0; pos + 8 <= end; ++chunks) {
        uint8_t c[8];
        if (chunks > 1000000 || !ctx.read(pos, c, 8) || !printable_id(c))
            return false;
        seen(c);
        const uint64_t size = be32(c + 4);
        pos += 8 + size + (size & 1);
    }
    // Some writers leave the last odd chunk unpadded.
    return pos == end || pos == end + 1;
}

}  // namespace

// AIFF and AIFF-C: a FORM whose size gives the length; its chunks must fill
// it and hold the common chunk.
parse_result_s parse_aiff(parse_ctx_s& ctx)
{
    uint8_t h[12];
    CARVE_NEED(ctx, ctx.start, 12, nullptr);
    if (!ctx.read(ctx.start, h, 12) || (std::memcmp(h + 8, "AIFF", 4) != 0 && std::memcmp(h + 8, "AIFC", 4) != 0))
        return invalid();
    const uint64_t size = be32(h + 4);
    if (size < 4 + 8 + 18)
        return invalid();
    CARVE_NEED(ctx, ctx.start, 8 + size, "aif");
    bool common = false;
    if (!iff_chunks(ctx, ctx.start + 12, ctx.start + 8 + size,
                    [&](const uint8_t* c) { common = common || std::memcmp(c, "COMM", 4) == 0; }) ||
        !common)
        return invalid();
    return found(8 + size + (size & 1), "aif");
}

// DjVu: "AT&T" and one FORM of a DjVu kind, its size giving the length.
parse_result_s parse_djvu(parse_ctx_s& ctx)
{
    uint8_t h[16];
    CARVE_NEED(ctx, ctx.start, 16, nullptr);
    if (!ctx.read(ctx.start, h, 16) || std::memcmp(h + 4, "FORM", 4) != 0 ||
        (std::memcmp(h + 12, "DJVU", 4) != 0 && std::memcmp(h + 12, "DJVM", 4) != 0 &&
         std::memcmp(h + 12, "DJVI", 4) != 0))
        return invalid();
    const uint64_t size = be32(h + 8);
    if (size < 4 + 8)
        return invalid();
    CARVE_NEED(ctx, ctx.start, 12 + size, "djvu");
    if (!iff_chunks(ctx, ctx.start + 16, ctx.start + 12 + size, [](const uint8_t*) {}))
        return invalid();
    return found(12 + size, "djvu");
}

// MIDI: the header chunk, then as many track chunks as it names, each
// ending with the end-of-track event.
parse_result_s parse_midi(parse_ctx_s& ctx)
{
    uint8_t h[14];
    CARVE_NEED(ctx, ctx.start, 14, nullptr);
    if (!ctx.read(ctx.start, h, 14) || be32(h + 4) != 6)
        return invalid();
    const uint16_t format = be16(h + 8);
    const uint16_t tracks = be16(h + 10);
    if (format > 2 || tracks == 0 || (format == 0 && tracks != 1) || be16(h + 12) == 0)
        return invalid();
    uint64_t pos = ctx.start + 14;
    for (uint16_t t = 0; t < tracks; ++t) {
        uint8_t c[8];
        CARVE_NEED(ctx, pos, 8, t ? "mid" : nullptr);
        if (!ctx.read(pos, c, 8) || std::memcmp(c, "MTrk", 4) != 0)
            return invalid();
        const uint64_t size = be32(c + 4);
        if (size < 4)
            return invalid();
        CARVE_NEED(ctx, pos, 8 + size, "mid");
        uint8_t end[3];
        if (!ctx.read(pos + 8 + size - 3, end, 3) || end[0] != 0xFF || end[1] != 0x2F || end[2] != 0x00)
            return invalid();
        pos += 8 + size;
    }
    return found(pos - ctx.start, "mid");
}

}  // namespace carve
