// Documents, mail, passwords and databases whose structure gives their
// length: Photoshop PSD and PSB, RTF, Outlook PST and OST, KeePass 2
// (KDBX 4), SQLite write-ahead logs, and Fujifilm RAF raws.
#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <cstring>

namespace carve {

// Photoshop: the header, then three sections each led by its length, then
// the merged image, raw or run-length coded (its row lengths in a table).
// Deflated image data carries no length: not reported.
parse_result_s parse_psd(parse_ctx_s& ctx)
{
    uint8_t h[26];
    CARVE_NEED(ctx, ctx.start, 26, nullptr);
    if (!ctx.read(ctx.start, h, 26))
        return invalid();
    const uint16_t version = be16(h + 4);
    const bool big = version == 2;
    const uint16_t channels = be16(h + 12);
    const uint64_t height = be32(h + 14);
    const uint64_t width = be32(h + 18);
    const uint16_t depth = be16(h + 22);
    const uint16_t mode = be16(h + 24);
    const uint64_t max_side = big ? 300000 : 30000;
    if ((version != 1 && version != 2) || std::memcmp(h + 6, "\0\0\0\0\0\0", 6) != 0 || channels == 0 ||
        channels > 56 || height == 0 || height > max_side || width == 0 || width > max_side ||
        (depth != 1 && depth != 8 && depth != 16 && depth != 32) || mode > 9 || mode == 5 || mode == 6)
        return invalid();
    const char* type = "psd";
    uint64_t pos = ctx.start + 26;
    for (int section = 0; section < 3; ++section) {
        const size_t field = section == 2 && big ? 8 : 4;
        uint8_t l[8];
        CARVE_NEED(ctx, pos, field, section ? type : nullptr);
        if (!ctx.read(pos, l, field))
            return invalid();
        const uint64_t length = field == 8 ? be64(l) : be32(l);
        if (length > UINT64_MAX - pos - field)
            return invalid();
        if (section == 1 && length >= 4) {
            uint8_t sig[4];
            CARVE_NEED(ctx, pos + field, 4, nullptr);
            if (!ctx.read(pos + field, sig, 4) || std::memcmp(sig, "8BIM", 4) != 0)
                return invalid();
        }
        pos += field + length;
    }
    uint8_t c[2];
    CARVE_NEED(ctx, pos, 2, type);
    if (!ctx.read(pos, c, 2))
        return invalid();
    pos += 2;
    const uint16_t compression = be16(c);
    const uint64_t rows = channels * height;
    if (compression == 0) {
        const uint64_t bytes = rows * ((width * depth + 7) / 8);
        CARVE_NEED(ctx, pos, bytes, type);
        return found(pos + bytes - ctx.start, type);
    }
    if (compression != 1)
        return invalid();
    // Each row's coded length, 2 bytes each (4 in a PSB).
    const size_t entry = big ? 4 : 2;
    const uint64_t table = rows * entry;
    CARVE_NEED(ctx, pos, table, type);
    const uint64_t row_max = (width * depth + 7) / 8 * 2 + 2;
    uint64_t coded = 0;
    uint8_t buffer[4096];
    for (uint64_t done = 0; done < table;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, table - done));
        if (!ctx.read(pos + done, buffer, n))
            return invalid();
        for (size_t i = 0; i < n; i += entry) {
            const uint64_t row = entry == 4 ? be32(buffer + i) : be16(buffer + i);
            if (row > row_max)
                return invalid();
            coded += row;
        }
        done += n;
    }
    pos += table;
    CARVE_NEED(ctx, pos, coded, type);
    return found(pos + coded - ctx.start, type);
}

// RTF: text whose braces balance; the file ends with the brace that closes
// the first one, and the line end after it. Bytes no RTF writer puts in
// its text (controls other than tab and line ends) end it as not one.
parse_result_s parse_rtf(parse_ctx_s& ctx)
{
    uint64_t depth = 0;
    bool escaped = false;
    for (uint64_t pos = ctx.start;;) {
        const room r = ctx.check(pos, 1);
        if (r != room::ok)
            return ctx.out_of_room(r, pos - ctx.start >= 64 ? "rtf" : nullptr);
        size_t avail = 0;
        const uint8_t* p = ctx.src.at(pos, &avail);
        if (!p)
            return invalid();
        avail = static_cast<size_t>(std::min<uint64_t>(avail, ctx.bound() - pos));
        for (size_t i = 0; i < avail; ++i) {
            const uint8_t b = p[i];
            if (b < 0x20 && b != '\t' && b != '\r' && b != '\n')
                return invalid();
            if (escaped) {
                escaped = false;
                continue;
            }
            if (b == '\\') {
                escaped = true;
            } else if (b == '{') {
                ++depth;
            } else if (b == '}') {
                if (depth == 0)
                    return invalid();
                if (--depth == 0) {
                    uint64_t end = pos + i + 1;
                    uint8_t tail[2] = {};
                    const size_t have = ctx.check(end, 2) == room::ok ? 2 : ctx.check(end, 1) == room::ok ? 1 : 0;
                    if (have && ctx.read(end, tail, have)) {
                        if (tail[0] == '\n')
                            end += 1;
                        else if (have == 2 && tail[0] == '\r' && tail[1] == '\n')
                            end += 2;
                    }
                    return found(end - ctx.start, "rtf");
                }
            }
        }
        pos += avail;
    }
}

// Outlook PST and OST: the header's sentinel, encryption method and client
// version must hold; its root structure gives the file's end.
parse_result_s parse_pst(parse_ctx_s& ctx)
{
    uint8_t h[514];
    CARVE_NEED(ctx, ctx.start, 514, nullptr);
    if (!ctx.read(ctx.start, h, 514))
        return invalid();
    const uint16_t client = le16(h + 8);
    const char* type = client == 0x4D53 ? "pst" : client == 0x4F53 ? "ost" : nullptr;
    const uint16_t version = le16(h + 10);
    if (!type || le16(h + 12) != 19)
        return invalid();
    uint64_t end = 0;
    uint8_t sentinel = 0;
    uint8_t crypt = 0;
    if (version == 14 || version == 15) {
        end = le32(h + 168);
        sentinel = h[460];
        crypt = h[461];
    } else if (version >= 23 && version <= 37) {
        end = le64(h + 184);
        sentinel = h[512];
        crypt = h[513];
    } else {
        return invalid();
    }
    if (sentinel != 0x80 || (crypt != 0 && crypt != 1 && crypt != 2 && crypt != 0x10) || end < 1024 || end % 512)
        return invalid();
    CARVE_NEED(ctx, ctx.start, end, type);
    return found(end, type);
}

// KeePass 2, KDBX 4: header fields to the end field, its hash and MAC, then
// the payload's blocks, each led by its MAC and length, to the empty block
// that ends it. KDBX 3 encrypts its payload whole, with no length: not
// reported.
parse_result_s parse_kdbx(parse_ctx_s& ctx)
{
    uint8_t h[12];
    CARVE_NEED(ctx, ctx.start, 12, nullptr);
    if (!ctx.read(ctx.start, h, 12) || le16(h + 10) != 4)
        return invalid();
    uint64_t pos = ctx.start + 12;
    bool cipher = false;
    bool seed = false;
    for (int fields = 0;; ++fields) {
        uint8_t f[5];
        CARVE_NEED(ctx, pos, 5, nullptr);
        if (fields > 64 || !ctx.read(pos, f, 5))
            return invalid();
        const uint32_t length = le32(f + 1);
        if (f[0] > 11 || length > (1u << 20))
            return invalid();
        if (f[0] == 2)
            cipher = length == 16;
        if (f[0] == 4)
            seed = length == 32;
        pos += 5 + length;
        if (f[0] == 0)
            break;
    }
    if (!cipher || !seed)
        return invalid();
    pos += 64;  // the header's SHA-256 and HMAC
    for (uint64_t blocks = 0; blocks < 100000000; ++blocks) {
        uint8_t b[36];
        CARVE_NEED(ctx, pos, 36, blocks ? "kdbx" : nullptr);
        if (!ctx.read(pos, b, 36))
            return invalid();
        const uint64_t length = le32(b + 32);
        if (length > (256u << 20))
            return invalid();
        pos += 36 + length;
        if (length == 0)
            return blocks ? found(pos - ctx.start, "kdbx") : invalid();
        CARVE_NEED(ctx, ctx.start, pos - ctx.start, "kdbx");
    }
    return invalid();
}

namespace {

// SQLite's WAL checksum over n bytes (a multiple of 8) in words of the log's
// byte order, continuing from s.
void wal_checksum(const uint8_t* p, size_t n, bool big, uint32_t s[2])
{
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint32_t a = big ? be32(p + i) : le32(p + i);
        const uint32_t b = big ? be32(p + i + 4) : le32(p + i + 4);
        s[0] += a + s[1];
        s[1] += b + s[0];
    }
}

}  // namespace

// SQLite write-ahead log: its header and checksum, then frames whose salts
// match the header's and whose running checksum holds. Frames left from an
// earlier use of the log carry other salts: the log ends before them.
parse_result_s parse_wal(parse_ctx_s& ctx)
{
    uint8_t h[32];
    CARVE_NEED(ctx, ctx.start, 32, nullptr);
    if (!ctx.read(ctx.start, h, 32) || be32(h + 4) != 3007000)
        return invalid();
    const bool big = h[3] == 0x83;
    uint64_t page = be32(h + 8);
    if (page == 1)
        page = 65536;
    if (page < 512 || page > 65536 || (page & (page - 1)))
        return invalid();
    uint32_t s[2] = {0, 0};
    wal_checksum(h, 24, big, s);
    if (s[0] != be32(h + 24) || s[1] != be32(h + 28))
        return invalid();
    std::vector<uint8_t> frame(static_cast<size_t>(24 + page));
    uint64_t pos = ctx.start + 32;
    for (uint64_t frames = 0; frames < 100000000; ++frames) {
        if (ctx.check(pos, frame.size()) != room::ok || !ctx.read(pos, frame.data(), frame.size()))
            break;
        if (std::memcmp(frame.data() + 8, h + 16, 8) != 0 || be32(frame.data()) == 0)
            break;
        uint32_t t[2] = {s[0], s[1]};
        wal_checksum(frame.data(), 8, big, t);
        wal_checksum(frame.data() + 24, static_cast<size_t>(page), big, t);
        if (t[0] != be32(frame.data() + 16) || t[1] != be32(frame.data() + 20))
            break;
        s[0] = t[0];
        s[1] = t[1];
        pos += frame.size();
    }
    return found(pos - ctx.start, "wal");
}

// Fujifilm RAF: the header's offsets and lengths of the preview JPEG, the
// raw header and the raw data; the file ends with the one that ends last.
parse_result_s parse_raf(parse_ctx_s& ctx)
{
    uint8_t h[108];
    CARVE_NEED(ctx, ctx.start, 108, nullptr);
    if (!ctx.read(ctx.start, h, 108))
        return invalid();
    for (int i = 16; i < 20; ++i)
        if (h[i] < '0' || h[i] > '9')
            return invalid();
    uint64_t end = 0;
    for (int part = 0; part < 3; ++part) {
        const uint64_t offset = be32(h + 84 + 8 * part);
        const uint64_t length = be32(h + 88 + 8 * part);
        if (offset < 108 || length == 0)
            return invalid();
        end = std::max(end, offset + length);
    }
    uint8_t jpeg[3];
    const uint64_t jpeg_at = be32(h + 84);
    CARVE_NEED(ctx, ctx.start + jpeg_at, 3, nullptr);
    if (!ctx.read(ctx.start + jpeg_at, jpeg, 3) || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[2] != 0xFF)
        return invalid();
    CARVE_NEED(ctx, ctx.start, end, "raf");
    return found(end, "raf");
}

}  // namespace carve
