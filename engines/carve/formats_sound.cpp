// Audio streams made of self-sized frames (AAC in ADTS, AC-3, AMR), audio
// files whose headers or blocks give their length (Monkey's Audio, WavPack,
// Sun audio) and Flash (FLV video, SWF).
#include "engines/carve/carve_internal.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace carve {

namespace {

// A stream of frames that each say how long they are: walked while each
// header holds and keeps the first one's shape, at least min_frames long.
// Such streams carry no total length, so the end is where the frames stop;
// a frame cut by the device end reports the stream cut there.
// frame(header, first_header) gives a frame's length, 0 when the bytes are
// not one (first_header is null for the first frame).
template <size_t HeaderBytes, typename Frame>
parse_result_s frame_chain(parse_ctx_s& ctx, uint64_t from, uint64_t min_frames, const char* type, Frame frame)
{
    uint8_t first[HeaderBytes];
    uint64_t pos = from;
    for (uint64_t frames = 0; frames < 100000000; ++frames) {
        uint8_t h[HeaderBytes];
        const room r = ctx.check(pos, HeaderBytes);
        if (r != room::ok || !ctx.read(pos, h, HeaderBytes))
            return frames >= min_frames ? (r == room::device_end ? ctx.out_of_room(r, type) : found(pos - ctx.start, type))
                                        : invalid();
        const uint64_t length = frame(h, frames ? first : nullptr);
        if (length == 0)
            return frames >= min_frames ? found(pos - ctx.start, type) : invalid();
        const room whole = ctx.check(pos, length);
        if (whole != room::ok)
            return frames >= min_frames ? ctx.out_of_room(whole, type) : invalid();
        if (frames == 0)
            std::memcpy(first, h, HeaderBytes);
        pos += length;
    }
    return invalid();
}

// An APEv2 tag at pos (as Monkey's Audio and WavPack writers append):
// its length, 0 when there is none. Its footer's size counts the items and
// the footer; a header, when flagged, comes on top. A tag cut by the device
// end counts up to there.
uint64_t ape_tag_at(parse_ctx_s& ctx, uint64_t pos)
{
    uint8_t t[32];
    if (ctx.check(pos, 32) != room::ok || !ctx.read(pos, t, 32) || std::memcmp(t, "APETAGEX", 8) != 0)
        return 0;
    const uint32_t size = le32(t + 12);
    const uint32_t flags = le32(t + 20);
    if (!(flags & 0x20000000u) || size < 32 || size > (64u << 20))  // a header, leading the tag
        return 0;
    const uint64_t total = 32 + uint64_t(size);
    if (ctx.check(pos, total) == room::device_end)
        return ctx.device_end() - pos;
    uint8_t footer[8];
    if (ctx.check(pos, total) != room::ok || !ctx.read(pos + total - 32, footer, 8) ||
        std::memcmp(footer, "APETAGEX", 8) != 0)
        return 0;
    return total;
}

}  // namespace

// AAC in ADTS: 7- or 9-byte headers, each with its frame's length; the
// sampling rate, channels and profile stay those of the first frame.
parse_result_s parse_adts(parse_ctx_s& ctx)
{
    return frame_chain<7>(ctx, ctx.start, 8, "aac", [](const uint8_t* h, const uint8_t* first) -> uint64_t {
        if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0 || ((h[2] >> 2) & 0x0F) > 12)
            return 0;
        if (first && (h[1] != first[1] || (h[2] & 0xFD) != (first[2] & 0xFD) || (h[3] & 0xC0) != (first[3] & 0xC0)))
            return 0;
        const uint64_t length = (uint64_t(h[3] & 0x03) << 11) | (uint64_t(h[4]) << 3) | (h[5] >> 5);
        const uint64_t header = (h[1] & 1) ? 7 : 9;
        return length > header ? length : 0;
    });
}

// AC-3 and E-AC-3 sync frames: the frame's size from its rate and size
// codes (AC-3) or its size field (E-AC-3).
parse_result_s parse_ac3(parse_ctx_s& ctx)
{
    return frame_chain<6>(ctx, ctx.start, 8, "ac3", [](const uint8_t* h, const uint8_t* first) -> uint64_t {
        static const uint16_t kbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160,
                                          192, 224, 256, 320, 384, 448, 512, 576, 640};
        if (h[0] != 0x0B || h[1] != 0x77)
            return 0;
        const unsigned bsid = h[5] >> 3;
        if (first && bsid != (first[5] >> 3u))
            return 0;
        if (bsid <= 10) {
            const unsigned fscod = h[4] >> 6;
            const unsigned code = h[4] & 0x3F;
            if (fscod == 3 || code >= 38 || (first && (first[4] >> 6) != fscod))
                return 0;
            const uint64_t rate = kbps[code >> 1];
            const uint64_t words = fscod == 0 ? rate * 2 : fscod == 2 ? rate * 3 : rate * 96000 / 44100 + (code & 1);
            return words * 2;
        }
        if (bsid > 16)
            return 0;
        const uint64_t words = ((uint64_t(h[2] & 0x07) << 8) | h[3]) + 1;
        return words >= 3 ? words * 2 : 0;  // E-AC-3
    });
}

// AMR and AMR-WB: the magic, then frames whose one-byte header gives their
// mode and so their size. A frame flagged bad or with padding bits set ends
// the stream (a run of zeros after the file is such a byte).
parse_result_s parse_amr(parse_ctx_s& ctx)
{
    uint8_t m[9];
    CARVE_NEED(ctx, ctx.start, 9, nullptr);
    if (!ctx.read(ctx.start, m, 9))
        return invalid();
    const bool wide = std::memcmp(m, "#!AMR-WB\n", 9) == 0;
    if (!wide && std::memcmp(m, "#!AMR\n", 6) != 0)
        return invalid();
    return frame_chain<1>(ctx, ctx.start + (wide ? 9 : 6), 4, "amr", [wide](const uint8_t* h, const uint8_t* first) -> uint64_t {
        static const uint8_t narrow_bytes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, 0, 0, 0, 0, 0, 0, 1};
        static const uint8_t wide_bytes[16] = {18, 24, 33, 37, 41, 47, 51, 59, 61, 6, 0, 0, 0, 0, 1, 1};
        if ((h[0] & 0x83) != 0 || !(h[0] & 0x04))
            return 0;
        // A recorder keeps its mode, between silence and no-data frames.
        const unsigned mode = (h[0] >> 3) & 0x0F;
        if (first && mode != ((first[0] >> 3) & 0x0Fu) && mode != (wide ? 9u : 8u) && mode != 15)
            return 0;
        return (wide ? wide_bytes : narrow_bytes)[(h[0] >> 3) & 0x0F];
    });
}

// Monkey's Audio (3.98 and later): the descriptor gives every part's
// length; an APEv2 tag may follow.
parse_result_s parse_ape(parse_ctx_s& ctx)
{
    uint8_t d[52];
    CARVE_NEED(ctx, ctx.start, 52, nullptr);
    if (!ctx.read(ctx.start, d, 52))
        return invalid();
    const uint16_t version = le16(d + 4);
    const uint64_t descriptor = le32(d + 8);
    const uint64_t header = le32(d + 12);
    if (version < 3980 || version > 4100 || descriptor < 52 || descriptor > 1024 || header < 24 || header > 1024)
        return invalid();
    const uint64_t seek_table = le32(d + 16);
    const uint64_t wav_header = le32(d + 20);
    const uint64_t frames = le32(d + 24) | (uint64_t(le32(d + 28)) << 32);
    const uint64_t terminating = le32(d + 32);
    const uint64_t total = descriptor + header + seek_table + wav_header + terminating;
    if (frames > (UINT64_MAX >> 2) || total > UINT32_MAX * 5ull)
        return invalid();
    CARVE_NEED(ctx, ctx.start, total + frames, "ape");
    return found(total + frames + ape_tag_at(ctx, ctx.start + total + frames), "ape");
}

// WavPack: "wvpk" blocks, each with its size, the first sample it holds
// and how many; each block goes on where the one before ended (or holds
// another channel pair of the same samples). The stream ends with the block
// that reaches the first block's total (the last one of its group), or
// where blocks stop when the total is not known; writers that learn the
// total at the end put it in the first block only. An APEv2 tag may follow.
parse_result_s parse_wavpack(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start;
    uint8_t first[32] = {};  // read only after the first block filled it
    uint64_t last_index = 0, next_index = 0;
    for (uint64_t blocks = 0; blocks < 10000000; ++blocks) {
        uint8_t b[32];
        const room r = ctx.check(pos, 32);
        if (r != room::ok || !ctx.read(pos, b, 32))
            return blocks && r != room::ok ? ctx.out_of_room(r, "wv") : invalid();
        const uint16_t version = le16(b + 8);
        const uint64_t size = uint64_t(le32(b + 4)) + 8;
        const uint64_t index = le32(b + 16);
        if (std::memcmp(b, "wvpk", 4) != 0 || version < 0x402 || version > 0x410 || size < 32 || size > (1u << 24) ||
            (blocks && (version != le16(first + 8) || (index != last_index && index != next_index)))) {
            if (blocks == 0)
                return invalid();
            return found(pos - ctx.start + ape_tag_at(ctx, pos), "wv");
        }
        if (blocks == 0)
            std::memcpy(first, b, 32);
        CARVE_NEED(ctx, pos, size, "wv");
        pos += size;
        const uint32_t total = le32(first + 12);
        const uint64_t reached = index + le32(b + 20);
        last_index = index;
        next_index = reached;
        const bool final_block = le32(b + 24) & 0x1000;
        if (total != UINT32_MAX && total != 0 && final_block && reached >= total)
            return found(pos - ctx.start + ape_tag_at(ctx, pos), "wv");
    }
    return invalid();
}

// Sun/NeXT audio: the header gives where the samples start and how many
// bytes they take (an unknown count gives no length).
parse_result_s parse_au(parse_ctx_s& ctx)
{
    uint8_t h[24];
    CARVE_NEED(ctx, ctx.start, 24, nullptr);
    if (!ctx.read(ctx.start, h, 24))
        return invalid();
    const uint64_t offset = be32(h + 4);
    const uint64_t size = be32(h + 8);
    const uint32_t encoding = be32(h + 12);
    const uint32_t rate = be32(h + 16);
    const uint32_t channels = be32(h + 20);
    if (offset < 24 || offset > 65536 || offset % 4 != 0 || size == UINT32_MAX || size == 0 || encoding == 0 ||
        encoding > 27 || rate < 1000 || rate > 384000 || channels == 0 || channels > 16)
        return invalid();
    CARVE_NEED(ctx, ctx.start, offset + size, "au");
    return found(offset + size, "au");
}

// FLV: the header, then tags each followed by a back-pointer that must
// repeat its size. No total length is written, so the file ends where
// that chain does.
parse_result_s parse_flv(parse_ctx_s& ctx)
{
    uint8_t h[13];
    CARVE_NEED(ctx, ctx.start, 13, nullptr);
    if (!ctx.read(ctx.start, h, 13) || h[3] != 1 || (h[4] & 0xFA) != 0 || be32(h + 5) != 9 || be32(h + 9) != 0)
        return invalid();
    uint64_t pos = ctx.start + 13;
    for (uint64_t tags = 0; tags < 100000000; ++tags) {
        uint8_t t[11];
        const room r = ctx.check(pos, 11);
        if (r != room::ok || !ctx.read(pos, t, 11))
            return tags ? (r == room::device_end ? ctx.out_of_room(r, "flv") : found(pos - ctx.start, "flv")) : invalid();
        const uint8_t kind = t[0] & 0x1F;
        const uint64_t size = be24(t + 1);
        if ((t[0] & 0xC0) || (kind != 8 && kind != 9 && kind != 18) || be24(t + 8) != 0)
            return tags ? found(pos - ctx.start, "flv") : invalid();
        const room whole = ctx.check(pos, 11 + size + 4);
        if (whole != room::ok)
            return tags ? ctx.out_of_room(whole, "flv") : invalid();
        uint8_t back[4];
        if (!ctx.read(pos + 11 + size, back, 4) || be32(back) != 11 + size)
            return tags ? found(pos - ctx.start, "flv") : invalid();
        pos += 11 + size + 4;
    }
    return invalid();
}

// SWF: the header gives the movie's length once uncompressed; a plain one
// is that long and ends with the end tag, a deflated one ends where its
// zlib stream does, which must give back that length.
parse_result_s parse_swf(parse_ctx_s& ctx)
{
    uint8_t h[9];
    CARVE_NEED(ctx, ctx.start, 9, nullptr);
    if (!ctx.read(ctx.start, h, 9) || h[3] == 0 || h[3] > 50)
        return invalid();
    const uint64_t length = le32(h + 4);
    if (length < 21)
        return invalid();
    if (h[0] == 'F') {
        // The frame rectangle's bits, then the end tag closing the file.
        if ((h[8] >> 3) == 0)
            return invalid();
        CARVE_NEED(ctx, ctx.start, length, "swf");
        uint8_t end[2];
        if (!ctx.read(ctx.start + length - 2, end, 2) || end[0] != 0 || end[1] != 0)
            return invalid();
        return found(length, "swf");
    }
    if (h[0] != 'C' || h[8] != 0x78)
        return invalid();
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return invalid();
    uint8_t out[16384];
    uint64_t pos = ctx.start + 8;
    uint64_t produced = 8;
    parse_result_s result;
    for (;;) {
        const room r = ctx.check(pos, 1);
        if (r != room::ok) {
            result = ctx.out_of_room(r, produced > 64 ? "swf" : nullptr);
            break;
        }
        size_t avail = 0;
        const uint8_t* p = ctx.src.at(pos, &avail);
        if (!p)
            break;
        avail = static_cast<size_t>(std::min<uint64_t>({avail, ctx.bound() - pos, 1u << 16}));
        z.next_in = const_cast<Bytef*>(p);
        z.avail_in = static_cast<uInt>(avail);
        int rc = Z_OK;
        while (z.avail_in > 0 && rc == Z_OK) {
            z.next_out = out;
            z.avail_out = sizeof out;
            rc = inflate(&z, Z_NO_FLUSH);
            produced += sizeof out - z.avail_out;
            if (produced > length)
                rc = Z_DATA_ERROR;
        }
        const size_t used = avail - z.avail_in;
        pos += used;
        if (rc == Z_STREAM_END) {
            if (produced == length)
                result = found(pos - ctx.start, "swf");
            break;
        }
        if ((rc != Z_OK && rc != Z_BUF_ERROR) || used == 0)
            break;
    }
    inflateEnd(&z);
    return result;
}

}  // namespace carve
