// Video containers cameras, phones and disc rips write: MPEG transport
// streams (188- and 192-byte packets), Matroska and WebM, ASF (wmv, wma) and
// MPEG program streams.
#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace carve {

namespace {

struct mpeg_crc_table_s {
    uint32_t entry[256];
    mpeg_crc_table_s()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k)
                c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
            entry[i] = c;
        }
    }
};
const mpeg_crc_table_s mpeg_crc_table;

// The CRC MPEG tables carry: over a section with its CRC it comes to zero.
uint32_t mpeg_crc(const uint8_t* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        crc = crc << 8 ^ mpeg_crc_table.entry[(crc >> 24) ^ p[i]];
    return crc;
}

// Whether a 188-byte packet carries the start of a program association
// table whose section and CRC hold: random bytes with sync bytes in step
// do not.
bool holds_pat(const uint8_t* p)
{
    if (p[0] != 0x47 || !(p[1] & 0x40) || ((p[1] & 0x1F) << 8 | p[2]) != 0)
        return false;
    size_t at = 4;
    const uint8_t afc = (p[3] >> 4) & 3;
    if (afc == 2)
        return false;  // no payload
    if (afc == 3)
        at += 1u + p[4];
    if (at >= 188)
        return false;
    at += 1u + p[at];  // the pointer field
    if (at + 8 > 188 || p[at] != 0x00 || !(p[at + 1] & 0x80))
        return false;
    const size_t section = static_cast<size_t>((p[at + 1] & 0x0F) << 8 | p[at + 2]);
    if (section < 9 || at + 3 + section > 188 || (section - 9) % 4 != 0)
        return false;
    return mpeg_crc(p + at, 3 + section) == 0;
}

// A stream walked unit by unit up to the device end is what lies there,
// not a length some header claims: it is reported whole to the end, so that
// the scan does not go on to report each later unit as a stream of its own.
parse_result_s stream_to_device_end(const parse_ctx_s& ctx, room why, const char* type)
{
    if (why != room::device_end)
        return invalid();
    return found(ctx.device_end() - ctx.start, type);
}

// A packet header a stream could hold: the sync byte, and an adaptation
// field control other than the reserved value.
bool ts_header(const uint8_t* p) { return p[0] == 0x47 && (p[3] & 0x30) != 0; }

// A transport stream: packets of one size in step from the start, the
// stream ending where the sync bytes stop. A program association table
// within the first packets tells it from bytes that happen to repeat 0x47.
parse_result_s parse_packets(parse_ctx_s& ctx, size_t packet, size_t sync_at, const char* type)
{
    constexpr uint64_t pat_within = 64;
    uint64_t pos = ctx.start;
    uint64_t packets = 0;
    bool pat = false;
    uint8_t copy[192];
    for (;;) {
        const room r = ctx.check(pos, packet);
        if (r != room::ok)
            return pat ? stream_to_device_end(ctx, r, type) : invalid();
        size_t avail = 0;
        const uint8_t* p = ctx.src.at(pos, &avail);
        if (!p)
            return invalid();
        if (avail < packet) {
            if (!ctx.read(pos, copy, packet))
                return invalid();
            p = copy;
        }
        if (!ts_header(p + sync_at))
            break;
        if (!pat && holds_pat(p + sync_at))
            pat = true;
        ++packets;
        pos += packet;
        if (!pat && packets >= pat_within)
            return invalid();
    }
    if (!pat)
        return invalid();
    return found(pos - ctx.start, type);
}

}  // namespace

parse_result_s parse_mpegts(parse_ctx_s& ctx) { return parse_packets(ctx, 188, 0, "ts"); }

// Cameras (AVCHD) and discs put a 4-byte arrival time before each packet.
parse_result_s parse_m2ts(parse_ctx_s& ctx) { return parse_packets(ctx, 192, 4, "mts"); }

namespace {

// An EBML element's head: its ID (marker bits kept) and data size.
struct ebml_head_s {
    uint32_t id = 0;
    uint64_t size = 0;
    bool unknown = false;  // size all ones: runs to where its parent's next element begins
    uint32_t length = 0;   // bytes of ID and size
};

// Reads the element head at pos. Returns false when the bytes there are not
// one (an ID or size of impossible length) or cannot be read.
bool ebml_head(parse_ctx_s& ctx, uint64_t pos, ebml_head_s* out)
{
    uint8_t b[12];
    size_t have = 12;
    if (ctx.check(pos, 12) != room::ok) {
        if (pos >= ctx.bound())
            return false;
        have = static_cast<size_t>(ctx.bound() - pos);
    }
    if (!ctx.read(pos, b, have) || b[0] == 0)
        return false;
    const uint32_t id_length = static_cast<uint32_t>(std::countl_zero(b[0])) + 1;
    if (id_length > 4 || id_length >= have)
        return false;
    uint32_t id = 0;
    for (uint32_t i = 0; i < id_length; ++i)
        id = id << 8 | b[i];
    const uint8_t first = b[id_length];
    if (first == 0)
        return false;
    const uint32_t size_length = static_cast<uint32_t>(std::countl_zero(first)) + 1;
    if (id_length + size_length > have)
        return false;
    uint64_t size = first & (0xFFu >> size_length);
    bool all_ones = size == (0xFFu >> size_length);
    for (uint32_t i = 1; i < size_length; ++i) {
        const uint8_t v = b[id_length + i];
        size = size << 8 | v;
        all_ones = all_ones && v == 0xFF;
    }
    out->id = id;
    out->size = size;
    out->unknown = all_ones;
    out->length = id_length + size_length;
    return true;
}

bool is_segment_child(uint32_t id)
{
    switch (id) {
    case 0x114D9B74:  // seek head
    case 0x1549A966:  // info
    case 0x1654AE6B:  // tracks
    case 0x1F43B675:  // cluster
    case 0x1C53BB6B:  // cues
    case 0x1043A770:  // chapters
    case 0x1254C367:  // tags
    case 0x1941A469:  // attachments
    case 0xEC:        // void
    case 0xBF:        // CRC-32
        return true;
    default:
        return false;
    }
}

bool is_cluster_child(uint32_t id)
{
    switch (id) {
    case 0xE7:    // timestamp
    case 0x5854:  // silent tracks
    case 0xA7:    // position
    case 0xAB:    // previous size
    case 0xA3:    // simple block
    case 0xA0:    // block group
    case 0xAF:    // encrypted block
    case 0xEC:
    case 0xBF:
        return true;
    default:
        return false;
    }
}

// The track numbers a Tracks element declares (TrackEntry, TrackNumber), at
// most 64 of them; none when it cannot be read.
void track_numbers(parse_ctx_s& ctx, uint64_t pos, uint64_t size, std::vector<uint64_t>* out)
{
    if (size > (1u << 20))
        return;
    const uint64_t end = pos + size;
    ebml_head_s entry;
    for (int n = 0; n < 64 && pos < end && ebml_head(ctx, pos, &entry) && !entry.unknown; ++n) {
        const uint64_t body = pos + entry.length;
        if (entry.size > end - body)
            return;
        if (entry.id == 0xAE) {
            ebml_head_s f;
            for (uint64_t at = body, k = 0; k < 64 && at < body + entry.size && ebml_head(ctx, at, &f) && !f.unknown; ++k) {
                uint8_t v[8];
                if (f.id == 0xD7 && f.size >= 1 && f.size <= 8 && ctx.read(at + f.length, v, static_cast<size_t>(f.size))) {
                    uint64_t number = 0;
                    for (uint64_t i = 0; i < f.size; ++i)
                        number = number << 8 | v[i];
                    out->push_back(number);
                    break;
                }
                at += f.length + f.size;
            }
        }
        pos = body + entry.size;
    }
}

// Whether the block (a SimpleBlock's data, or a BlockGroup's first child,
// a Block) at pos belongs to one of tracks: old bytes that read as a block
// element seldom name a track the file has.
bool block_of_track(parse_ctx_s& ctx, uint64_t pos, uint32_t id, const std::vector<uint64_t>& tracks)
{
    if (tracks.empty())
        return true;
    if (id == 0xA0) {
        ebml_head_s b;
        if (!ebml_head(ctx, pos, &b) || b.id != 0xA1)
            return false;
        pos += b.length;
    }
    uint8_t v[8];
    if (!ctx.read(pos, v, 1) || v[0] == 0)
        return false;
    const uint32_t n = static_cast<uint32_t>(std::countl_zero(v[0])) + 1;
    if (!ctx.read(pos, v, n))
        return false;
    uint64_t number = v[0] & (0xFFu >> n);
    for (uint32_t i = 1; i < n; ++i)
        number = number << 8 | v[i];
    return std::find(tracks.begin(), tracks.end(), number) != tracks.end();
}

}  // namespace

// Matroska and WebM: the EBML header names the document type; the segment
// after it gives the length. A segment written to a pipe has no size: its
// elements, and the blocks of clusters without sizes, are walked to where
// something that is no element of a segment begins.
parse_result_s parse_matroska(parse_ctx_s& ctx)
{
    ebml_head_s h;
    if (!ebml_head(ctx, ctx.start, &h) || h.id != 0x1A45DFA3 || h.unknown || h.size < 4 || h.size > 4096)
        return invalid();
    CARVE_NEED(ctx, ctx.start, h.length + h.size, nullptr);
    uint8_t header[4096];
    if (!ctx.read(ctx.start + h.length, header, static_cast<size_t>(h.size)))
        return invalid();
    const char* type = nullptr;
    for (uint64_t at = 0; at < h.size;) {
        // The header's children: IDs of 1 or 2 bytes, sizes of 1 to 8.
        const uint8_t* c = header + at;
        const uint64_t left = h.size - at;
        const uint32_t id_length = (c[0] & 0x80) ? 1 : (c[0] & 0x40) ? 2 : 0;
        if (!id_length || left < id_length + 1u || c[id_length] == 0)
            return invalid();
        const uint32_t id = id_length == 1 ? c[0] : static_cast<uint32_t>(c[0] << 8 | c[1]);
        const uint32_t size_length = static_cast<uint32_t>(std::countl_zero(c[id_length])) + 1;
        if (id_length + size_length > left)
            return invalid();
        uint64_t size = c[id_length] & (0xFFu >> size_length);
        for (uint32_t i = 1; i < size_length; ++i)
            size = size << 8 | c[id_length + i];
        if (size > left - id_length - size_length)
            return invalid();
        if (id == 0x4282) {
            std::string doc(reinterpret_cast<const char*>(c + id_length + size_length), static_cast<size_t>(size));
            doc = doc.substr(0, doc.find('\0'));
            if (doc == "matroska")
                type = "mkv";
            else if (doc == "webm")
                type = "webm";
        }
        at += id_length + size_length + size;
    }
    if (!type)
        return invalid();
    uint64_t pos = ctx.start + h.length + h.size;
    ebml_head_s seg;
    if (!ebml_head(ctx, pos, &seg) || seg.id != 0x18538067)
        return ctx.out_of_room(ctx.check(pos, 12), nullptr);
    const uint64_t data = pos + seg.length;
    ebml_head_s child;
    if (!ebml_head(ctx, data, &child) || !is_segment_child(child.id))
        return invalid();
    if (!seg.unknown) {
        if (seg.size > UINT64_MAX - data)
            return invalid();
        CARVE_NEED(ctx, data, seg.size, type);
        return found(data + seg.size - ctx.start, type);
    }
    uint64_t p = data;
    bool clusters = false;
    std::vector<uint64_t> tracks;
    for (uint64_t elements = 0; elements < 100000000; ++elements) {
        if (ctx.check(p, 1) != room::ok)
            return ctx.out_of_room(ctx.check(p, 1), type);
        ebml_head_s e;
        if (!ebml_head(ctx, p, &e)) {
            if (ctx.check(p, 12) == room::device_end)
                return ctx.out_of_room(room::device_end, type);
            break;
        }
        bool in_cluster = false;
        // Once clusters began, a one-byte ID (void, CRC) between them is
        // more likely a byte of old data than an element.
        if (clusters && e.id <= 0xFF)
            break;
        if (is_segment_child(e.id)) {
            if (e.id == 0x1F43B675)
                clusters = true;
            if (e.unknown) {
                if (e.id != 0x1F43B675)
                    return invalid();
                in_cluster = true;
            }
        } else {
            break;
        }
        p += e.length;
        if (!in_cluster) {
            if (e.size > UINT64_MAX - p)
                return invalid();
            CARVE_NEED(ctx, p, e.size, type);
            if (e.id == 0x1654AE6B && tracks.empty())
                track_numbers(ctx, p, e.size, &tracks);
            p += e.size;
            continue;
        }
        // A cluster without size: its blocks, up to the next element of
        // the segment. What may lead a cluster (its time, position, CRC)
        // comes before its first block; after that, only blocks of the
        // file's tracks.
        bool blocks = false;
        for (; elements < 100000000; ++elements) {
            if (ctx.check(p, 1) != room::ok)
                return ctx.out_of_room(ctx.check(p, 1), type);
            ebml_head_s b;
            if (!ebml_head(ctx, p, &b)) {
                if (ctx.check(p, 12) == room::device_end)
                    return ctx.out_of_room(room::device_end, type);
                break;
            }
            if (!is_cluster_child(b.id) || b.unknown)
                break;
            const bool block = b.id == 0xA3 || b.id == 0xA0 || b.id == 0xAF;
            if (blocks && !(block && block_of_track(ctx, p + b.length, b.id, tracks)))
                break;
            blocks = blocks || block;
            if (b.size > UINT64_MAX - p - b.length)
                return invalid();
            CARVE_NEED(ctx, p, b.length + b.size, type);
            p += b.length + b.size;
        }
    }
    if (!clusters)
        return invalid();
    return found(p - ctx.start, type);
}

namespace {

// ASF object GUIDs as they lie on disk.
const uint8_t asf_header[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t asf_data[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                              0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t asf_stream_properties[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                           0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t asf_file_properties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const uint8_t asf_video_media[16] = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                                     0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
// The index objects that may follow the data object.
const uint8_t asf_indexes[4][16] = {
    {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB},  // simple index
    {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE},  // index
    {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C, 0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C},  // media object index
    {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48, 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C},  // timecode index
};

bool is_asf_index(const uint8_t* guid)
{
    for (const auto& g : asf_indexes)
        if (std::memcmp(guid, g, 16) == 0)
            return true;
    return false;
}

}  // namespace

// ASF (wmv, wma): the header object, whose objects must fill it exactly,
// the data object right after it, then the index objects, each by its size.
// A file with a video stream is a wmv, one with none a wma.
parse_result_s parse_asf(parse_ctx_s& ctx)
{
    uint8_t h[30];
    CARVE_NEED(ctx, ctx.start, 30, nullptr);
    if (!ctx.read(ctx.start, h, 30) || std::memcmp(h, asf_header, 16) != 0 || h[29] != 0x02)
        return invalid();
    const uint64_t header_size = le64(h + 16);
    const uint32_t objects = le32(h + 24);
    if (header_size < 30 || header_size > (64u << 20) || objects == 0 || objects > 10000)
        return invalid();
    CARVE_NEED(ctx, ctx.start, header_size, nullptr);
    bool video = false;
    uint64_t packet = 0;  // the data packets' fixed size, 0 when not known
    uint64_t pos = ctx.start + 30;
    const uint64_t header_end = ctx.start + header_size;
    for (uint32_t i = 0; i < objects; ++i) {
        uint8_t o[40];
        if (pos > header_end || header_end - pos < 24 || !ctx.read(pos, o, 24))
            return invalid();
        const uint64_t size = le64(o + 16);
        if (size < 24 || size > header_end - pos)
            return invalid();
        if (std::memcmp(o, asf_file_properties, 16) == 0 && size >= 104) {
            uint8_t f[8];
            if (!ctx.read(pos + 92, f, 8))
                return invalid();
            packet = le32(f) == le32(f + 4) ? le32(f) : 0;
        }
        if (std::memcmp(o, asf_stream_properties, 16) == 0 && size >= 40) {
            if (!ctx.read(pos + 24, o + 24, 16))
                return invalid();
            if (std::memcmp(o + 24, asf_video_media, 16) == 0)
                video = true;
        }
        pos += size;
    }
    if (pos != header_end)
        return invalid();
    const char* type = video ? "wmv" : "wma";
    uint8_t d[24];
    CARVE_NEED(ctx, pos, 24, type);
    if (!ctx.read(pos, d, 24) || std::memcmp(d, asf_data, 16) != 0)
        return invalid();
    const uint64_t data_size = le64(d + 16);
    if (data_size < 50 || data_size > UINT64_MAX - pos)
        return invalid();
    if (data_size == 50) {
        // Written where the writer could not go back: the data object's
        // size stays its header's. Its packets, all of the one size the
        // file properties give, are walked while they begin alike.
        if (packet == 0 || packet > 65536)
            return invalid();
        pos += 50;
        uint8_t first = 0;
        uint64_t packets = 0;
        for (; packets < 100000000; ++packets) {
            uint8_t b[16];
            if (ctx.check(pos, packet) != room::ok || !ctx.read(pos, b, 16) || is_asf_index(b))
                break;
            if (packets == 0)
                first = b[0];
            if (b[0] != first || ((first & 0x80) && first != 0x82))
                break;
            pos += packet;
        }
        if (packets == 0)
            return invalid();
    } else {
        CARVE_NEED(ctx, pos, data_size, type);
        pos += data_size;
    }
    for (int indexes = 0; indexes < 64; ++indexes) {
        uint8_t x[24];
        if (ctx.check(pos, 24) != room::ok || !ctx.read(pos, x, 24) || !is_asf_index(x))
            break;
        const uint64_t size = le64(x + 16);
        if (size < 24 || size > UINT64_MAX - pos)
            break;
        CARVE_NEED(ctx, pos, size, type);
        pos += size;
    }
    return found(pos - ctx.start, type);
}

// MPEG program streams (mpg, vob): pack headers, system headers and PES
// packets, each by its length, up to the end code. A stream without one
// ends where its packets stop: the format gives nothing else.
parse_result_s parse_mpegps(parse_ctx_s& ctx)
{
    uint64_t pos = ctx.start;
    uint64_t packs = 0;
    uint64_t packets = 0;
    for (uint64_t units = 0; units < 1000000000; ++units) {
        uint8_t h[14];
        const char* held = packs >= 2 && packets ? "mpg" : nullptr;
        const room r = ctx.check(pos, 14);
        if (r != room::ok) {
            // The end code alone may end the device.
            if (r == room::device_end && ctx.check(pos, 4) == room::ok && ctx.read(pos, h, 4) &&
                std::memcmp(h, "\0\0\x01\xB9", 4) == 0 && held)
                return found(pos + 4 - ctx.start, held);
            return held ? stream_to_device_end(ctx, r, held) : invalid();
        }
        if (!ctx.read(pos, h, 14) || h[0] != 0 || h[1] != 0 || h[2] != 1)
            break;
        const uint8_t code = h[3];
        if (code == 0xB9) {
            pos += 4;
            if (!held)
                return invalid();
            return found(pos - ctx.start, held);
        }
        if (code == 0xBA) {
            uint64_t length = 0;
            if ((h[4] & 0xC0) == 0x40) {
                // MPEG-2: marker bits, then 3 bits of stuffing length.
                if ((h[4] & 0x04) == 0 || (h[6] & 0x04) == 0 || (h[8] & 0x04) == 0 || (h[9] & 0x01) == 0 ||
                    (h[12] & 0x03) != 0x03)
                    return held ? found(pos - ctx.start, held) : invalid();
                length = 14u + (h[13] & 7);
            } else if ((h[4] & 0xF0) == 0x20) {
                if ((h[4] & 0x01) == 0 || (h[6] & 0x01) == 0 || (h[8] & 0x01) == 0 || (h[9] & 0x80) == 0 ||
                    (h[11] & 0x01) == 0)
                    return held ? found(pos - ctx.start, held) : invalid();
                length = 12;
            } else {
                break;
            }
            ++packs;
            pos += length;
            continue;
        }
        if (code < 0xBB) {
            break;
        }
        if (!packs)
            return invalid();
        // A system header or a PES packet: its length follows the code.
        const uint64_t length = 6u + be16(h + 4);
        if (code != 0xBB)
            ++packets;
        if (const room fits = ctx.check(pos, length); fits != room::ok)
            return held ? stream_to_device_end(ctx, fits, held) : invalid();
        pos += length;
    }
    if (packs < 2 || !packets)
        return invalid();
    return found(pos - ctx.start, "mpg");
}

}  // namespace carve
