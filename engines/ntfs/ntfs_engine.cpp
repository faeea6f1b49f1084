#include "engines/ntfs/ntfs_engine.h"

#include "engines/ntfs/ntfs_harvest.h"
#include "engines/ntfs/ntfs_layout.h"
#include "engines/ntfs/ntfs_parse.h"
#include "platform/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <queue>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace ntfs_engine {

using namespace ntfs_parse;
namespace layout = ntfs_layout;

namespace {

constexpr uint32_t open_magic = 0x5346544E;  // "NTFS"
constexpr size_t ctx_engine = 16;            // pointer to the engine's state
constexpr size_t chunk_bytes = 1 << 20;      // MFT read size during a scan
constexpr size_t copy_bytes = 1 << 20;       // data read size during extraction
constexpr size_t max_extension_records = 256;
constexpr uint64_t max_attribute_list = 1 << 20;

constexpr uint64_t first_judged_record = 16;
constexpr uint64_t mirrored_records = 4;         // $MFTMirr holds at least records 0-3
constexpr uint64_t mft_bitmap_record = 6;       // $Bitmap: one bit per cluster, set = allocated
constexpr size_t bitmap_page_bytes = 1 << 20;      // read as a deleted file's runs first need it
constexpr uint64_t max_bitmap_held = 512u << 20;   // a larger bitmap is judged up to there only
constexpr uint64_t bitmap_scan_budget = 1u << 28;  // bitmap bytes looked at per scan
constexpr size_t max_claims = size_t(1) << 21;     // deleted files' extents held to find overlaps (48 MB)

// Which clusters are allocated now, from $Bitmap. Pages are read when first
// needed, so a scan with few deleted files reads little of it.
struct cluster_map_s {
    enum class state_e : uint8_t { untried, ready, unusable };
    enum page_e : uint8_t { page_unread, page_held, page_unreadable };
    state_e state = state_e::untried;
    std::vector<run_s> runs;
    uint64_t bytes = 0;  // bitmap bytes that describe clusters of the volume
    std::vector<std::vector<uint8_t>> pages;
    std::vector<uint8_t> page_states;
    uint64_t budget = bitmap_scan_budget;
};

// A deleted file's claim on clusters, and what says when it was written.
struct claim_owner_s {
    uint64_t record;
    uint64_t time;          // its latest $STANDARD_INFORMATION time
    uint64_t log_sequence;  // its record's $LogFile sequence number
};
struct claim_s {
    uint64_t lcn;
    uint64_t end;
    uint32_t owner;
};

// A record found by the harvest: where it lies and what its header says.
struct harvested_s {
    uint64_t offset;
    int64_t number;
    uint64_t base_reference;
    uint64_t log_sequence;
    uint16_t sequence;
    uint16_t flags;
};

// Everything an open scan holds, behind a pointer in the caller's context.
struct engine_s {
    platform::byte_source_ptr device;
    volume_params_s volume;
    std::vector<run_s> mft_runs;
    uint64_t mft_records = 0;     // records the $MFT's data size holds
    uint64_t mft_readable = 0;    // records inside its initialised size and runs
    uint64_t next_record = 0;
    std::vector<uint8_t> chunk;
    uint64_t chunk_first = 0;
    uint64_t chunk_count = 0;
    std::vector<bool> chunk_ok;   // per record of the chunk: read without error
    std::vector<uint8_t> copy_buffer;  // extraction's read buffer, made once
    std::vector<attribute_s> attributes;  // the base record's, reused record after record
    std::vector<stream_info_s> last_streams;  // named streams of the record delivered last
    std::vector<uint8_t> raw_record;  // a deleted record before its fixups, to decode again
    std::vector<uint8_t> scratch_record;
    cluster_map_s clusters;
    // A named stream is judged by decoding its record again, extension
    // records and all: files of many streams behind attribute lists must not
    // multiply a scan's reads without bound.
    uint32_t list_rejudges_left = 4096;
    // The extents every deleted file's copy reads, gathered as the files are
    // delivered and weighed once the last one was.
    std::vector<claim_owner_s> claim_owners;
    std::vector<claim_s> claims;
    bool claims_weighed = false;
    std::vector<int64_t> claim_losers;  // by record number
    scan_stats_s stats;
    // Records found by their shape outside the live MFT (ntfs_harvest).
    std::vector<harvested_s> harvested;
    std::unordered_map<uint64_t, uint32_t> harvested_by_number;  // record number -> index
    size_t harvest_next = 0;
    bool reading_harvest = false;  // extension records come from the harvest
    std::vector<int64_t> harvest_losers;  // harvest indexes whose claims lost
};

// Returns the state of the scan open on context, or nullptr when none is.
engine_s* engine_of(const void* context) {
    const auto* ctx = static_cast<const uint8_t*>(context);
    uint32_t open;
    std::memcpy(&open, ctx + ctx_open, sizeof open);
    if (open != open_magic)
        return nullptr;
    engine_s* engine;
    std::memcpy(&engine, ctx + ctx_engine, sizeof engine);
    return engine;
}

// Stores value at a byte offset of the caller's context or record.
template <typename T>
void put(void* base, size_t offset, T value) {
    std::memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}

// Reads length bytes at byte offset `offset` of the stream described by runs.
// Holes read as zeros. Returns false when a byte lies outside the runs or the
// device read fails.
bool read_stream(const engine_s& e, const std::vector<run_s>& runs, uint64_t offset, uint8_t* out,
                 size_t length) {
    const uint64_t cs = e.volume.cluster_size;
    auto it = std::upper_bound(runs.begin(), runs.end(), offset / cs,
                               [](uint64_t vcn, const run_s& r) { return vcn < r.vcn; });
    if (it == runs.begin())
        return false;
    --it;
    while (length > 0) {
        if (it == runs.end())
            return false;
        const uint64_t run_start = it->vcn * cs;
        const uint64_t run_end = run_start + it->length * cs;
        if (offset < run_start || offset >= run_end)
            return false;
        const size_t take = size_t(std::min<uint64_t>(length, run_end - offset));
        if (it->lcn < 0) {
            std::memset(out, 0, take);
        } else {
            const uint64_t at = uint64_t(it->lcn) * cs + (offset - run_start);
            if (e.device->read_at(at, out, take) != int64_t(take))
                return false;
        }
        out += take;
        offset += take;
        length -= take;
        ++it;
    }
    return true;
}

// Whether any byte of [offset, offset + length) of the stream described by
// runs came back from the medium as unreadable.
bool stream_unreadable(const engine_s& e, const std::vector<run_s>& runs, uint64_t offset, size_t length) {
    const uint64_t cs = e.volume.cluster_size;
    for (const run_s& r : runs) {
        const uint64_t run_start = r.vcn * cs;
        const uint64_t run_end = run_start + r.length * cs;
        if (r.lcn < 0 || run_end <= offset || run_start >= offset + length)
            continue;
        const uint64_t from = std::max(offset, run_start);
        const uint64_t to = std::min<uint64_t>(offset + length, run_end);
        if (e.device->any_unreadable_in(uint64_t(r.lcn) * cs + (from - run_start), to - from))
            return true;
    }
    return false;
}

// Reads the mirror's copy of record n (below mirrored_records) into buf
// when it is readable and passes its fixups; buf is left alone otherwise.
bool read_mirror_record(const engine_s& e, uint64_t n, uint8_t* buf) {
    const volume_params_s& v = e.volume;
    if (v.mftmirr_lcn == 0 || n >= mirrored_records)
        return false;
    const uint64_t at = v.mftmirr_lcn * v.cluster_size + n * v.record_size;
    std::vector<uint8_t> copy(v.record_size);
    if (e.device->read_at(at, copy.data(), copy.size()) != int64_t(copy.size()) ||
        e.device->any_unreadable_in(at, copy.size()))
        return false;
    std::vector<uint8_t> probe = copy;
    record_header_s header;
    if (check_record(probe.data(), probe.size(), &header) != record_state::valid)
        return false;
    std::memcpy(buf, copy.data(), copy.size());
    return true;
}

// The attributes of a file, gathered from its base record and, through its
// attribute list, from its extension records.
struct file_s {
    std::u16string stream;       // the data stream wanted: empty = the unnamed one
    std::vector<stream_info_s> named_streams;  // every named data stream met
    uint16_t record_flags = 0;
    uint16_t sequence = 0;
    uint64_t log_sequence = 0;
    bool have_times = false;
    times_s times;
    bool have_name = false;
    file_name_s name;
    bool have_data = false;      // the wanted data stream's first extent was seen
    bool data_resident = false;
    std::vector<uint8_t> resident_value;
    uint16_t data_flags = 0;
    uint8_t compression_unit = 0;
    uint64_t data_size = 0;
    uint64_t initialized_size = 0;
    uint64_t allocated_size = 0;
    std::vector<run_s> runs;
    bool runs_bad = false;
    bool have_list = false;
    std::vector<uint8_t> list_value;
};

std::u16string attribute_name(const attribute_s& a) {
    std::u16string name(a.name_length, u'\0');
    for (size_t i = 0; i < name.size(); ++i)
        name[i] = char16_t(layout::le16(a.name + 2 * i));
    return name;
}

bool is_wanted_stream(const attribute_s& a, const std::u16string& wanted) {
    if (a.name_length != wanted.size())
        return false;
    for (size_t i = 0; i < wanted.size(); ++i)
        if (char16_t(layout::le16(a.name + 2 * i)) != wanted[i])
            return false;
    return true;
}

// Adds a named data attribute to the file's stream list once, sized by the
// extent that starts the stream (the only one that carries its size).
void note_named_stream(const attribute_s& a, file_s* f) {
    const bool first_extent = !a.non_resident || a.lowest_vcn == 0;
    if (!first_extent)
        return;
    std::u16string name = cut_at_bad_unit(attribute_name(a));
    if (name.empty() || name.size() != a.name_length)
        return;  // a name that cannot be written back out is not offered
    for (const stream_info_s& s : f->named_streams)
        if (s.name == name)
            return;
    if (f->named_streams.size() >= max_named_streams)
        return;
    f->named_streams.push_back({std::move(name), a.non_resident ? a.data_size : a.value_length});
}

// Takes what the engine uses from one record's attributes. from_base: the
// record is the base record (attribute lists are honoured only there).
void take_attributes(const engine_s& e, const std::vector<attribute_s>& attrs, bool from_base,
                     bool want_runs, file_s* f) {
    for (const attribute_s& a : attrs) {
        switch (a.type) {
        case layout::attr::type_standard_information:
            if (!f->have_times && read_standard_information(a, &f->times))
                f->have_times = true;
            break;
        case layout::attr::type_file_name: {
            file_name_s fn;
            if (read_file_name(a, &fn) &&
                (!f->have_name || name_space_rank(fn.name_space) > name_space_rank(f->name.name_space))) {
                f->name = std::move(fn);
                f->have_name = true;
            }
            break;
        }
        case layout::attr::type_data:
            if (a.name_length != 0)
                note_named_stream(a, f);
            if (!is_wanted_stream(a, f->stream))
                break;
            if (!a.non_resident) {
                if (!f->have_data) {
                    f->have_data = true;
                    f->data_resident = true;
                    f->data_size = f->initialized_size = f->allocated_size = a.value_length;
                    if (want_runs)
                        f->resident_value.assign(a.value, a.value + a.value_length);
                }
                break;
            }
            if (a.lowest_vcn == 0 && !f->have_data) {
                f->have_data = true;
                f->data_flags = a.flags;
                f->compression_unit = a.compression_unit;
                f->data_size = a.data_size;
                f->initialized_size = a.initialized_size;
                f->allocated_size = a.allocated_size;
            }
            if (want_runs && !f->data_resident &&
                !decode_runlist(a.mapping_pairs, a.mapping_pairs_size, a.lowest_vcn, e.volume.total_clusters,
                                &f->runs))
                f->runs_bad = true;
            break;
        case layout::attr::type_attribute_list:
            if (!from_base || f->have_list)
                break;
            f->have_list = true;
            if (!a.non_resident) {
                f->list_value.assign(a.value, a.value + a.value_length);
            } else if (a.data_size <= max_attribute_list && a.lowest_vcn == 0) {
                std::vector<run_s> runs;
                if (decode_runlist(a.mapping_pairs, a.mapping_pairs_size, 0, e.volume.total_clusters, &runs) &&
                    arrange_runs(&runs) >= 0) {
                    f->list_value.resize(size_t(a.data_size));
                    if (!read_stream(e, runs, 0, f->list_value.data(), f->list_value.size()))
                        f->list_value.clear();
                }
            }
            break;
        default:
            break;
        }
    }
}

// Reads MFT record `number` into buf (record_size bytes) through the $MFT's
// runs. Returns false when it lies outside them or the read fails.
bool read_mft_record(const engine_s& e, uint64_t number, uint8_t* buf) {
    if (e.reading_harvest) {
        // A harvested file's extension records are harvested ones too.
        const auto it = e.harvested_by_number.find(number);
        return it != e.harvested_by_number.end() &&
               e.device->read_at(e.harvested[it->second].offset, buf, e.volume.record_size) ==
                   int64_t(e.volume.record_size);
    }
    if (number >= e.mft_records)
        return false;
    return read_stream(e, e.mft_runs, number * e.volume.record_size, buf, e.volume.record_size);
}

// Follows the attribute list of a base record into its extension records,
// each visited once, and takes their attributes. Extension records of a
// deleted file are free too, so they are accepted whenever they name the
// base record as theirs.
void follow_attribute_list(const engine_s& e, uint64_t base_number, bool want_runs, file_s* f) {
    std::vector<list_entry_s> entries;
    parse_attribute_list(f->list_value.data(), f->list_value.size(), &entries);
    std::set<uint64_t> visited{base_number};
    std::vector<uint8_t> buf(e.volume.record_size);
    for (const list_entry_s& entry : entries) {
        if (entry.type != layout::attr::type_data && entry.type != layout::attr::type_file_name &&
            entry.type != layout::attr::type_standard_information)
            continue;
        const uint64_t number = layout::reference_record(entry.reference);
        if (!visited.insert(number).second)
            continue;
        if (visited.size() > max_extension_records)
            break;
        if (!read_mft_record(e, number, buf.data()))
            continue;
        record_header_s header;
        if (check_record(buf.data(), buf.size(), &header) != record_state::valid ||
            layout::reference_record(header.base_reference) != base_number)
            continue;
        std::vector<attribute_s> attrs;
        walk_attributes(buf.data(), header, &attrs);
        take_attributes(e, attrs, false, want_runs, f);
    }
}

// Decodes the base record in buf (fixups applied in place). Returns the
// record's state; a valid base record fills *f.
record_state load_file(engine_s& e, uint64_t number, uint8_t* buf, bool want_runs, file_s* f) {
    record_header_s header;
    const record_state state = check_record(buf, e.volume.record_size, &header);
    if (state != record_state::valid)
        return state;
    if (header.base_reference != 0)
        return record_state::unused;  // an extension record; its base speaks for it
    std::vector<attribute_s>& attrs = e.attributes;
    attrs.clear();
    if (!walk_attributes(buf, header, &attrs))
        return record_state::corrupt;
    f->record_flags = header.flags;
    f->sequence = header.sequence;
    f->log_sequence = header.log_sequence;
    take_attributes(e, attrs, true, want_runs, f);
    // A deleted file's named streams may sit in its extension records too.
    const bool deleted = !(header.flags & layout::record::flag_in_use);
    if (f->have_list && (want_runs || !f->have_name || !f->have_data || deleted))
        follow_attribute_list(e, number, want_runs, f);
    return record_state::valid;
}

// Builds the $MFT's own runlist from record 0 (or its mirror) and fills the
// record counts. Returns false when no usable $MFT was found.
bool load_mft(engine_s& e) {
    const volume_params_s& v = e.volume;
    std::vector<uint8_t> buf(v.record_size);
    for (uint64_t lcn : {v.mft_lcn, v.mftmirr_lcn}) {
        if (lcn == 0)
            continue;
        if (e.device->read_at(lcn * v.cluster_size, buf.data(), buf.size()) != int64_t(buf.size()) ||
            e.device->any_unreadable_in(lcn * v.cluster_size, buf.size()))
            continue;
        record_header_s header;
        if (check_record(buf.data(), buf.size(), &header) != record_state::valid ||
            !(header.flags & layout::record::flag_in_use) || header.base_reference != 0)
            continue;
        std::vector<attribute_s> attrs;
        if (!walk_attributes(buf.data(), header, &attrs))
            continue;
        file_s mft;
        take_attributes(e, attrs, true, true, &mft);
        if (!mft.have_data || mft.data_resident || mft.runs_bad || mft.runs.empty())
            continue;
        // The first extent lets the extension records of a very fragmented
        // $MFT be read; their extents complete the runlist.
        e.mft_runs = mft.runs;
        if (arrange_runs(&e.mft_runs) < 0)
            continue;
        e.mft_records = mft.data_size / v.record_size;
        if (mft.have_list) {
            follow_attribute_list(e, 0, true, &mft);
            if (mft.runs_bad)
                continue;
            e.mft_runs = mft.runs;
        }
        const int64_t clusters = arrange_runs(&e.mft_runs);
        if (clusters < 0)
            continue;
        // Runs repeating clusters or holes can claim more records than the
        // whole volume holds; no $MFT is larger than its volume.
        const uint64_t covered = uint64_t(clusters) * v.cluster_size / v.record_size;
        const uint64_t volume_records = v.total_clusters * v.cluster_size / v.record_size;
        e.mft_records = std::min({e.mft_records, covered, volume_records});
        e.mft_readable = std::min<uint64_t>(e.mft_records, mft.initialized_size / v.record_size);
        if (e.mft_records < 16)
            continue;
        return true;
    }
    return false;
}

// Sorts the runs of f's data stream into *runs and checks that they can hold
// its data: inside the volume, from cluster 0 on without gap or overlap, and
// enough of them for its size. When they cannot, its copy fails.
bool runs_hold_data(const engine_s& e, const file_s& f, std::vector<run_s>* runs) {
    if (f.runs_bad)
        return false;
    *runs = f.runs;
    const int64_t clusters = arrange_runs(runs);
    const uint64_t cs = e.volume.cluster_size;
    return clusters >= 0 && f.data_size <= f.allocated_size && uint64_t(clusters) <= (uint64_t(1) << 62) / cs &&
           uint64_t(clusters) * cs >= f.data_size && f.data_size <= uint64_t(INT64_MAX);
}

// Finds $Bitmap's data. The bytes that count are those of the volume's
// clusters; a record claiming more is cut there, one claiming fewer leaves
// the clusters past its end unjudged.
void load_cluster_map(engine_s& e) {
    cluster_map_s& m = e.clusters;
    m.state = cluster_map_s::state_e::unusable;
    std::vector<uint8_t> buf(e.volume.record_size);
    file_s f;
    if (!read_mft_record(e, mft_bitmap_record, buf.data()) ||
        load_file(e, mft_bitmap_record, buf.data(), true, &f) != record_state::valid ||
        !(f.record_flags & layout::record::flag_in_use) || (f.record_flags & layout::record::flag_directory) ||
        !f.have_data || (f.data_flags & (layout::attr::flag_compressed | layout::attr::flag_encrypted))) {
        e.stats.bitmap_unusable = true;
        return;
    }
    const uint64_t needed = e.volume.total_clusters / 8 + (e.volume.total_clusters % 8 != 0);
    if (f.data_resident) {
        m.bytes = std::min<uint64_t>(needed, f.resident_value.size());
        f.resident_value.resize(size_t(m.bytes));
        m.pages.push_back(std::move(f.resident_value));
        m.page_states.assign(1, cluster_map_s::page_held);
    } else {
        if (!runs_hold_data(e, f, &m.runs)) {
            e.stats.bitmap_unusable = true;
            return;
        }
        m.bytes = std::min({needed, f.data_size, f.initialized_size, max_bitmap_held});
        const size_t pages = size_t((m.bytes + bitmap_page_bytes - 1) / bitmap_page_bytes);
        m.pages.resize(pages);
        m.page_states.assign(pages, cluster_map_s::page_unread);
    }
    if (m.bytes == 0) {
        e.stats.bitmap_unusable = true;
        return;
    }
    m.state = cluster_map_s::state_e::ready;
}

// The bitmap page `index`, read on first use; nullptr when it cannot be read.
const uint8_t* bitmap_page(engine_s& e, size_t index) {
    cluster_map_s& m = e.clusters;
    if (m.page_states[index] == cluster_map_s::page_unread) {
        const uint64_t at = uint64_t(index) * bitmap_page_bytes;
        std::vector<uint8_t>& page = m.pages[index];
        page.resize(size_t(std::min<uint64_t>(bitmap_page_bytes, m.bytes - at)));
        if (read_stream(e, m.runs, at, page.data(), page.size())) {
            m.page_states[index] = cluster_map_s::page_held;
        } else {
            m.page_states[index] = cluster_map_s::page_unreadable;
            page = {};
            e.stats.bitmap_unusable = true;
        }
    }
    return m.page_states[index] == cluster_map_s::page_held ? m.pages[index].data() : nullptr;
}

enum class clusters_e { free, allocated, unknown };

// Whether any of `count` clusters from lcn is allocated now.
clusters_e clusters_state(engine_s& e, uint64_t lcn, uint64_t count) {
    cluster_map_s& m = e.clusters;
    if (m.state == cluster_map_s::state_e::untried)
        load_cluster_map(e);
    if (m.state != cluster_map_s::state_e::ready)
        return clusters_e::unknown;
    const uint64_t known = m.bytes * 8;
    if (lcn >= known || count > known - lcn)
        return clusters_e::unknown;
    const uint64_t end = lcn + count;
    for (uint64_t c = lcn; c < end;) {
        const uint64_t byte = c / 8;
        const uint8_t* page = bitmap_page(e, size_t(byte / bitmap_page_bytes));
        if (!page)
            return clusters_e::unknown;
        const uint64_t page_end = std::min(end, (byte / bitmap_page_bytes + 1) * bitmap_page_bytes * 8);
        const uint64_t bytes = (page_end - c + 7) / 8 + 1;
        if (bytes > m.budget)
            return clusters_e::unknown;
        m.budget -= bytes;
        for (; c < page_end && c % 8 != 0; ++c)
            if (page[(c / 8) % bitmap_page_bytes] >> (c % 8) & 1)
                return clusters_e::allocated;
        const uint64_t whole_end = c + (page_end - c) / 8 * 8;
        const uint8_t* first = page + (c / 8) % bitmap_page_bytes;
        const uint8_t* last = first + (whole_end - c) / 8;
        if (std::find_if(first, last, [](uint8_t b) { return b != 0; }) != last)
            return clusters_e::allocated;
        for (c = whole_end; c < page_end; ++c)
            if (page[(c / 8) % bitmap_page_bytes] >> (c % 8) & 1)
                return clusters_e::allocated;
    }
    return clusters_e::free;
}

// Judges the clusters the copy of f's data stream would read, as
// write_data reads them: the allocated ones below the initialised size (up
// to the end of the last compression unit for compressed data).
enum class copy_e { none, incomplete, reads };

// The runs of f's data stream and the first cluster past those its copy
// reads; none when nothing is read from clusters (resident, refused).
copy_e copied_runs(const engine_s& e, const file_s& f, std::vector<run_s>* runs, uint64_t* end_vcn) {
    if (!f.have_data || f.data_resident || (f.data_flags & layout::attr::flag_encrypted))
        return copy_e::none;
    if (!runs_hold_data(e, f, runs))
        return copy_e::incomplete;
    const uint64_t cs = e.volume.cluster_size;
    if (f.data_flags & layout::attr::flag_compressed) {
        if (f.compression_unit == 0 || f.compression_unit > 8 || (cs << f.compression_unit) > (uint64_t(4) << 20))
            return copy_e::none;  // refused as unsupported, not copied
        const uint64_t unit = uint64_t(1) << f.compression_unit;
        *end_vcn = (f.data_size + unit * cs - 1) / (unit * cs) * unit;
    } else {
        *end_vcn = (std::min(f.data_size, f.initialized_size) + cs - 1) / cs;
    }
    return copy_e::reads;
}

// A cluster freed by a deleted file may have been taken by a later file
// that was deleted in its turn: the bitmap shows it free, yet the first
// file's copy would hold the second's bytes. So the extents every deleted
// file's copy reads are noted as the scan delivers it, and weighed at the
// end. Clusters a live file holds are allocated in the bitmap, which judges
// those.
void note_claims(engine_s& e, uint64_t number, const file_s& f, const std::vector<run_s>& runs, uint64_t end_vcn) {
    if (e.claims.size() >= max_claims)
        return;
    const auto owner = uint32_t(e.claim_owners.size());
    const uint64_t time = f.have_times ? std::max({f.times.creation, f.times.modification, f.times.mft_change}) : 0;
    e.claim_owners.push_back({number, time, f.log_sequence});
    for (const run_s& r : runs) {
        if (r.lcn < 0 || r.vcn >= end_vcn || r.length == 0)
            continue;
        if (e.claims.size() == max_claims)
            return;  // the files noted so far are still weighed
        e.claims.push_back({uint64_t(r.lcn), uint64_t(r.lcn) + std::min(r.length, end_vcn - r.vcn), owner});
    }
}

// claimant: the record number under which the extents read are noted as
// claimed, or -1 not to note them.
uint32_t data_trust(engine_s& e, const file_s& f, int64_t claimant = -1) {
    std::vector<run_s> runs;
    uint64_t end_vcn = 0;
    const copy_e copy = copied_runs(e, f, &runs, &end_vcn);
    if (copy != copy_e::reads)
        return copy == copy_e::incomplete ? flag_data_incomplete : 0;
    if (claimant >= 0)
        note_claims(e, uint64_t(claimant), f, runs, end_vcn);
    for (const run_s& r : runs) {
        if (r.lcn < 0 || r.vcn >= end_vcn)
            continue;
        const uint64_t n = std::min(r.length, end_vcn - r.vcn);
        if (clusters_state(e, uint64_t(r.lcn), n) == clusters_e::allocated)
            return flag_data_overwritten;
    }
    if (e.device->unreadable_generation() != 0 && stream_unreadable(e, runs, 0, end_vcn * e.volume.cluster_size))
        return flag_data_unreadable;
    return 0;
}

// Judges data stream `stream` of the deleted record whose bytes, before
// fixups, are in e.raw_record.
uint32_t stream_trust(engine_s& e, uint64_t number, const std::u16string& stream) {
    e.scratch_record = e.raw_record;
    file_s f;
    f.stream = stream;
    if (load_file(e, number, e.scratch_record.data(), true, &f) != record_state::valid)
        return 0;
    return data_trust(e, f);
}

// Stores how many records were examined in the context's progress counters.
void update_progress(void* context, const engine_s& e) {
    const uint64_t examined = e.next_record;
    put<uint32_t>(context, ctx_groups_read, uint32_t(examined / 8));
    put<uint32_t>(context, ctx_group_records, uint32_t(examined % 8));
}

// Fills the 576-byte record from a decoded file. The name is cut at its first
// unpaired surrogate; a file without a name is called "record_<number>".
void fill_record(void* record, uint64_t number, const file_s& f) {
    const bool directory = f.record_flags & layout::record::flag_directory;
    const bool deleted = !(f.record_flags & layout::record::flag_in_use);
    uint32_t flags = directory ? flag_directory : flag_file;
    if (deleted)
        flags |= flag_deleted;
    if (deleted && !directory)
        flags |= flag_engine_extract;
    if (!directory && f.have_data && f.data_resident)
        flags |= flag_data_in_record;
    // $STANDARD_INFORMATION carries the times the user set and saw; the
    // $FILE_NAME copy is only refreshed on renames.
    const times_s& t = f.have_times ? f.times : f.name.times;
    put<int64_t>(record, rec_number, int64_t(number));
    put<int64_t>(record, rec_parent,
                 f.have_name ? int64_t(layout::reference_record(f.name.parent_reference)) : parent_unknown);
    put<int64_t>(record, rec_size, directory || !f.have_data ? 0 : int64_t(std::min<uint64_t>(f.data_size, INT64_MAX)));
    put<int64_t>(record, rec_time_a, filetime_to_unix(t.creation));
    put<int64_t>(record, rec_time_access, filetime_to_unix(t.access));
    put<int64_t>(record, rec_time_b, filetime_to_unix(t.modification));
    put<uint32_t>(record, rec_flags, flags);
    put<uint16_t>(record, rec_sequence, f.sequence);
    put<uint16_t>(record, rec_parent_sequence, layout::reference_sequence(f.name.parent_reference));
    std::u16string name = cut_at_bad_unit(f.name.name);
    if (name.empty()) {
        const std::string fallback = "record_" + std::to_string(number);
        name.assign(fallback.begin(), fallback.end());
    }
    name.resize(std::min(name.size(), name_units - 1));
    auto* out = static_cast<uint8_t*>(record) + rec_name;
    for (size_t i = 0; i < name.size(); ++i)
        std::memcpy(out + 2 * i, &name[i], 2);
    std::memset(out + 2 * name.size(), 0, 2);
}

// Loads the chunk of MFT records that starts at `first`. Records a failed
// read could not deliver are marked, and retried one by one.
void load_chunk(engine_s& e, uint64_t first) {
    const uint32_t rs = e.volume.record_size;
    const uint64_t per_chunk = std::max<uint64_t>(1, chunk_bytes / rs);
    e.chunk_first = first;
    e.chunk_count = std::min(per_chunk, e.mft_readable - first);
    e.chunk.resize(size_t(e.chunk_count * rs));
    e.chunk_ok.assign(size_t(e.chunk_count), true);
    const uint64_t generation = e.device->unreadable_generation();
    if (!read_stream(e, e.mft_runs, first * rs, e.chunk.data(), e.chunk.size())) {
        ++e.stats.read_errors;
        for (uint64_t i = 0; i < e.chunk_count; ++i)
            e.chunk_ok[i] = read_stream(e, e.mft_runs, (first + i) * rs, e.chunk.data() + i * rs, rs);
    }
    // A salvaging source hands unreadable sectors back as zeros: its map
    // tells such records from ones never written. Nothing to ask while it
    // has never met damage.
    if (generation != 0 || e.device->unreadable_generation() != 0) {
        bool damaged = false;
        for (uint64_t i = 0; i < e.chunk_count; ++i)
            if (e.chunk_ok[i] && stream_unreadable(e, e.mft_runs, (first + i) * rs, rs)) {
                e.chunk_ok[i] = false;
                ++e.stats.records_unreadable;
                damaged = true;
            }
        e.stats.read_errors += damaged ? 1 : 0;
    }
    // The first records (the $MFT itself, its mirror, $LogFile, $Volume)
    // are kept twice: an unreadable or torn one is taken from $MFTMirr.
    for (uint64_t n = first; n < std::min(first + e.chunk_count, mirrored_records); ++n) {
        uint8_t* at = e.chunk.data() + (n - first) * rs;
        if (e.chunk_ok[n - first]) {
            std::vector<uint8_t> probe(at, at + rs);
            record_header_s header;
            if (check_record(probe.data(), rs, &header) != record_state::corrupt)
                continue;
        }
        if (read_mirror_record(e, n, at)) {
            e.chunk_ok[n - first] = true;
            ++e.stats.records_from_mirror;
        }
    }
}

// Where two deleted files claim a cluster, the one written later (latest
// time, then log sequence number) keeps it; the other, or both when nothing
// tells them apart, go to e.claim_losers.
void weigh_claims(engine_s& e) {
    e.claims_weighed = true;
    std::vector<claim_s>& claims = e.claims;
    const std::vector<claim_owner_s>& owners = e.claim_owners;
    std::sort(claims.begin(), claims.end(), [](const claim_s& a, const claim_s& b) { return a.lcn < b.lcn; });
    auto later = [&](uint32_t a, uint32_t b) {  // claim a's owner was written after claim b's
        const claim_owner_s& x = owners[claims[a].owner];
        const claim_owner_s& y = owners[claims[b].owner];
        return x.time != y.time ? x.time > y.time : x.log_sequence > y.log_sequence;
    };
    // Sweeping by first cluster, the claims still open are exactly those a
    // new claim overlaps. The latest open owner says whether the new one
    // loses; the earliest ones lose to the new one if it is not older.
    // Claims that have ended are dropped as they surface in either heap.
    auto earlier_on_top = [&](uint32_t a, uint32_t b) { return later(b, a); };
    auto later_on_top = [&](uint32_t a, uint32_t b) { return later(a, b); };
    std::priority_queue<uint32_t, std::vector<uint32_t>, decltype(earlier_on_top)> latest(earlier_on_top);
    std::priority_queue<uint32_t, std::vector<uint32_t>, decltype(later_on_top)> earliest(later_on_top);
    std::vector<bool> loses(owners.size());
    for (uint32_t i = 0; i < claims.size(); ++i) {
        const uint64_t at = claims[i].lcn;
        while (!latest.empty() && claims[latest.top()].end <= at)
            latest.pop();
        if (!latest.empty() && !later(i, latest.top()))
            loses[claims[i].owner] = true;
        while (!earliest.empty()) {
            const uint32_t top = earliest.top();
            if (claims[top].end > at && later(top, i))
                break;
            if (claims[top].end > at)
                loses[claims[top].owner] = true;
            earliest.pop();
        }
        latest.push(i);
        earliest.push(i);
    }
    for (size_t i = 0; i < owners.size(); ++i)
        if (loses[i])
            e.claim_losers.push_back(int64_t(owners[i].record));
    e.claims = {};
    e.claim_owners = {};
}


enum class boot_read_e { valid, invalid, unreadable };

// Reads and decodes the boot sector at offset. A salvaging source hands an
// unreadable sector back as zeros, so the source's map decides whether the
// bytes are real; the first unreadable one is noted in *r.
boot_read_e read_boot_sector(const platform::byte_source_c& device, uint64_t offset, volume_params_s* out,
                             startup_report_s* r) {
    uint8_t sector[layout::boot::size];
    errno = 0;
    const int64_t got = device.read_at(offset, sector, sizeof sector);
    if (got < 0) {
        if (r->boot_read_error == 0) {
            r->boot_error_offset = offset;
            r->boot_error_sector_size = device.sector_size();
            r->boot_read_error = errno != 0 ? errno : EIO;
        }
        return boot_read_e::unreadable;
    }
    if (got != int64_t(sizeof sector))
        return boot_read_e::invalid;
    const std::vector<platform::unreadable_range_s> bad = device.unreadable_in(offset, sizeof sector);
    if (!bad.empty()) {
        if (r->boot_read_error == 0) {
            r->boot_error_offset = bad.front().offset;
            r->boot_error_sector_size = device.sector_size();
            r->boot_read_error = bad.front().error != 0 ? bad.front().error : EIO;
        }
        return boot_read_e::unreadable;
    }
    return parse_boot_sector(sector, device.size(), out) ? boot_read_e::valid : boot_read_e::invalid;
}

// Looks for the backup boot sector in the volume's last sector (of 512
// bytes, the medium's sector size, or 4096). It must describe a volume that
// ends where it stands.
bool find_backup_boot_sector(const platform::byte_source_c& device, volume_params_s* out, startup_report_s* r) {
    const uint64_t size = device.size();
    std::vector<uint32_t> sizes{512, device.sector_size(), 4096};
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    for (const uint32_t sector : sizes) {
        if (sector < layout::boot::size || size < 2 * uint64_t(sector))
            continue;
        const uint64_t at = size - sector;
        volume_params_s params;
        if (read_boot_sector(device, at, &params, r) != boot_read_e::valid)
            continue;
        if (uint64_t(params.total_clusters) * params.cluster_size > at)
            continue;
        *out = params;
        r->boot_backup_offset = at;
        return true;
    }
    return false;
}

// The opened engine goes into the caller's context block, with the
// counters a fresh scan starts from.
int hand_over(std::unique_ptr<engine_s> e, void* context)
{
    put<uint64_t>(context, ctx_total, e->mft_records);
    put<uint32_t>(context, ctx_groups_read, 0);
    put<uint32_t>(context, ctx_groups_skipped, 0);
    put<uint32_t>(context, ctx_group_records, 0);
    engine_s* raw = e.release();
    std::memcpy(static_cast<uint8_t*>(context) + ctx_engine, &raw, sizeof raw);
    put<uint32_t>(context, ctx_open, open_magic);
    return 0;
}

}  // namespace

int ntfs_scan_startup(platform::byte_source_ptr source, void* context, startup_report_s* report) {
    if (!context)
        return -1;
    if (!source)
        return -2;
    auto e = std::make_unique<engine_s>();
    e->device = std::move(source);
    startup_report_s scratch;
    startup_report_s& r = report ? *report : scratch;
    r = {};
    // The boot sector's own sector size lays the volume out (256 to 4096
    // bytes); the medium's figure does not enter, since every read is by
    // byte offset and an image keeps the layout of the disk it came from.
    const boot_read_e primary = read_boot_sector(*e->device, 0, &e->volume, &r);
    if (primary != boot_read_e::valid) {
        // The volume's last sector keeps a copy of its boot sector.
        if (!find_backup_boot_sector(*e->device, &e->volume, &r))
            return primary == boot_read_e::unreadable ? -5 : -3;
        r.boot_from_backup = true;
    }
    if (!load_mft(*e))
        return -4;
    e->stats.boot_from_backup = r.boot_from_backup;
    return hand_over(std::move(e), context);
}

bool ntfs_backup_boot_sector_found(const platform::byte_source_c& source) {
    volume_params_s params;
    startup_report_s report;
    return find_backup_boot_sector(source, &params, &report);
}

int ntfs_scan_startup_path(const char* device_path, void* context) {
    if (!device_path || !context)
        return -1;
    return ntfs_scan_startup(platform::open_byte_source(device_path, nullptr), context);
}

int ntfs_scan_next(void* context, void* record) {
    engine_s* e = context ? engine_of(context) : nullptr;
    if (!e || !record)
        return 0;
    const uint32_t rs = e->volume.record_size;
    while (e->next_record < e->mft_readable) {
        const uint64_t number = e->next_record;
        if (number < e->chunk_first || number >= e->chunk_first + e->chunk_count)
            load_chunk(*e, number);
        ++e->next_record;
        ++e->stats.records_examined;
        update_progress(context, *e);
        const uint64_t index = number - e->chunk_first;
        if (!e->chunk_ok[index]) {
            ++e->stats.records_corrupt;
            continue;
        }
        uint8_t* raw = e->chunk.data() + index * rs;
        // The flags lie before the first fixup. A deleted record's runs are
        // decoded, and the record is kept as read so that its named streams
        // can be decoded from it too: they are all judged.
        const bool maybe_deleted = !(layout::le16(raw + layout::record::flags) & layout::record::flag_in_use);
        if (maybe_deleted)
            e->raw_record.assign(raw, raw + rs);
        file_s f;
        const record_state state = load_file(*e, number, raw, maybe_deleted, &f);
        if (state == record_state::corrupt) {
            ++e->stats.records_corrupt;
            continue;
        }
        // A deleted file can lose its names with the extension record that
        // held them while its data, mapped from the base record, is intact.
        const bool deleted_data = !(f.record_flags & layout::record::flag_in_use) &&
                                  !(f.record_flags & layout::record::flag_directory) && f.have_data &&
                                  f.data_size > 0;
        if (state == record_state::unused || (!f.have_name && !deleted_data)) {
            ++e->stats.records_unused;
            continue;
        }
        fill_record(record, number, f);
        e->last_streams.clear();
        if (!(f.record_flags & layout::record::flag_in_use) && !(f.record_flags & layout::record::flag_directory)) {
            e->last_streams = std::move(f.named_streams);
            // The file system's own records (0-15) are not judged: whatever
            // their flags say, their clusters are the volume's metadata.
            if (number >= first_judged_record) {
                uint32_t flags;
                std::memcpy(&flags, static_cast<uint8_t*>(record) + rec_flags, sizeof flags);
                put<uint32_t>(record, rec_flags, flags | data_trust(*e, f, int64_t(number)));
                for (stream_info_s& s : e->last_streams) {
                    if (f.have_list && e->list_rejudges_left == 0)
                        break;  // left unjudged
                    e->list_rejudges_left -= f.have_list ? 1 : 0;
                    s.flags = stream_trust(*e, number, s.name);
                }
            }
        }
        ++e->stats.records_delivered;
        return 1;
    }
    // Records past the initialised part of the $MFT were never written.
    const uint64_t unread = e->mft_records - e->mft_readable;
    put<uint32_t>(context, ctx_groups_skipped, uint32_t((unread + 7) / 8));
    if (!e->claims_weighed)
        weigh_claims(*e);
    return 0;
}

void ntfs_scan_close(void* context) {
    if (!context)
        return;
    engine_s* e = engine_of(context);
    delete e;
    put<uint32_t>(context, ctx_open, 0);
    std::memset(static_cast<uint8_t*>(context) + ctx_engine, 0, sizeof(void*));
}

std::vector<stream_info_s> ntfs_scan_streams(const void* context) {
    const engine_s* e = context ? engine_of(context) : nullptr;
    return e ? e->last_streams : std::vector<stream_info_s>{};
}

std::vector<int64_t> ntfs_scan_claimed_later(const void* context) {
    const engine_s* e = context ? engine_of(context) : nullptr;
    return e ? e->claim_losers : std::vector<int64_t>{};
}

scan_stats_s ntfs_scan_stats(const void* context) {
    const engine_s* e = context ? engine_of(context) : nullptr;
    return e ? e->stats : scan_stats_s{};
}

namespace {

// Writes all of buf at offset. Returns false on any error.
bool write_all(int fd, const uint8_t* buf, size_t length, uint64_t offset) {
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, buf, length, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf += n;
        length -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

// Writes the data of a compressed stream: units of 2^compression_unit
// clusters, each stored whole (every cluster allocated), compressed (the
// leading clusters allocated, the rest a hole) or absent (all a hole).
uint32_t write_compressed(engine_s& e, const file_s& f, const std::vector<run_s>& runs, int fd) {
    const uint64_t cs = e.volume.cluster_size;
    if (f.compression_unit == 0 || f.compression_unit > 8 || (cs << f.compression_unit) > (uint64_t(4) << 20))
        return extract_unsupported;
    const uint64_t unit_clusters = uint64_t(1) << f.compression_unit;
    const size_t unit_bytes = size_t(unit_clusters * cs);
    std::vector<uint8_t> stored(unit_bytes), plain(unit_bytes);
    auto run = runs.begin();
    for (uint64_t unit_vcn = 0; unit_vcn * cs < f.data_size; unit_vcn += unit_clusters) {
        const uint64_t end_vcn = unit_vcn + unit_clusters;
        uint64_t allocated = 0;
        for (uint64_t vcn = unit_vcn; vcn < end_vcn;) {
            while (run != runs.end() && run->vcn + run->length <= vcn)
                ++run;
            if (run == runs.end())
                break;  // the unit reaches past the runs: the rest is a hole
            const uint64_t n = std::min(run->vcn + run->length, end_vcn) - vcn;
            if (run->lcn >= 0) {
                const uint64_t at = (uint64_t(run->lcn) + (vcn - run->vcn)) * cs;
                if (e.device->read_at(at, stored.data() + allocated * cs, size_t(n * cs)) != int64_t(n * cs))
                    return extract_read_failed;
                allocated += n;
            }
            vcn += n;
        }
        if (allocated == 0)
            continue;
        const uint8_t* data = stored.data();
        if (allocated < unit_clusters) {
            if (!lznt1_decompress(stored.data(), size_t(allocated * cs), plain.data(), plain.size()))
                return extract_bad_compression;
            data = plain.data();
        }
        const uint64_t offset = unit_vcn * cs;
        const size_t take = size_t(std::min<uint64_t>(unit_bytes, f.data_size - offset));
        if (!write_all(fd, data, take, offset))
            return extract_write_failed;
    }
    return ::ftruncate(fd, off_t(f.data_size)) == 0 ? extract_ok : extract_write_failed;
}

// Writes the data of f to fd. Holes and bytes past the initialised size are
// left as holes in the destination; the final size comes from ftruncate.
uint32_t write_data(engine_s& e, const file_s& f, int fd) {
    if (f.data_resident)
        return write_all(fd, f.resident_value.data(), f.resident_value.size(), 0) ? extract_ok : extract_write_failed;
    if (f.data_flags & layout::attr::flag_encrypted)
        return extract_unsupported;
    std::vector<run_s> runs;
    if (!runs_hold_data(e, f, &runs))
        return extract_bad_runlist;
    const uint64_t cs = e.volume.cluster_size;
    if (f.data_flags & layout::attr::flag_compressed)
        return write_compressed(e, f, runs, fd);
    const uint64_t readable_end = std::min(f.data_size, f.initialized_size);
    std::vector<uint8_t>& buf = e.copy_buffer;
    buf.resize(copy_bytes);
    uint64_t written_end = 0;
    for (const run_s& r : runs) {
        if (r.lcn < 0)
            continue;
        const uint64_t start = r.vcn * cs;
        const uint64_t end = std::min(start + r.length * cs, readable_end);
        for (uint64_t at = start; at < end;) {
            const size_t take = size_t(std::min<uint64_t>(copy_bytes, end - at));
            const uint64_t device_at = uint64_t(r.lcn) * cs + (at - start);
            if (e.device->read_at(device_at, buf.data(), take) != int64_t(take))
                return extract_read_failed;
            if (!write_all(fd, buf.data(), take, at))
                return extract_write_failed;
            at += take;
            written_end = std::max(written_end, at);
        }
    }
    // A trailing hole or uninitialised tail still has to count in the size.
    if (written_end != f.data_size && ::ftruncate(fd, off_t(f.data_size)) != 0)
        return extract_write_failed;
    return extract_ok;
}

}  // namespace

int ntfs_extract(void* context, int64_t record_number, const char* destination, uint32_t* status) {
    return ntfs_extract_stream(context, record_number, std::u16string(), destination, status);
}

namespace {

// The record's stream, looked up and checked before anything is written.
uint32_t load_stream(engine_s* e, int64_t record_number, const std::u16string& stream, file_s* f) {
    if (!e)
        return extract_not_open;
    if (record_number < 0)
        return extract_bad_record;
    std::vector<uint8_t> buf(e->volume.record_size);
    if (!read_mft_record(*e, uint64_t(record_number), buf.data()))
        return extract_bad_record;
    f->stream = stream;
    if (load_file(*e, uint64_t(record_number), buf.data(), true, f) != record_state::valid)
        return extract_bad_record;
    if ((f->record_flags & layout::record::flag_directory) || !f->have_data)
        return extract_no_data;
    return extract_ok;
}

int finish(uint32_t result, uint32_t* status) {
    if (status)
        *status = result;
    return result == extract_ok ? 0 : -1;
}

}  // namespace

int ntfs_extract_stream(void* context, int64_t record_number, const std::u16string& stream, const char* destination,
                        uint32_t* status) {
    engine_s* e = context ? engine_of(context) : nullptr;
    if (e && !destination)
        return finish(extract_bad_record, status);
    file_s f;
    uint32_t result = load_stream(e, record_number, stream, &f);
    if (result != extract_ok)
        return finish(result, status);

    // Always a new file: a file already standing there is the user's and is
    // neither truncated nor, when the copy fails, removed. O_EXCL also refuses
    // a FIFO or a link in the way.
    const int fd = ::open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0)
        return finish(extract_write_failed, status);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return finish(extract_write_failed, status);
    }
    result = write_data(*e, f, fd);
    if (::close(fd) != 0 && result == extract_ok)
        result = extract_write_failed;
    // A half-written file must not pass for a recovered one.
    if (result != extract_ok)
        ::unlink(destination);
    return finish(result, status);
}

int ntfs_extract_to(void* context, int64_t record_number, const std::u16string& stream, int fd, uint32_t* status) {
    engine_s* e = context ? engine_of(context) : nullptr;
    file_s f;
    uint32_t result = load_stream(e, record_number, stream, &f);
    if (result == extract_ok)
        result = fd < 0 ? extract_write_failed : write_data(*e, f, fd);
    return finish(result, status);
}

namespace {

constexpr size_t harvest_chunk = 256 << 10;  // read into a buffer that stays in the CPU cache while it is searched
constexpr size_t harvest_tail = 4096;  // a record starting at a chunk's end
constexpr uint64_t harvest_claim_flag = uint64_t(1) << 62;  // a harvested file's claims, by index

// The device bytes of the live MFT's initialised records, sorted: records
// there were delivered by the walk.
std::vector<std::pair<uint64_t, uint64_t>> live_mft_extents(const engine_s& e) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    const uint64_t cs = e.volume.cluster_size;
    const uint64_t readable_end = e.mft_readable * e.volume.record_size;
    for (const run_s& r : e.mft_runs) {
        const uint64_t start = r.vcn * cs;
        if (r.lcn < 0 || start >= readable_end)
            continue;
        const uint64_t length = std::min(r.length * cs, readable_end - start);
        out.emplace_back(uint64_t(r.lcn) * cs, uint64_t(r.lcn) * cs + length);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool inside(const std::vector<std::pair<uint64_t, uint64_t>>& extents, uint64_t offset) {
    auto it = std::upper_bound(extents.begin(), extents.end(), std::make_pair(offset, UINT64_MAX));
    return it != extents.begin() && offset < std::prev(it)->second;
}

// Whether the live MFT holds record `number` with this sequence number.
bool live_holds(const engine_s& e, int64_t number, uint16_t sequence) {
    if (number < 0 || uint64_t(number) >= e.mft_readable)
        return false;
    std::vector<uint8_t> buf(e.volume.record_size);
    record_header_s header;
    return read_mft_record(e, uint64_t(number), buf.data()) &&
           check_record(buf.data(), buf.size(), &header) == record_state::valid && header.sequence == sequence;
}

// Reads [0, size) of the device front to back and hands every sane record
// found to take; false when the hooks stopped it.
template <typename Take>
bool read_for_records(const engine_s& e, const harvest_hooks_s& hooks, harvest_result_s* result, Take take) {
    e.device->advise_sequential();
    const uint64_t size = e.device->size();
    std::vector<uint8_t> buf(harvest_chunk + harvest_tail);
    std::vector<ntfs_harvest::candidate_s> found;
    for (uint64_t pos = 0; pos < size; pos += harvest_chunk) {
        if (hooks.stop && hooks.stop(hooks.user))
            return false;
        const size_t want = size_t(std::min<uint64_t>(buf.size(), size - pos));
        const int64_t got = e.device->read_at(pos, buf.data(), want);
        if (got <= 0) {
            ++result->read_errors;
            continue;
        }
        if (e.device->any_unreadable_in(pos, size_t(got)))
            ++result->read_errors;
        found.clear();
        ntfs_harvest::find_records(buf.data(), std::min<size_t>(harvest_chunk, size_t(got)), size_t(got), pos, &found);
        for (const ntfs_harvest::candidate_s& c : found)
            if (!take(c))
                return true;
        if (hooks.progress)
            hooks.progress(hooks.user, double(pos + uint64_t(got)) / double(size));
    }
    return true;
}

}  // namespace

harvest_result_s ntfs_harvest(void* context, const harvest_hooks_s& hooks) {
    harvest_result_s result;
    engine_s* e = context ? engine_of(context) : nullptr;
    if (!e)
        return result;
    // The bitmap is read through the live MFT before extension records
    // start coming from the harvest.
    if (e->clusters.state == cluster_map_s::state_e::untried)
        load_cluster_map(*e);
    e->harvested.clear();
    e->harvested_by_number.clear();
    e->harvest_next = 0;
    const auto held = live_mft_extents(*e);
    const uint32_t rs = e->volume.record_size;
    std::unordered_map<uint64_t, uint32_t> by_identity;  // number and sequence -> index
    const bool ran = read_for_records(*e, hooks, &result, [&](const ntfs_harvest::candidate_s& c) {
        if (c.size != rs || inside(held, c.offset))
            return true;
        // The file system's own records are its metadata, not lost files.
        if (c.number >= 0 && c.number < int64_t(first_judged_record))
            return true;
        ++result.records_found;
        if (live_holds(*e, c.number, c.sequence))
            return true;
        harvested_s h{c.offset, c.number, c.base_reference, c.log_sequence, c.sequence, c.flags};
        if (c.number >= 0) {
            // The same record met twice (an older copy): the later write wins.
            const uint64_t identity = uint64_t(c.number) << 16 | c.sequence;
            const auto it = by_identity.find(identity);
            if (it != by_identity.end()) {
                if (e->harvested[it->second].log_sequence < c.log_sequence)
                    e->harvested[it->second] = h;
                return true;
            }
        }
        if (e->harvested.size() >= max_harvested) {
            result.capped = true;
            return true;
        }
        const auto index = uint32_t(e->harvested.size());
        e->harvested.push_back(h);
        if (c.number >= 0) {
            by_identity[uint64_t(c.number) << 16 | c.sequence] = index;
            // An extension record is looked up by its number for its base.
            auto [slot, added] = e->harvested_by_number.emplace(uint64_t(c.number), index);
            if (!added && e->harvested[slot->second].log_sequence < c.log_sequence)
                slot->second = index;
        }
        return true;
    });
    result.stopped = !ran;
    result.records_kept = e->harvested.size();
    e->claims.clear();
    e->claim_owners.clear();
    e->claims_weighed = false;
    e->harvest_losers.clear();
    return result;
}

int ntfs_harvest_next(void* context, void* record, size_t* index) {
    engine_s* e = context ? engine_of(context) : nullptr;
    if (!e || !record)
        return 0;
    const uint32_t rs = e->volume.record_size;
    std::vector<uint8_t> buf(rs);
    while (e->harvest_next < e->harvested.size()) {
        const size_t i = e->harvest_next++;
        const harvested_s& h = e->harvested[i];
        if (h.base_reference != 0)
            continue;
        if (e->device->read_at(h.offset, buf.data(), rs) != int64_t(rs))
            continue;
        file_s f;
        e->reading_harvest = true;
        const record_state state = load_file(*e, uint64_t(std::max<int64_t>(h.number, 0)), buf.data(), true, &f);
        e->reading_harvest = false;
        const bool directory = f.record_flags & layout::record::flag_directory;
        if (state != record_state::valid || (!f.have_name && (directory || !f.have_data)))
            continue;
        fill_record(record, uint64_t(std::max<int64_t>(h.number, 0)), f);
        uint32_t flags;
        std::memcpy(&flags, static_cast<uint8_t*>(record) + rec_flags, sizeof flags);
        if (!directory)
            flags |= flag_engine_extract | data_trust(*e, f, int64_t(harvest_claim_flag | i));
        put<uint32_t>(record, rec_flags, flags);
        e->last_streams.clear();
        if (!directory) {
            e->last_streams = std::move(f.named_streams);
            for (stream_info_s& st : e->last_streams) {
                file_s g;
                g.stream = st.name;
                std::vector<uint8_t> again(rs);
                if (e->device->read_at(h.offset, again.data(), rs) != int64_t(rs))
                    continue;
                e->reading_harvest = true;
                if (load_file(*e, 0, again.data(), true, &g) == record_state::valid)
                    st.flags = data_trust(*e, g);
                e->reading_harvest = false;
            }
        }
        if (index)
            *index = i;
        return 1;
    }
    if (!e->claims_weighed) {
        const std::vector<int64_t> before = std::move(e->claim_losers);
        e->claim_losers.clear();
        weigh_claims(*e);
        for (const int64_t owner : e->claim_losers)
            e->harvest_losers.push_back(owner & ~int64_t(harvest_claim_flag));
        e->claim_losers = before;
    }
    return 0;
}

std::vector<int64_t> ntfs_harvest_claimed_later(const void* context) {
    const engine_s* e = context ? engine_of(context) : nullptr;
    return e ? e->harvest_losers : std::vector<int64_t>{};
}

namespace {

bool plain_extents(const engine_s& e, const file_s& f, std::vector<std::pair<uint64_t, uint64_t>>* out) {
    constexpr uint16_t coded = layout::attr::flag_compressed | layout::attr::flag_encrypted;
    if (!f.have_data || f.data_resident || (f.data_flags & coded) || f.initialized_size < f.data_size)
        return false;
    std::vector<run_s> runs;
    if (!runs_hold_data(e, f, &runs))
        return false;
    const uint64_t cs = e.volume.cluster_size;
    uint64_t left = f.data_size;
    for (const run_s& r : runs) {
        if (left == 0)
            break;
        if (r.lcn < 0)
            return false;  // a hole reads as zeros no cluster holds
        const uint64_t length = std::min(left, r.length * cs);
        if (!out->empty() && out->back().first + out->back().second == uint64_t(r.lcn) * cs)
            out->back().second += length;
        else
            out->emplace_back(uint64_t(r.lcn) * cs, length);
        left -= length;
    }
    return left == 0;
}

}  // namespace

bool ntfs_data_extents(void* context, int64_t record, bool harvested,
                       std::vector<std::pair<uint64_t, uint64_t>>* extents) {
    engine_s* e = context ? engine_of(context) : nullptr;
    extents->clear();
    if (!e || record < 0)
        return false;
    std::vector<uint8_t> buf(e->volume.record_size);
    file_s f;
    record_state state;
    if (harvested) {
        if (uint64_t(record) >= e->harvested.size())
            return false;
        const harvested_s& h = e->harvested[size_t(record)];
        if (e->device->read_at(h.offset, buf.data(), buf.size()) != int64_t(buf.size()))
            return false;
        e->reading_harvest = true;
        state = load_file(*e, uint64_t(std::max<int64_t>(h.number, 0)), buf.data(), true, &f);
        e->reading_harvest = false;
    } else {
        if (!read_mft_record(*e, uint64_t(record), buf.data()))
            return false;
        state = load_file(*e, uint64_t(record), buf.data(), true, &f);
    }
    if (state != record_state::valid || (f.record_flags & layout::record::flag_directory))
        return false;
    if (!plain_extents(*e, f, extents)) {
        extents->clear();
        return false;
    }
    return true;
}

platform::byte_source_ptr ntfs_scan_device(const void* context) {
    const engine_s* e = context ? engine_of(context) : nullptr;
    return e ? e->device : nullptr;
}

uint32_t ntfs_scan_cluster_size(const void* context) {
    const engine_s* e = context ? engine_of(context) : nullptr;
    return e ? e->volume.cluster_size : 0;
}

int ntfs_harvest_extract_to(void* context, size_t index, const std::u16string& stream, int fd, uint32_t* status) {
    engine_s* e = context ? engine_of(context) : nullptr;
    if (!e)
        return finish(extract_not_open, status);
    if (index >= e->harvested.size())
        return finish(extract_bad_record, status);
    const harvested_s& h = e->harvested[index];
    std::vector<uint8_t> buf(e->volume.record_size);
    if (e->device->read_at(h.offset, buf.data(), buf.size()) != int64_t(buf.size()))
        return finish(extract_read_failed, status);
    file_s f;
    f.stream = stream;
    e->reading_harvest = true;
    const record_state state = load_file(*e, uint64_t(std::max<int64_t>(h.number, 0)), buf.data(), true, &f);
    e->reading_harvest = false;
    if (state != record_state::valid)
        return finish(extract_bad_record, status);
    if ((f.record_flags & layout::record::flag_directory) || !f.have_data)
        return finish(extract_no_data, status);
    return finish(fd < 0 ? extract_write_failed : write_data(*e, f, fd), status);
}

namespace {

// The first cluster of the unnamed data of the record at raw (before
// fixups), or -1.
int64_t first_data_cluster(const uint8_t* raw, uint32_t size) {
    std::vector<uint8_t> copy(raw, raw + size);
    record_header_s header;
    std::vector<attribute_s> attributes;
    if (check_record(copy.data(), size, &header) != record_state::valid ||
        !walk_attributes(copy.data(), header, &attributes))
        return -1;
    for (const attribute_s& a : attributes) {
        if (a.type != layout::attr::type_data || a.name_length != 0 || !a.non_resident || a.lowest_vcn != 0)
            continue;
        std::vector<run_s> runs;
        decode_runlist(a.mapping_pairs, a.mapping_pairs_size, 0, uint64_t(1) << 48, &runs);
        return runs.empty() || runs.front().lcn < 0 ? -1 : runs.front().lcn;
    }
    return -1;
}

}  // namespace

bool ntfs_free_space_holds_data(void* context) {
    engine_s* e = context ? engine_of(context) : nullptr;
    if (!e || e->volume.total_clusters == 0)
        return false;
    constexpr uint64_t samples = 64;
    const uint64_t cs = e->volume.cluster_size;
    uint8_t sector[512];
    int holding = 0;
    for (uint64_t i = 0; i < samples; ++i) {
        const uint64_t lcn = (e->volume.total_clusters * (2 * i + 1)) / (2 * samples);
        if (clusters_state(*e, lcn, 1) != clusters_e::free)
            continue;
        if (e->device->read_at(lcn * cs, sector, sizeof sector) != int64_t(sizeof sector))
            continue;
        holding += std::any_of(std::begin(sector), std::end(sector), [](uint8_t b) { return b != 0; }) ? 1 : 0;
    }
    return holding >= 2;
}

int ntfs_scan_startup_from_records(platform::byte_source_ptr source, void* context, const harvest_hooks_s& hooks,
                                   uint64_t* volume_start, uint32_t* cluster_size) {
    if (!context)
        return -1;
    if (!source)
        return -2;
    auto e = std::make_unique<engine_s>();
    e->device = source;
    // Each copy of record 0 lies at the start of the $MFT or of $MFTMirr;
    // the record after it is $MFTMirr's, which names where the mirror lies.
    struct copy_s {
        uint64_t offset;
        uint32_t size;
        int64_t mft_lcn;
        int64_t mirror_lcn;
    };
    std::vector<copy_s> copies;
    harvest_result_s result;
    std::vector<uint8_t> pair(2 * 4096);
    read_for_records(*e, hooks, &result, [&](const ntfs_harvest::candidate_s& c) {
        if (c.number != 0 || c.base_reference != 0)
            return true;
        if (e->device->read_at(c.offset, pair.data(), 2 * c.size) != int64_t(2 * c.size))
            return true;
        ntfs_harvest::candidate_s next;
        if (!ntfs_harvest::sane_record(pair.data() + c.size, c.size, &next) || next.number != 1)
            return true;
        copies.push_back({c.offset, c.size, first_data_cluster(pair.data(), c.size),
                          first_data_cluster(pair.data() + c.size, c.size)});
        return copies.size() < 8;
    });
    ntfs_harvest::geometry_s g;
    bool found = false;
    for (size_t a = 0; a < copies.size() && !found; ++a)
        for (size_t b = 0; b < copies.size() && !found; ++b)
            found = a != b && copies[a].mft_lcn > 0 && copies[a].mirror_lcn > 0 &&
                    copies[a].mft_lcn == copies[b].mft_lcn && copies[a].mirror_lcn == copies[b].mirror_lcn &&
                    ntfs_harvest::geometry_from_mft_copies(copies[a].offset, copies[b].offset,
                                                           uint64_t(copies[a].mft_lcn),
                                                           uint64_t(copies[a].mirror_lcn), &g) &&
                    copies[a].size == copies[b].size;
    if (!found)
        return -3;
    const uint32_t record_bytes = copies.front().size;
    e->device = std::make_shared<platform::source_window_c>(source, g.start, source->size() - g.start,
                                                            source->name());
    e->volume.bytes_per_sector = 512;
    e->volume.cluster_size = g.cluster_size;
    e->volume.record_size = record_bytes;
    e->volume.total_clusters = e->device->size() / g.cluster_size;
    e->volume.mft_lcn = g.mft_lcn;
    e->volume.mftmirr_lcn = g.mftmirr_lcn;
    if (!load_mft(*e)) {
        e->mft_runs.clear();
        e->mft_records = e->mft_readable = 0;
    }
    *volume_start = g.start;
    *cluster_size = g.cluster_size;
    return hand_over(std::move(e), context);
}

}  // namespace ntfs_engine
