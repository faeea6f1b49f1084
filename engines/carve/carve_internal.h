// What the engine's pieces share: the configuration, the cached byte source
// the whole run reads through, and the table of known formats.
#pragma once

#include "ondisk/byte_order.h"
#include "platform/big_buffer.h"
#include "platform/byte_source.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace carve {

// ---- byte order -----------------------------------------------------------

using platform::be16;
using platform::be24;
using platform::be32;
using platform::be64;
using platform::le16;
using platform::le32;
using platform::le64;

// ---- configuration --------------------------------------------------------

struct type_setting_s {
    bool enabled = true;
    uint64_t max_size = 0;
};

// A type the user described by its first bytes, its last bytes and a size
// bound. Without a footer a found file is max_size long (cut at the device end).
struct user_type_s {
    std::string name;
    std::string header;
    std::string footer;
    uint64_t max_size = 0;
};

struct config_s {
    uint32_t sector_size = 512;   // candidates start at multiples of this
    bool byte_level = false;      // true: every byte is a candidate start
    // Where a file in two pieces may be cut: cluster boundaries of this
    // size counted from the file's start (never smaller than a sector).
    uint32_t cluster_size = 4096;
    uint32_t fragment_gap = 4096;       // clusters searched after a cut; 0: no search
    double fragment_seconds = 2.0;      // search time for one file
    double fragment_total_seconds = 120.0;  // and for the whole run
    uint32_t threads = 0;                // threads that judge candidates; 0: one per core
    // The undelete readers' check of deleted files by their content: on or
    // off, and the seconds it may spend on one file and on a whole volume.
    bool check_deleted = true;
    double check_seconds = 2.0;
    double check_total_seconds = 60.0;
    std::map<std::string, type_setting_s> types;  // every built-in type name
    std::vector<user_type_s> user_types;
};

// The built-in defaults: every built-in type with its default bound, on
// except plain text.
config_s default_config();
// Parses configuration text over the defaults. Lines that cannot be
// understood are skipped.
config_s parse_config(const std::string& text);
// A copy of the configuration the last carve_load_config installed.
config_s current_config();

// "64K", "16M", "2G", "4096" as bytes. Returns false for anything else.
bool parse_size(const std::string& text, uint64_t* bytes);

// ---- the byte source ------------------------------------------------------

// The device as seen through a small direct-mapped cache of large blocks.
// Reads go forward almost always (the scan, and parsers looking ahead of it),
// so every block is read from the device about once and memory stays fixed.
// The cache starts with a few slots and grows, to at most slot_count, when
// it misses a block that slot_count slots would still hold: every look-ahead
// worker has a source of its own, and one that reads forward through files
// of a few megabytes never needs them all; what it never touches is never
// resident (nor zeroed by the kernel).
class source_c {
public:
    static constexpr size_t block_size = 1u << 20;
    static constexpr size_t slot_count = 24;
    // The slots used at first; each growth doubles them (slot_count is this
    // times a power of two, so a block's slot before a growth is its slot
    // after it modulo the old count, and no two held blocks collide).
    static constexpr size_t first_slots = 3;

    source_c(const platform::byte_source_c& device, const std::atomic<int32_t>* stop);
    // Counts the blocks read into the cache: a pointer from at() stays valid
    // only while this does not change.
    uint64_t refills() const { return refills_; }

    uint64_t size() const { return size_; }

    // Pointer to the byte at offset and, in *avail, how many bytes follow it
    // in one piece (at least 1). Null past the end, on a read error and once
    // a stop was asked for.
    const uint8_t* at(uint64_t offset, size_t* avail);
    // Copies length bytes at offset into out. Returns false when any of them
    // cannot be had.
    bool copy(uint64_t offset, void* out, size_t length);
    // Whether a stop was asked for.
    bool stopped() const { return stop_ && stop_->load(std::memory_order_relaxed) != 0; }

private:
    struct slot_s {
        uint64_t block = UINT64_MAX;  // block number held, UINT64_MAX when none
        size_t length = 0;            // bytes valid (short at the device end)
        bool failed = false;          // the device refused this block
        uint8_t* data = nullptr;
    };

    uint8_t* new_piece();
    void grow(uint64_t block);

    const platform::byte_source_c& device_;
    const std::atomic<int32_t>* stop_;
    uint64_t size_;
    uint64_t refills_ = 0;
    std::vector<slot_s> slots_;
    size_t active_ = first_slots;  // slots in use: block b lies in slots_[b % active_]
    uint64_t highest_ = 0;         // the highest block read
    // The block each slot of a slot_count cache would hold, to tell a miss
    // that more slots would have saved.
    std::vector<uint64_t> full_;
    size_t pieces_ = 0;                                 // block-sized pieces of memory handed to slots
    platform::big_buffer_c memory_;                     // every piece, touched when first used
    std::vector<std::unique_ptr<uint8_t[]>> fallback_;  // where that could not be had
};

// ---- formats ----------------------------------------------------------------

enum class verdict { invalid, complete, truncated };

struct parse_result_s {
    verdict outcome = verdict::invalid;
    uint64_t length = 0;          // from the candidate's start
    const char* type = nullptr;   // the type name the file is reported under
};

// Whether a parser may read a byte range: yes; no, it runs past the device
// end; no, it runs past the type's maximum size.
enum class room { ok, device_end, too_big };

// The run's other types, for a parser whose files carry no length (plain
// text): where one of their files begins, the run found there is over.
// Files start at sector starts, so only those are asked about.
class file_starts_c {
public:
    uint32_t sector_size() const { return sector_size_; }
    // Whether a strong key (four bytes or more) of another enabled type may
    // lie at a start whose first byte is b0 and fifth b4: the cheap filter
    // passed before asking starts_at.
    bool may_start(uint8_t b0, uint8_t b4) const { return first_[b0] || fifth_[b4]; }
    // Whether such a key lies at offset and its parser finds there a file
    // the run would report. Reads through src: pointers a caller holds into
    // it may no longer be valid afterwards.
    virtual bool starts_at(source_c& src, uint64_t offset) const = 0;

protected:
    ~file_starts_c() = default;
    uint32_t sector_size_ = 512;
    bool first_[256] = {};
    bool fifth_[256] = {};
};

// What a parser is given: the source, the candidate's start, and limit, the
// first byte past the largest maximum size of the names it can report.
struct parse_ctx_s {
    source_c& src;
    uint64_t start;
    uint64_t limit;
    const user_type_s* user = nullptr;  // only for user types
    const file_starts_c* others = nullptr;  // null outside a carving run

    uint64_t device_end() const { return src.size(); }
    // The first byte a parser may not need: the limit or the device end.
    uint64_t bound() const { return limit < src.size() ? limit : src.size(); }

    room check(uint64_t offset, uint64_t length) const
    {
        if (offset > UINT64_MAX - length || offset + length > limit)
            return room::too_big;
        return offset + length <= src.size() ? room::ok : room::device_end;
    }
    // What a parser returns when check() said no. type_if_held names the type
    // once the file's header has held; a file cut by the device end is then
    // reported up to the end.
    parse_result_s out_of_room(room why, const char* type_if_held) const
    {
        if (why == room::device_end && type_if_held)
            return {verdict::truncated, src.size() - start, type_if_held};
        return {};
    }
    // Copies length bytes at offset. Returns false when they cannot be had.
    bool read(uint64_t offset, void* out, size_t length) const { return src.copy(offset, out, length); }
};

using parse_fn = parse_result_s (*)(parse_ctx_s& ctx);

// A signature: the bytes (under a mask) at key_offset from a file's start.
struct signature_s {
    const char* format;       // the parser's family name, for the type table
    uint32_t key_offset;
    std::string key;
    std::string mask;         // empty: all bits count
    parse_fn parse;
    const user_type_s* user = nullptr;
};

// A built-in type name with its default bound and the parser family that
// reports it.
struct type_info_s {
    const char* name;
    const char* format;
    uint64_t default_max;
    bool on_by_default = true;
};

const std::vector<type_info_s>& builtin_types();
const std::vector<signature_s>& builtin_signatures();

// Result helpers for parsers.
inline parse_result_s found(uint64_t length, const char* type) { return {verdict::complete, length, type}; }
inline parse_result_s invalid() { return {}; }

// Inside a parser: returns from it when [offset, offset + length) may not be
// read; a file whose header held (type_if_held non-null) and that runs past
// the device end is reported cut there.
#define CARVE_NEED(ctx, offset, length, type_if_held)                                   \
    do {                                                                                  \
        const ::carve::room room_ = (ctx).check((offset), (length));                      \
        if (room_ != ::carve::room::ok)                                                   \
            return (ctx).out_of_room(room_, (type_if_held));                              \
    } while (0)

// Whether [offset, offset + length) lies before the device end.
inline bool within_device(const parse_ctx_s& ctx, uint64_t offset, uint64_t length)
{
    return offset <= ctx.device_end() && length <= ctx.device_end() - offset;
}

// Parser families, one per file in formats_*.cpp.
parse_result_s parse_jpeg(parse_ctx_s& ctx);
parse_result_s parse_png(parse_ctx_s& ctx);
parse_result_s parse_gif(parse_ctx_s& ctx);
parse_result_s parse_bmp(parse_ctx_s& ctx);
parse_result_s parse_tiff(parse_ctx_s& ctx);
parse_result_s parse_riff(parse_ctx_s& ctx);
parse_result_s parse_pdf(parse_ctx_s& ctx);
parse_result_s parse_zip(parse_ctx_s& ctx);
parse_result_s parse_gzip(parse_ctx_s& ctx);
parse_result_s parse_bzip2(parse_ctx_s& ctx);
parse_result_s parse_xz(parse_ctx_s& ctx);
parse_result_s parse_7z(parse_ctx_s& ctx);
parse_result_s parse_rar4(parse_ctx_s& ctx);
parse_result_s parse_rar5(parse_ctx_s& ctx);
parse_result_s parse_sqlite(parse_ctx_s& ctx);
parse_result_s parse_mp3(parse_ctx_s& ctx);
parse_result_s parse_isobmff(parse_ctx_s& ctx);
parse_result_s parse_flac(parse_ctx_s& ctx);
parse_result_s parse_ogg(parse_ctx_s& ctx);
parse_result_s parse_ole2(parse_ctx_s& ctx);
parse_result_s parse_pe(parse_ctx_s& ctx);
parse_result_s parse_elf(parse_ctx_s& ctx);
parse_result_s parse_mpegts(parse_ctx_s& ctx);
parse_result_s parse_m2ts(parse_ctx_s& ctx);
parse_result_s parse_matroska(parse_ctx_s& ctx);
parse_result_s parse_asf(parse_ctx_s& ctx);
parse_result_s parse_mpegps(parse_ctx_s& ctx);
parse_result_s parse_aiff(parse_ctx_s& ctx);
parse_result_s parse_midi(parse_ctx_s& ctx);
parse_result_s parse_djvu(parse_ctx_s& ctx);
parse_result_s parse_raf(parse_ctx_s& ctx);
parse_result_s parse_psd(parse_ctx_s& ctx);
parse_result_s parse_rtf(parse_ctx_s& ctx);
parse_result_s parse_pst(parse_ctx_s& ctx);
parse_result_s parse_kdbx(parse_ctx_s& ctx);
parse_result_s parse_wal(parse_ctx_s& ctx);
parse_result_s parse_sfnt(parse_ctx_s& ctx);
parse_result_s parse_woff(parse_ctx_s& ctx);
parse_result_s parse_ico(parse_ctx_s& ctx);
parse_result_s parse_adts(parse_ctx_s& ctx);
parse_result_s parse_ac3(parse_ctx_s& ctx);
parse_result_s parse_amr(parse_ctx_s& ctx);
parse_result_s parse_ape(parse_ctx_s& ctx);
parse_result_s parse_wavpack(parse_ctx_s& ctx);
parse_result_s parse_au(parse_ctx_s& ctx);
parse_result_s parse_flv(parse_ctx_s& ctx);
parse_result_s parse_swf(parse_ctx_s& ctx);
parse_result_s parse_eml(parse_ctx_s& ctx);
parse_result_s parse_mbox(parse_ctx_s& ctx);
parse_result_s parse_vcard(parse_ctx_s& ctx);
parse_result_s parse_icalendar(parse_ctx_s& ctx);
parse_result_s parse_pem(parse_ctx_s& ctx);
parse_result_s parse_torrent(parse_ctx_s& ctx);
parse_result_s parse_icns(parse_ctx_s& ctx);
parse_result_s parse_jpeg_boxes(parse_ctx_s& ctx);
parse_result_s parse_emf(parse_ctx_s& ctx);
parse_result_s parse_wmf(parse_ctx_s& ctx);
parse_result_s parse_pfb(parse_ctx_s& ctx);
parse_result_s parse_blend(parse_ctx_s& ctx);
parse_result_s parse_zstd(parse_ctx_s& ctx);
parse_result_s parse_cab(parse_ctx_s& ctx);
parse_result_s parse_chm(parse_ctx_s& ctx);
parse_result_s parse_cpio(parse_ctx_s& ctx);
parse_result_s parse_evtx(parse_ctx_s& ctx);
parse_result_s parse_lnk(parse_ctx_s& ctx);
parse_result_s parse_class(parse_ctx_s& ctx);
parse_result_s parse_dex(parse_ctx_s& ctx);
parse_result_s parse_text(parse_ctx_s& ctx);
parse_result_s parse_user(parse_ctx_s& ctx);

// For a file parse found broken: how far it is sound from its start, for
// the parsers that can tell (ZIP, ISO media, PDF); false for the others.
bool intact_prefix(source_c& src, parse_fn parse, uint64_t* intact);
// A ZIP's local entries walked from its start, each one's data checked
// against its CRC (stored and deflated ones): where the first entry that
// fails starts (*failed set), or where the walk could go no further.
uint64_t zip_entries_intact(source_c& src, bool* failed);

// What find_bytes returns when the needle is not in the range, and when the
// range could not be read (a device error, or a stop was asked for).
inline constexpr uint64_t not_found = UINT64_MAX;
inline constexpr uint64_t unreadable = UINT64_MAX - 1;

// Searches [from, to) for needle. Returns its offset, not_found or unreadable.
uint64_t find_bytes(source_c& src, uint64_t from, uint64_t to, const void* needle, size_t length);

// In a JPEG's coded data: the first 0xFF in [p, p + n) that is not a
// stuffed 0xFF 00 (a marker, a restart marker or a fill byte), n - 1 when
// only the last byte is an 0xFF (what follows it lies past n), n when there
// is none. Coded data holds a stuffed pair every couple of hundred bytes;
// passing over them here, sixteen bytes at a time, instead of stopping at
// each one, is most of what walking a JPEG's structure costs.
inline size_t find_unstuffed_ff(const uint8_t* p, size_t n)
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i zero = _mm_setzero_si128();
    for (; n > 16 && i < n - 16; i += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const unsigned hits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_andnot_si128(_mm_cmpeq_epi8(next, zero), _mm_cmpeq_epi8(here, ff))));
        if (hits)
            return i + static_cast<size_t>(std::countr_zero(hits));
    }
#endif
    for (; i < n; ++i) {
        const void* ff_at = std::memchr(p + i, 0xFF, n - i);
        if (!ff_at)
            return n;
        i = static_cast<size_t>(static_cast<const uint8_t*>(ff_at) - p);
        if (i + 1 == n || p[i + 1] != 0)
            return i;
    }
    return n;
}

// CRC-32 as zip, png, gzip, xz, 7z and rar use it.
uint32_t crc32_of(const uint8_t* data, size_t length, uint32_t crc = 0);

}  // namespace carve
