// Archives and documents: zip and its offspring, gzip, bzip2, xz, 7z, rar,
// SQLite databases and PDF.
#include "engines/carve/carve_internal.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace carve {

uint32_t crc32_of(const uint8_t* data, size_t length, uint32_t crc)
{
    while (length > 0) {
        const uInt n = length > (1u << 30) ? (1u << 30) : static_cast<uInt>(length);
        crc = static_cast<uint32_t>(::crc32(crc, data, n));
        data += n;
        length -= n;
    }
    return crc;
}

namespace {
// The first occurrence of header in [from, to) that starts a 512-byte sector
// of the device: not_found, unreadable, or its offset.
uint64_t next_sector_header(parse_ctx_s& ctx, uint64_t from, uint64_t to, const char* header)
{
    const size_t length = std::strlen(header);
    for (uint64_t at = from; at < to;) {
        const uint64_t hit = find_bytes(ctx.src, at, to, header, length);
        if (hit == not_found || hit == unreadable || hit % 512 == 0)
            return hit;
        at = hit + 1;
    }
    return not_found;
}
}  // namespace

namespace {

// A zip's type from what its entries are called (and an OpenDocument's or
// EPUB's "mimetype" entry, which is stored first and uncompressed).
struct zip_kind_s {
    const char* type = "zip";
    int rank = 0;  // a stronger clue replaces a weaker one

    void clue(const char* t, int r)
    {
        if (r > rank) {
            type = t;
            rank = r;
        }
    }
    void name(const std::string& n)
    {
        if (n.rfind("word/", 0) == 0)
            clue("docx", 3);
        else if (n.rfind("xl/", 0) == 0)
            clue("xlsx", 3);
        else if (n.rfind("ppt/", 0) == 0)
            clue("pptx", 3);
        else if (n.rfind("visio/", 0) == 0)
            clue("vsdx", 3);
        else if (n == "FixedDocumentSequence.fdseq")
            clue("xps", 3);
        else if (n == "AndroidManifest.xml")
            clue("apk", 2);
        else if (n.rfind("Payload/", 0) == 0 && n.find(".app/") != std::string::npos)
            clue("ipa", 2);
        else if (n == "META-INF/MANIFEST.MF")
            clue("jar", 1);
    }
    void mimetype(const std::string& m)
    {
        if (m == "application/vnd.oasis.opendocument.text")
            clue("odt", 4);
        else if (m == "application/vnd.oasis.opendocument.spreadsheet")
            clue("ods", 4);
        else if (m == "application/vnd.oasis.opendocument.presentation")
            clue("odp", 4);
        else if (m == "application/vnd.oasis.opendocument.graphics")
            clue("odg", 4);
        else if (m == "application/epub+zip")
            clue("epub", 4);
    }
};

}  // namespace

// ZIP: local entries stepped over by their sizes (or, for entries whose sizes
// follow their data, up to the data descriptor that agrees), then the central
// directory, the zip64 end records when present and the end record with its
// comment.
parse_result_s parse_zip(parse_ctx_s& ctx)
{
    zip_kind_s kind;
    uint64_t pos = ctx.start;
    const char* held = nullptr;
    uint64_t entries = 0;
    for (;; ++entries) {
        if (entries > 10000000)
            return invalid();
        uint8_t h[30];
        CARVE_NEED(ctx, pos, 4, held);
        if (!ctx.read(pos, h, 4))
            return invalid();
        if (std::memcmp(h, "PK\x03\x04", 4) != 0)
            break;
        CARVE_NEED(ctx, pos, 30, held);
        if (!ctx.read(pos, h, 30))
            return invalid();
        const uint16_t flags = le16(h + 6);
        const uint16_t method = le16(h + 8);
        uint64_t csize = le32(h + 18);
        uint64_t usize = le32(h + 22);
        const uint16_t name_length = le16(h + 26);
        const uint16_t extra_length = le16(h + 28);
        if (name_length == 0 || (method > 20 && (method < 93 || method > 99)))
            return invalid();
        CARVE_NEED(ctx, pos + 30, static_cast<uint64_t>(name_length) + extra_length, held);
        std::string name(name_length, '\0');
        std::string extra(extra_length, '\0');
        if (!ctx.read(pos + 30, name.data(), name_length) ||
            !ctx.read(pos + 30 + name_length, extra.data(), extra_length))
            return invalid();
        // A name with a NUL in it, or a version no writer uses, is not an entry.
        if (name.find('\0') != std::string::npos || (le16(h + 4) & 0xFF) > 100)
            return invalid();
        held = entries == 0 ? nullptr : kind.type;
        kind.name(name);
        // zip64: real sizes in extra field 0x0001 when the header says 0xFFFFFFFF.
        bool zip64 = false;
        for (size_t e = 0; e + 4 <= extra.size();) {
            const auto* x = reinterpret_cast<const uint8_t*>(extra.data()) + e;
            const uint16_t id = le16(x);
            const uint16_t length = le16(x + 2);
            if (e + 4 + length > extra.size())
                break;
            if (id == 0x0001) {
                zip64 = true;
                size_t k = 4;
                if (usize == 0xFFFFFFFFu && k + 8 <= 4u + length) {
                    usize = le64(x + k);
                    k += 8;
                }
                if (csize == 0xFFFFFFFFu && k + 8 <= 4u + length)
                    csize = le64(x + k);
            }
            e += 4 + length;
        }
        const uint64_t data = pos + 30 + name_length + extra_length;
        if (entries == 0 && name == "mimetype" && method == 0 && csize < 100 && !(flags & 8)) {
            std::string m(static_cast<size_t>(csize), '\0');
            CARVE_NEED(ctx, data, csize, held);
            if (ctx.read(data, m.data(), m.size()))
                kind.mimetype(m);
        }
        held = kind.type;
        if (!(flags & 8)) {
            CARVE_NEED(ctx, data, csize, held);
            pos = data + csize;
            continue;
        }
        // Sizes follow the data: the next signature whose sizes agree with
        // the distance travelled ends it.
        uint64_t from = data;
        for (;;) {
            const uint64_t hit = find_bytes(ctx.src, from, ctx.bound(), "PK", 2);
            if (hit == unreadable)
                return invalid();
            if (hit == not_found) {
                if (ctx.bound() == ctx.device_end() && ctx.limit > ctx.device_end())
                    return ctx.out_of_room(room::device_end, held);
                return invalid();
            }
            uint8_t s[24];
            if (!within_device(ctx, hit, 24) || !ctx.read(hit, s, 24)) {
                from = hit + 1;
                if (from >= ctx.bound())
                    return ctx.out_of_room(ctx.check(hit, 24), held);
                continue;
            }
            if (s[2] == 7 && s[3] == 8) {
                const uint64_t stored = zip64 ? le64(s + 8) : le32(s + 8);
                if (stored == hit - data) {
                    pos = hit + (zip64 ? 24 : 16);
                    break;
                }
            } else if ((s[2] == 3 && s[3] == 4) || (s[2] == 1 && s[3] == 2)) {
                // A descriptor without its signature: crc, csize, usize.
                uint8_t d[8];
                if (hit >= data + 12 && ctx.read(hit - 8, d, 4) && le32(d) == hit - 12 - data) {
                    pos = hit;
                    break;
                }
            }
            from = hit + 1;
        }
    }
    if (entries == 0)
        return invalid();
    // The central directory: one header per entry.
    const uint64_t directory = pos;
    uint64_t headers = 0;
    for (;; ++headers) {
        uint8_t c[46];
        CARVE_NEED(ctx, pos, 4, kind.type);
        if (!ctx.read(pos, c, 4))
            return invalid();
        if (std::memcmp(c, "PK\x01\x02", 4) != 0)
            break;
        CARVE_NEED(ctx, pos, 46, kind.type);
        if (!ctx.read(pos, c, 46))
            return invalid();
        pos += 46ull + le16(c + 28) + le16(c + 30) + le16(c + 32);
        if (headers > 10000000)
            return invalid();
    }
    if (headers == 0)
        return invalid();
    uint8_t e[22];
    CARVE_NEED(ctx, pos, 4, kind.type);
    if (!ctx.read(pos, e, 4))
        return invalid();
    if (std::memcmp(e, "PK\x06\x06", 4) == 0) {
        CARVE_NEED(ctx, pos, 12, kind.type);
        if (!ctx.read(pos, e, 12))
            return invalid();
        const uint64_t record = le64(e + 4);
        if (record < 44 || record > (1u << 20))
            return invalid();
        pos += 12 + record;
        CARVE_NEED(ctx, pos, 20, kind.type);
        if (!ctx.read(pos, e, 4) || std::memcmp(e, "PK\x06\x07", 4) != 0)
            return invalid();
        pos += 20;
    }
    CARVE_NEED(ctx, pos, 22, kind.type);
    if (!ctx.read(pos, e, 22) || std::memcmp(e, "PK\x05\x06", 4) != 0)
        return invalid();
    const uint64_t entries_total = le16(e + 10);
    if (entries_total != 0xFFFF && entries_total != (headers & 0xFFFF))
        return invalid();
    // The directory's offset is counted from the archive's first byte: one
    // that does not match means the entries walked belong to two archives.
    const uint32_t directory_at = le32(e + 16);
    if (directory_at != 0xFFFFFFFFu && directory_at != directory - ctx.start)
        return invalid();
    const uint64_t end = pos + 22 + le16(e + 20);
    CARVE_NEED(ctx, pos, 22ull + le16(e + 20), kind.type);
    return found(end - ctx.start, kind.type);
}

// gzip: each member's deflate stream inflated to find where it ends, its
// size and CRC checked; members that follow directly belong to the file.
parse_result_s parse_gzip(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start;
    static thread_local uint8_t out[1 << 16];
    for (int member = 0; member < 100000; ++member) {
        uint8_t h[10];
        if (member > 0) {
            if (ctx.check(pos, 10) != room::ok || !ctx.read(pos, h, 10) || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8)
                return found(pos - ctx.start, "gz");
        } else {
            CARVE_NEED(ctx, pos, 10, nullptr);
            if (!ctx.read(pos, h, 10))
                return invalid();
        }
        const uint8_t flags = h[3];
        if (flags & 0xE0 || (h[9] > 13 && h[9] != 255) || (h[8] != 0 && h[8] != 2 && h[8] != 4))
            return member ? found(pos - ctx.start, "gz") : invalid();
        const char* held = member ? "gz" : nullptr;
        uint64_t p = pos + 10;
        if (flags & 4) {
            uint8_t x[2];
            CARVE_NEED(ctx, p, 2, held);
            if (!ctx.read(p, x, 2))
                return invalid();
            p += 2 + le16(x);
        }
        for (int field = 0; field < 2; ++field) {
            if (!(flags & (field == 0 ? 8 : 16)))
                continue;
            const uint64_t nul = find_bytes(ctx.src, p, std::min(ctx.bound(), p + 65536), "\0", 1);
            if (nul == not_found || nul == unreadable)
                return invalid();
            p = nul + 1;
        }
        if (flags & 2)
            p += 2;
        held = "gz";
        z_stream z{};
        if (inflateInit2(&z, -15) != Z_OK)
            return invalid();
        uint32_t crc = 0;
        int status = Z_OK;
        while (status != Z_STREAM_END) {
            const room r = ctx.check(p, 1);
            if (r != room::ok) {
                inflateEnd(&z);
                return ctx.out_of_room(r, held);
            }
            size_t avail = 0;
            const uint8_t* in = ctx.src.at(p, &avail);
            if (!in) {
                inflateEnd(&z);
                return invalid();
            }
            if (avail > ctx.bound() - p)
                avail = static_cast<size_t>(ctx.bound() - p);
            z.next_in = const_cast<Bytef*>(in);
            z.avail_in = static_cast<uInt>(avail > (1u << 30) ? (1u << 30) : avail);
            const uInt given = z.avail_in;
            while (z.avail_in > 0 && status != Z_STREAM_END) {
                z.next_out = out;
                z.avail_out = sizeof out;
                status = inflate(&z, Z_NO_FLUSH);
                if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
                    inflateEnd(&z);
                    return invalid();
                }
                crc = static_cast<uint32_t>(::crc32(crc, out, static_cast<uInt>(sizeof out - z.avail_out)));
                if (status == Z_BUF_ERROR && z.avail_out != 0)
                    break;
            }
            p += given - z.avail_in;
        }
        const uint64_t total = z.total_out;
        inflateEnd(&z);
        uint8_t t[8];
        CARVE_NEED(ctx, p, 8, held);
        if (!ctx.read(p, t, 8) || le32(t) != crc || le32(t + 4) != static_cast<uint32_t>(total))
            return invalid();
        pos = p + 8;
    }
    return found(pos - ctx.start, "gz");
}

// bzip2: the end-of-stream mark (48 bits, at any bit position) and the
// 32-bit stream CRC after it, padded to a byte; streams that follow directly
// belong to the file.
parse_result_s parse_bzip2(parse_ctx_s& ctx)
{
    constexpr uint64_t block_magic = 0x314159265359ull;
    constexpr uint64_t end_magic = 0x177245385090ull;
    constexpr uint64_t mask48 = (1ull << 48) - 1;
    uint64_t pos = ctx.start;
    for (int stream = 0; stream < 100000; ++stream) {
        uint8_t h[10];
        const room r0 = ctx.check(pos, 10);
        if (r0 != room::ok) {
            if (stream)
                return found(pos - ctx.start, "bz2");
            return ctx.out_of_room(r0, nullptr);
        }
        if (!ctx.read(pos, h, 10) || h[0] != 'B' || h[1] != 'Z' || h[2] != 'h' || h[3] < '1' || h[3] > '9')
            return stream ? found(pos - ctx.start, "bz2") : invalid();
        uint64_t first = 0;
        for (int i = 4; i < 10; ++i)
            first = first << 8 | h[i];
        if (first == end_magic) {
            pos += 14;  // an empty stream: the mark, the CRC, no padding
            continue;
        }
        if (first != block_magic)
            return stream ? found(pos - ctx.start, "bz2") : invalid();
        uint64_t window = 0;
        uint64_t p = pos + 4;
        uint64_t end = 0;
        while (!end) {
            const room r = ctx.check(p, 1);
            if (r != room::ok)
                return ctx.out_of_room(r, "bz2");
            size_t avail = 0;
            const uint8_t* d = ctx.src.at(p, &avail);
            if (!d)
                return invalid();
            if (avail > ctx.bound() - p)
                avail = static_cast<size_t>(ctx.bound() - p);
            for (size_t i = 0; i < avail; ++i) {
                window = window << 8 | d[i];
                // After byte i the window's lowest bit is the stream's bit
                // (i + 1) * 8 - 1; the mark ends shift bits earlier.
                for (unsigned shift = 0; shift < 8; ++shift) {
                    if (((window >> shift) & mask48) != end_magic)
                        continue;
                    const uint64_t bit_end = (p + i + 1 - pos) * 8 - shift + 32;
                    if (bit_end / 8 > 10)
                        end = pos + (bit_end + 7) / 8;
                    break;
                }
                if (end)
                    break;
            }
            p += avail;
        }
        CARVE_NEED(ctx, pos, end - pos, "bz2");
        // A stream that lost its end would otherwise end with the next one.
        if (next_sector_header(ctx, pos + 4, end, "BZh") != not_found)
            return stream ? found(pos - ctx.start, "bz2") : invalid();
        pos = end;
    }
    return found(pos - ctx.start, "bz2");
}


namespace {
// An xz variable-length integer at p. Returns its byte count, 0 when broken.
size_t xz_vint(const uint8_t* p, size_t avail, uint64_t* value)
{
    *value = 0;
    for (size_t i = 0; i < avail && i < 9; ++i) {
        *value |= static_cast<uint64_t>(p[i] & 0x7F) << (7 * i);
        if (!(p[i] & 0x80))
            return i + 1;
    }
    return 0;
}
}  // namespace

namespace {

// Whether the 12 bytes at h open an xz stream: magic, flags and their CRC.
bool xz_stream_header(const uint8_t* h)
{
    return std::memcmp(h, "\xFD" "7zXZ\0", 6) == 0 && h[6] == 0 && !(h[7] & 0xF0) &&
           crc32_of(h + 6, 2) == le32(h + 8);
}

// One xz stream whose sound header h lies at start: the stream footer whose
// flags repeat the header's, whose CRC holds and whose backward size lands
// on an index that accounts for every byte of the stream's blocks. Returns
// the first byte past the stream, not_found when no such footer lies before
// the bound, unreadable on a read error.
uint64_t xz_stream_end(parse_ctx_s& ctx, uint64_t start, const uint8_t* h)
{
    uint64_t from = start + 12;
    for (;;) {
        const uint64_t hit = find_bytes(ctx.src, from, ctx.bound(), "YZ", 2);
        if (hit == unreadable || hit == not_found)
            return hit;
        from = hit + 1;
        if (hit < start + 12 + 10 + 8)
            continue;
        uint8_t f[12];
        if (!ctx.read(hit - 10, f, 12))
            return unreadable;
        if (f[8] != h[6] || f[9] != h[7] || crc32_of(f + 4, 6) != le32(f))
            continue;
        const uint64_t backward = (static_cast<uint64_t>(le32(f + 4)) + 1) * 4;
        const uint64_t footer = hit - 10;
        if (backward > footer - (start + 12))
            continue;
        // The index this footer points at must hold, and the blocks it lists
        // must fill the stream from its header on exactly: a footer that
        // belongs to a later stream does not end this one.
        if (backward > (16u << 20))
            continue;
        std::vector<uint8_t> index(static_cast<size_t>(backward));
        if (!ctx.read(footer - backward, index.data(), index.size()))
            return unreadable;
        if (index[0] != 0 || crc32_of(index.data(), index.size() - 4) != le32(index.data() + index.size() - 4))
            continue;
        uint64_t records = 0;
        size_t k = 1;
        size_t n = xz_vint(index.data() + k, index.size() - 4 - k, &records);
        if (!n)
            continue;
        k += n;
        uint64_t blocks = 0;
        bool sound = true;
        for (uint64_t r = 0; r < records && sound; ++r) {
            uint64_t unpadded = 0, uncompressed = 0;
            n = xz_vint(index.data() + k, index.size() - 4 - k, &unpadded);
            sound = n && unpadded >= 5;
            k += n;
            if (sound) {
                n = xz_vint(index.data() + k, index.size() - 4 - k, &uncompressed);
                sound = n != 0;
                k += n;
            }
            blocks += (unpadded + 3) / 4 * 4;
        }
        if (!sound || footer - backward != start + 12 + blocks)
            continue;
        return hit + 2;
    }
}

}  // namespace

// xz: one stream, and the streams that follow it directly (xz decompresses
// a concatenation of streams as one file, and tools write such files).
parse_result_s parse_xz(parse_ctx_s& ctx)
{
    uint8_t h[12];
    CARVE_NEED(ctx, ctx.start, 12, nullptr);
    if (!ctx.read(ctx.start, h, 12) || !xz_stream_header(h))
        return invalid();
    uint64_t end = xz_stream_end(ctx, ctx.start, h);
    if (end == unreadable)
        return invalid();
    if (end == not_found) {
        // Cut by the device end, unless a later stream shows this one lost
        // its end.
        if (next_sector_header(ctx, ctx.start + 12, ctx.bound(), "\xFD" "7zXZ") != not_found)
            return invalid();
        return ctx.out_of_room(ctx.check(ctx.bound(), 1), "xz");
    }
    for (int stream = 1; stream < 100000; ++stream) {
        // A later stream that is broken or cut leaves the file at the last
        // whole one.
        if (ctx.check(end, 12) != room::ok || !ctx.read(end, h, 12) || !xz_stream_header(h))
            break;
        const uint64_t next = xz_stream_end(ctx, end, h);
        if (next == unreadable || next == not_found)
            break;
        end = next;
    }
    return found(end - ctx.start, "xz");
}

// 7z: the start header's CRC, and the next header it points at, whose own
// CRC holds; the archive ends with that header.
parse_result_s parse_7z(parse_ctx_s& ctx)
{
    uint8_t h[32];
    CARVE_NEED(ctx, ctx.start, 32, nullptr);
    if (!ctx.read(ctx.start, h, 32) || h[6] != 0 || crc32_of(h + 12, 20) != le32(h + 8))
        return invalid();
    const uint64_t next_offset = le64(h + 12);
    const uint64_t next_size = le64(h + 20);
    if (next_offset > (1ull << 48) || next_size > (1ull << 32))
        return invalid();
    const uint64_t length = 32 + next_offset + next_size;
    CARVE_NEED(ctx, ctx.start, length, "7z");
    if (next_size == 0)
        return next_offset == 0 ? found(32, "7z") : invalid();
    // The next header is small; check its CRC and its first byte.
    uint32_t crc = 0;
    uint64_t p = ctx.start + 32 + next_offset;
    uint8_t first = 0;
    if (!ctx.read(p, &first, 1) || (first != 0x01 && first != 0x17))
        return invalid();
    for (uint64_t left = next_size; left > 0;) {
        size_t avail = 0;
        const uint8_t* d = ctx.src.at(p, &avail);
        if (!d)
            return invalid();
        const size_t n = avail < left ? avail : static_cast<size_t>(left);
        crc = crc32_of(d, n, crc);
        p += n;
        left -= n;
    }
    return crc == le32(h + 28) ? found(length, "7z") : invalid();
}

namespace {
// A rar5 variable-length integer at p. Returns its byte count, 0 when broken.
size_t rar5_vint(const uint8_t* p, size_t avail, uint64_t* value)
{
    *value = 0;
    for (size_t i = 0; i < avail && i < 10; ++i) {
        *value |= static_cast<uint64_t>(p[i] & 0x7F) << (7 * i);
        if (!(p[i] & 0x80))
            return i + 1;
    }
    return 0;
}
}  // namespace

// RAR 5: blocks, each header with its CRC, the data size the header gives,
// up to the end-of-archive block.
parse_result_s parse_rar5(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start + 8;
    const char* held = nullptr;
    for (int blocks = 0; blocks < 10000000; ++blocks) {
        uint8_t h[16];
        CARVE_NEED(ctx, pos, 7, held);
        const size_t got = ctx.check(pos, 16) == room::ok ? 16 : 7;
        if (!ctx.read(pos, h, got))
            return invalid();
        uint64_t header_size = 0;
        const size_t n = rar5_vint(h + 4, got - 4, &header_size);
        if (!n || header_size < 2 || header_size > (2u << 20))
            return invalid();
        CARVE_NEED(ctx, pos, 4 + n + header_size, held);
        std::string header(n + header_size, '\0');
        if (!ctx.read(pos + 4, header.data(), header.size()))
            return invalid();
        const auto* b = reinterpret_cast<const uint8_t*>(header.data());
        if (crc32_of(b, header.size()) != le32(h))
            return invalid();
        uint64_t type = 0, flags = 0, extra = 0, data = 0;
        size_t k = n;
        size_t m = rar5_vint(b + k, header.size() - k, &type);
        if (!m)
            return invalid();
        k += m;
        m = rar5_vint(b + k, header.size() - k, &flags);
        if (!m)
            return invalid();
        k += m;
        if (flags & 1) {
            m = rar5_vint(b + k, header.size() - k, &extra);
            if (!m)
                return invalid();
            k += m;
        }
        if (flags & 2) {
            m = rar5_vint(b + k, header.size() - k, &data);
            if (!m)
                return invalid();
        }
        if (type < 1 || type > 5 || (blocks == 0 && type != 1 && type != 4))
            return invalid();
        held = "rar";
        const uint64_t next = pos + 4 + n + header_size + data;
        if (type == 5)
            return found(next - ctx.start, "rar");
        CARVE_NEED(ctx, pos, next - pos, held);
        pos = next;
    }
    return invalid();
}

// RAR 1.5-4: blocks with a 16-bit header CRC; an archive that lacks the end
// block ends after its last sound block.
parse_result_s parse_rar4(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start + 7;
    const char* held = nullptr;
    for (int blocks = 0; blocks < 10000000; ++blocks) {
        uint8_t h[36];
        const room r = ctx.check(pos, 7);
        if (r != room::ok)
            return blocks > 1 && r == room::device_end ? found(pos - ctx.start, "rar") : ctx.out_of_room(r, held);
        if (!ctx.read(pos, h, 7))
            return invalid();
        const uint8_t type = h[2];
        const uint16_t flags = le16(h + 3);
        const uint16_t size = le16(h + 5);
        const bool sound_type = type >= 0x73 && type <= 0x7B && (blocks > 0 || type == 0x73);
        if (!sound_type || size < 7 || ctx.check(pos, size) != room::ok) {
            if (blocks > 1)
                return found(pos - ctx.start, "rar");
            return invalid();
        }
        std::string header(size, '\0');
        if (!ctx.read(pos, header.data(), size))
            return invalid();
        const auto* b = reinterpret_cast<const uint8_t*>(header.data());
        if ((crc32_of(b + 2, size - 2u) & 0xFFFF) != le16(h)) {
            if (blocks > 1)
                return found(pos - ctx.start, "rar");
            return invalid();
        }
        uint64_t add = 0;
        if ((flags & 0x8000) || type == 0x74 || type == 0x7A) {
            if (size < 11)
                return invalid();
            add = le32(b + 7);
            if (type == 0x74 && (flags & 0x100) && size >= 36)
                add |= static_cast<uint64_t>(le32(b + 32)) << 32;
        }
        held = "rar";
        const uint64_t next = pos + size + add;
        if (type == 0x7B)
            return found(next - ctx.start, "rar");
        CARVE_NEED(ctx, pos, size + add, held);
        pos = next;
    }
    return invalid();
}

// SQLite: the header's page size times its page count, believed only when
// the count is marked valid and the fixed header fields hold.
parse_result_s parse_sqlite(parse_ctx_s& ctx)
{
    uint8_t h[100];
    CARVE_NEED(ctx, ctx.start, 100, nullptr);
    if (!ctx.read(ctx.start, h, 100))
        return invalid();
    uint64_t page = be16(h + 16);
    if (page == 1)
        page = 65536;
    if (page < 512 || (page & (page - 1)))
        return invalid();
    if (h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2 || h[21] != 64 || h[22] != 32 || h[23] != 32)
        return invalid();
    const uint32_t pages = be32(h + 28);
    if (pages == 0 || be32(h + 92) != be32(h + 24))
        return invalid();
    const uint64_t length = page * pages;
    CARVE_NEED(ctx, ctx.start, length, "sqlite");
    return found(length, "sqlite");
}


// PDF: the last "%%EOF" of the file: after each one, what follows is looked
// at, and an incremental update (more objects or a cross-reference section)
// makes the search go on.
parse_result_s parse_pdf(parse_ctx_s& ctx)
{
    uint8_t h[8];
    CARVE_NEED(ctx, ctx.start, 8, nullptr);
    if (!ctx.read(ctx.start, h, 8) || !std::isdigit(h[5]) || h[6] != '.' || !std::isdigit(h[7]))
        return invalid();
    uint64_t from = ctx.start + 8;
    for (int updates = 0; updates < 100000; ++updates) {
        // The end marker is looked for a window at a time, and a PDF that lost
        // its end must not swallow the next one: another header at a sector
        // start before the end marker ends the search. So the work for one
        // candidate stops at the next PDF whatever the bound.
        constexpr uint64_t window = 4u << 20;
        uint64_t hit = not_found;
        for (uint64_t at = from; at < ctx.bound() && hit == not_found;) {
            const uint64_t to = ctx.bound() - at > window ? at + window + 4 : ctx.bound();
            hit = find_bytes(ctx.src, at, to, "%%EOF", 5);
            if (hit == unreadable)
                return invalid();
            const uint64_t next_pdf = next_sector_header(ctx, at, hit == not_found ? to : hit, "%PDF-");
            if (next_pdf != not_found)
                return invalid();
            at = to - 4;
            if (to == ctx.bound())
                break;
        }
        if (hit == not_found)
            return ctx.out_of_room(ctx.check(ctx.bound(), 1), "pdf");
        uint64_t end = hit + 5;
        // What follows the marker, as far as a bound that still leaves room
        // for a few comment lines before an update's first object.
        uint8_t tail[1024] = {};
        size_t have = 0;
        if (end < ctx.bound()) {
            have = static_cast<size_t>(std::min<uint64_t>(sizeof tail, ctx.bound() - end));
            if (!ctx.read(end, tail, have))
                have = 0;
        }
        size_t k = 0;
        if (k < have && tail[k] == '\r')
            ++k;
        if (k < have && tail[k] == '\n')
            ++k;
        const uint64_t file_end = end + k;
        // Does an update follow? Skip blank space and comment lines (tools
        // that append an update may open it with one), then look for "xref",
        // "<number> <number> obj", or another end marker (an update closed
        // by a comment and a marker of its own).
        size_t j = k;
        for (;;) {
            while (j < have && (tail[j] == ' ' || tail[j] == '\r' || tail[j] == '\n' || tail[j] == '\t'))
                ++j;
            if (j >= have || tail[j] != '%' || (have - j >= 5 && std::memcmp(tail + j, "%%EOF", 5) == 0))
                break;
            while (j < have && tail[j] != '\r' && tail[j] != '\n')
                ++j;
        }
        const std::string rest(reinterpret_cast<const char*>(tail + j), have - j);
        // Only after a comment line can another end marker belong to this
        // file: a bare marker right after a marker is a second file's tail.
        const bool after_comment = j > k && std::memchr(tail + k, '%', j - k) != nullptr;
        bool update = rest.rfind("xref", 0) == 0 || (after_comment && rest.rfind("%%EOF", 0) == 0);
        if (!update) {
            size_t i = 0;
            auto digits = [&] {
                const size_t s = i;
                while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i])))
                    ++i;
                return i > s;
            };
            update = digits() && i < rest.size() && rest[i++] == ' ' && digits() && rest.compare(i, 4, " obj") == 0;
        }
        if (!update)
            return found(file_end - ctx.start, "pdf");
        from = file_end;
    }
    return invalid();
}

}  // namespace carve
