#include "engines/exfat/exfat_volume.h"

#include "engines/exfat/exfat_entry.h"
#include "ondisk/byte_order.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace exfat {

using platform::le16;
using platform::le32;
using platform::le64;

namespace {

constexpr size_t fat_block_bytes = 64 * 1024;
constexpr uint64_t read_all_step = uint64_t{1} << 20;
constexpr uint64_t upcase_max_bytes = 2 * 65536;
// A bitmap for the largest cluster count the format allows.
constexpr uint64_t bitmap_max_bytes = (uint64_t{max_cluster_count} + 7) / 8;

void append_cluster(cluster_map_s* map, uint32_t cluster)
{
    if (!map->extents.empty()) {
        extent_s& last = map->extents.back();
        if (uint64_t{last.cluster} + last.count == cluster) {
            ++last.count;
            return;
        }
    }
    map->extents.push_back({cluster, 1});
}

// Notices a chain that comes back to a cluster it passed, in constant
// memory: a mark is left at every power-of-two step, and a loop runs into the
// latest mark within twice its length.
class loop_guard_c {
public:
    explicit loop_guard_c(uint32_t first) : mark_(first) {}
    bool repeats(uint32_t next)
    {
        if (next == mark_)
            return true;
        if (++steps_ == span_) {
            mark_ = next;
            span_ *= 2;
            steps_ = 0;
        }
        return false;
    }

private:
    uint32_t mark_;
    uint64_t span_ = 1;
    uint64_t steps_ = 0;
};

uint32_t table_checksum(const uint8_t* data, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i)
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + data[i];
    return sum;
}

}  // namespace

uint64_t cluster_map_s::cluster_total() const
{
    uint64_t total = 0;
    for (const extent_s& e : extents)
        total += e.count;
    return total;
}

bool volume_c::read_exact(uint64_t offset, void* buffer, size_t length)
{
    if (source_->read_at(offset, buffer, length) == static_cast<int64_t>(length))
        return true;
    ++read_errors_;
    return false;
}

bool volume_c::read_whole(uint64_t offset, void* buffer, size_t length, int* error) const
{
    const int64_t got = source_->read_at(offset, buffer, length);
    if (got < 0) {
        if (error)
            *error = errno != 0 ? errno : EIO;
        return false;
    }
    if (static_cast<uint64_t>(got) != length)
        return false;
    // Zeros where the medium failed are no boot sector.
    const std::vector<platform::unreadable_range_s> lost = source_->unreadable_in(offset, length);
    if (!lost.empty()) {
        if (error)
            *error = lost.front().error != 0 ? lost.front().error : EIO;
        return false;
    }
    return true;
}

bool volume_c::try_region(uint64_t sector_bytes_guess, bool backup)
{
    const uint64_t start = backup ? sector_bytes_guess * boot_region_sectors : 0;
    uint8_t first[512];
    if (!read_whole(start, first, sizeof first))
        return false;
    const uint32_t sector = boot_sector_bytes(first, sizeof first);
    if (sector == 0 || (backup && sector != sector_bytes_guess))
        return false;
    std::vector<uint8_t> region(size_t{sector} * boot_region_sectors);
    if (!read_whole(start, region.data(), region.size()))
        return false;
    boot_s b;
    if (parse_boot_region(region.data(), region.size(), &b) != boot_result::ok)
        return false;
    boot_ = b;
    from_backup_ = backup;
    return true;
}

open_result volume_c::open(platform::byte_source_ptr source)
{
    close();
    if (!source)
        return open_result::cannot_read;
    source_ = std::move(source);
    uint8_t first[512];
    int error = 0;
    const bool readable = read_whole(0, first, sizeof first, &error);
    boot_read_error_ = readable ? 0 : error;
    const bool looks = readable && std::memcmp(first + 3, "EXFAT   ", 8) == 0;

    bool found = try_region(0, false);
    for (uint64_t sector = 512; !found && sector <= 4096; sector *= 2)
        found = try_region(sector, true);
    if (!found) {
        bool backup_named = false;
        for (uint64_t sector = 512; sector <= 4096 && !backup_named; sector *= 2) {
            uint8_t s[512];
            backup_named = read_whole(sector * boot_region_sectors, s, sizeof s) && std::memcmp(s + 3, "EXFAT   ", 8) == 0;
        }
        const open_result why =
            !readable ? open_result::cannot_read : (looks || backup_named) ? open_result::bad_boot : open_result::not_exfat;
        close();
        return why;
    }
    // Clusters the boot sector places past the device's end are not there
    // (a truncated image, or a boot sector that lies): no map takes them,
    // so nothing is taken as whole that the device cannot give.
    const uint64_t heap_start = uint64_t{boot_.heap_offset} << boot_.sector_shift;
    const uint64_t on_device = source_->size() > heap_start ? (source_->size() - heap_start) / boot_.cluster_bytes() : 0;
    heap_end_ = first_cluster + std::min<uint64_t>(boot_.cluster_count, on_device);
    // The second FAT of a TexFAT volume is the live one when the flag says so.
    active_fat_ = (boot_.fat_count == 2 && (boot_.volume_flags & 1)) ? 1 : 0;
    if (!load_root_metadata())
        allocation_all_unknown();
    return open_result::ok;
}

void volume_c::close()
{
    source_.reset();
    boot_ = {};
    from_backup_ = false;
    heap_end_ = 0;
    bitmap_.clear();
    bitmap_.shrink_to_fit();
    unknown_.clear();
    unknown_.shrink_to_fit();
    unknown_clusters_ = 0;
    free_clusters_ = 0;
    upcase_.clear();
    upcase_.shrink_to_fit();
    label_.clear();
    fat_block_.clear();
    fat_block_offset_ = UINT64_MAX;
    read_errors_ = 0;
}

bool volume_c::load_root_metadata()
{
    std::vector<uint8_t> root;
    const cluster_map_s map = map_chain(boot_.root_cluster, max_directory_bytes);
    read_all(map, max_directory_bytes, &root);
    // Sectors the medium could not give read as zeros, which would end the
    // root: they are passed over.
    const auto lost = unreadable_in_mapped(map, root.size());
    auto next_lost = lost.begin();
    bool have_bitmap = false;
    uint32_t upcase_first = 0, upcase_sum = 0;
    uint64_t upcase_length = 0;
    for (size_t at = 0; at + entry_bytes <= root.size(); at += entry_bytes) {
        while (next_lost != lost.end() && next_lost->second <= at)
            ++next_lost;
        if (next_lost != lost.end() && next_lost->first < at + entry_bytes)
            continue;
        const uint8_t* e = root.data() + at;
        if (e[0] == type_end)
            break;
        if (e[0] == type_bitmap && !have_bitmap) {
            // With two FATs there are two bitmaps; bit 0 says which FAT each serves.
            if ((e[1] & 1) != active_fat_)
                continue;
            have_bitmap = load_bitmap(le32(e + 20), le64(e + 24));
        } else if (e[0] == type_upcase && upcase_first == 0) {
            upcase_sum = le32(e + 4);
            upcase_first = le32(e + 20);
            upcase_length = le64(e + 24);
        } else if (e[0] == type_label && label_.empty()) {
            const uint8_t units = std::min<uint8_t>(e[1], 11);
            for (uint8_t u = 0; u < units; ++u)
                label_.push_back(static_cast<char16_t>(le16(e + 2 + 2 * u)));
        }
    }
    if (upcase_first != 0)
        load_upcase(upcase_first, upcase_length, upcase_sum);
    return have_bitmap;
}

bool volume_c::load_bitmap(uint32_t first, uint64_t length)
{
    const uint64_t needed = (uint64_t{boot_.cluster_count} + 7) / 8;
    if (length < needed || length > bitmap_max_bytes || !boot_.valid_cluster(first))
        return false;
    // The bitmap is written as a chain; a volume whose chain is damaged may
    // still hold it in consecutive clusters.
    cluster_map_s map = map_clusters(first, needed, false, false);
    if (!map.complete)
        map = map_clusters(first, needed, true, false);
    if (!map.complete)
        return false;
    std::vector<uint8_t> bytes;
    if (!read_all(map, needed, &bytes) || bytes.size() < needed)
        return false;
    bitmap_.assign((needed + 7) / 8, 0);
    std::memcpy(bitmap_.data(), bytes.data(), needed);
    // Bits the medium could not give are unknown, neither free nor taken.
    unknown_.assign(bitmap_.size(), 0);
    unknown_clusters_ = 0;
    for (const auto& [from, to] : unreadable_in_mapped(map, needed))
        for (uint64_t bit = from * 8; bit < to * 8 && bit < boot_.cluster_count; ++bit) {
            unknown_[bit / 64] |= uint64_t{1} << (bit % 64);
            bitmap_[bit / 64] &= ~(uint64_t{1} << (bit % 64));
            ++unknown_clusters_;
        }
    if (unknown_clusters_ == 0)
        unknown_.clear();
    // Bits past the last cluster count as allocated, so no walk takes them.
    const uint32_t count = boot_.cluster_count;
    for (uint64_t bit = count; bit < uint64_t{bitmap_.size()} * 64; ++bit)
        bitmap_[bit / 64] |= uint64_t{1} << (bit % 64);
    // The words were copied in memory order; on this little-endian machine
    // bit n of the volume is bit n % 64 of word n / 64.
    static_assert(std::endian::native == std::endian::little);
    uint64_t used = 0;
    for (const uint64_t w : bitmap_)
        used += static_cast<uint64_t>(std::popcount(w));
    free_clusters_ = uint64_t{bitmap_.size()} * 64 - used - unknown_clusters_;
    return true;
}

void volume_c::allocation_all_unknown()
{
    const uint64_t words = (uint64_t{boot_.cluster_count} + 63) / 64;
    bitmap_.assign(words, 0);
    unknown_.assign(words, ~uint64_t{0});
    unknown_clusters_ = boot_.cluster_count;
    free_clusters_ = 0;
}

std::vector<std::pair<uint64_t, uint64_t>> volume_c::unreadable_in_mapped(const cluster_map_s& map, uint64_t length) const
{
    std::vector<std::pair<uint64_t, uint64_t>> out;
    const uint64_t cluster_bytes = boot_.cluster_bytes();
    uint64_t at = 0;  // position of the extent's first byte in the data
    for (const extent_s& e : map.extents) {
        if (at >= length)
            break;
        const uint64_t bytes = std::min(uint64_t{e.count} * cluster_bytes, length - at);
        const uint64_t volume_at = boot_.cluster_offset(e.cluster);
        for (const platform::unreadable_range_s& r : source_->unreadable_in(volume_at, bytes)) {
            const uint64_t from = at + (r.offset - volume_at), to = at + (r.end() - volume_at);
            if (!out.empty() && out.back().second == from)
                out.back().second = to;
            else
                out.emplace_back(from, to);
        }
        at += bytes;
    }
    return out;
}

void volume_c::load_upcase(uint32_t first, uint64_t length, uint32_t checksum)
{
    if (length < 2 || length > upcase_max_bytes || (length & 1) || !boot_.valid_cluster(first))
        return;
    cluster_map_s map = map_clusters(first, length, false, false);
    if (!map.complete)
        map = map_clusters(first, length, true, false);
    std::vector<uint8_t> bytes;
    if (!map.complete || !read_all(map, length, &bytes) || bytes.size() != length)
        return;
    if (table_checksum(bytes.data(), bytes.size()) != checksum)
        return;
    // The table may be compressed: 0xFFFF followed by a count stands for that
    // many characters that map to themselves.
    std::vector<char16_t> table(65536);
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<char16_t>(i);
    size_t next = 0;
    for (size_t at = 0; at + 1 < bytes.size() && next < table.size(); at += 2) {
        const uint16_t unit = le16(bytes.data() + at);
        if (unit == 0xFFFF && at + 3 < bytes.size()) {
            next += le16(bytes.data() + at + 2);
            at += 2;
            continue;
        }
        table[next++] = static_cast<char16_t>(unit);
    }
    upcase_ = std::move(table);
}

bool volume_c::fat_entry(uint32_t cluster, uint32_t* next)
{
    if (!boot_.valid_cluster(cluster))
        return false;
    const uint64_t fat_start = (uint64_t{boot_.fat_offset} + uint64_t{boot_.fat_sectors} * active_fat_)
                               << boot_.sector_shift;
    const uint64_t offset = fat_start + uint64_t{cluster} * 4;
    const uint64_t block = offset - offset % fat_block_bytes;
    if (block != fat_block_offset_) {
        fat_block_.resize(fat_block_bytes);
        const int64_t got = source_->read_at(block, fat_block_.data(), fat_block_bytes);
        if (got < 0 || uint64_t(got) < offset - block + 4) {
            ++read_errors_;
            fat_block_offset_ = UINT64_MAX;
            return false;
        }
        fat_block_.resize(size_t(got));
        fat_block_offset_ = block;
    }
    // An entry the medium could not give is no entry: its zeros would end
    // the chain as if the cluster were free.
    if (source_->any_unreadable_in(offset, 4)) {
        ++read_errors_;
        return false;
    }
    *next = le32(fat_block_.data() + (offset - block));
    return true;
}

bool volume_c::cluster_in_use(uint32_t cluster) const
{
    if (!allocation_known(cluster))
        return true;
    const uint32_t bit = cluster - first_cluster;
    return (bitmap_[bit / 64] >> (bit % 64)) & 1;
}

bool volume_c::allocation_known(uint32_t cluster) const
{
    if (!boot_.valid_cluster(cluster) || bitmap_.empty())
        return false;
    const uint32_t bit = cluster - first_cluster;
    return unknown_.empty() || !((unknown_[bit / 64] >> (bit % 64)) & 1);
}

void volume_c::free_run_from(uint32_t first, uint64_t needed, cluster_map_s* map) const
{
    // The first cluster is the file's own by its entry; if it has been
    // taken since, its content is someone else's and the row says so. Where
    // the bitmap could not be read the clusters count as free: the run is
    // then a guess, as it is for every file whose chain is gone.
    if (known_in_use(first))
        map->some_in_use = true;
    append_cluster(map, first);
    uint64_t got = 1;
    const uint64_t end = heap_end_;
    uint64_t c = uint64_t{first} + 1;
    while (got < needed && c < end) {
        const uint64_t bit = c - first_cluster;
        const uint64_t word = bitmap_[bit / 64] >> (bit % 64);
        if (word == (~uint64_t{0} >> (bit % 64))) {
            // The rest of this word is allocated: skip it whole.
            c += 64 - bit % 64;
            continue;
        }
        if (!(word & 1)) {
            append_cluster(map, static_cast<uint32_t>(c));
            ++got;
        }
        ++c;
    }
    map->complete = got == needed;
}

cluster_map_s volume_c::map_clusters(uint32_t first, uint64_t length, bool no_fat_chain, bool deleted)
{
    cluster_map_s map;
    if (length == 0) {
        map.complete = true;
        return map;
    }
    if (!boot_.valid_cluster(first) || first >= heap_end_)
        return map;
    const uint64_t cluster_bytes = boot_.cluster_bytes();
    const uint64_t needed = length / cluster_bytes + (length % cluster_bytes != 0);
    const uint64_t heap_left = heap_end_ - first;

    if (no_fat_chain) {
        map.source = data_source::contiguous;
        const uint64_t count = std::min(needed, heap_left);
        map.extents.push_back({first, static_cast<uint32_t>(count)});
        map.complete = count == needed;
        if (deleted && !bitmap_.empty())
            for (uint64_t c = first; c < first + count && !map.some_in_use; ++c)
                map.some_in_use = known_in_use(static_cast<uint32_t>(c));
        return map;
    }

    // A single cluster needs no chain: it is exact whatever the FAT says.
    map.source = needed == 1 ? data_source::contiguous : data_source::fat_chain;
    uint32_t cluster = first;
    uint64_t got = 0;
    bool chain_ok = true;
    loop_guard_c guard(first);
    // The chain may not be longer than the length needs, so the walk ends
    // even on a FAT that loops.
    while (got < needed) {
        if (deleted && known_in_use(cluster)) {
            chain_ok = false;
            break;
        }
        append_cluster(&map, cluster);
        ++got;
        uint32_t next = 0;
        if (!fat_entry(cluster, &next)) {
            chain_ok = false;
            break;
        }
        if (got == needed)
            break;
        if (!boot_.valid_cluster(next) || next >= heap_end_ || guard.repeats(next)) {
            chain_ok = false;
            break;
        }
        cluster = next;
    }
    map.complete = chain_ok && got == needed;
    if (map.complete || !deleted)
        return map;

    // The chain was released: take the free clusters from the first one on.
    map = {};
    map.source = data_source::free_clusters;
    if (bitmap_.empty())
        return map;
    free_run_from(first, std::min(needed, heap_left), &map);
    map.complete = map.complete && needed <= heap_left;
    return map;
}

cluster_map_s volume_c::map_chain(uint32_t first, uint64_t max_bytes)
{
    cluster_map_s map;
    map.source = data_source::fat_chain;
    if (!boot_.valid_cluster(first))
        return map;
    const uint64_t limit = std::min<uint64_t>(max_bytes / boot_.cluster_bytes() + 1, boot_.cluster_count);
    uint32_t cluster = first;
    loop_guard_c guard(first);
    for (uint64_t got = 0; got < limit; ++got) {
        append_cluster(&map, cluster);
        uint32_t next = 0;
        if (!fat_entry(cluster, &next))
            return map;
        if (next == fat_end_of_chain) {
            map.complete = true;
            return map;
        }
        if (!boot_.valid_cluster(next) || guard.repeats(next))
            return map;
        cluster = next;
    }
    // Longer than allowed: a loop or damage. What was read is kept.
    return map;
}

size_t volume_c::read_mapped(const cluster_map_s& map, uint64_t offset, void* buffer, size_t length)
{
    const uint64_t cluster_bytes = boot_.cluster_bytes();
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    uint64_t extent_start = 0;  // byte position of the current extent in the data
    for (const extent_s& e : map.extents) {
        const uint64_t extent_bytes = uint64_t{e.count} * cluster_bytes;
        const uint64_t want = offset + done;
        if (done == length)
            break;
        if (want >= extent_start + extent_bytes) {
            extent_start += extent_bytes;
            continue;
        }
        const uint64_t within = want - extent_start;
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(length - done, extent_bytes - within));
        if (!read_exact(boot_.cluster_offset(e.cluster) + within, out + done, piece))
            return done;
        done += piece;
        extent_start += extent_bytes;
    }
    return done;
}

bool volume_c::read_all(const cluster_map_s& map, uint64_t max_bytes, std::vector<uint8_t>* out)
{
    // The boot sector's sizes are not checked against the device, so a map
    // may claim far more than the device holds. The buffer grows only with
    // what was read, and a read that fails keeps the sectors before it.
    const uint64_t bytes = std::min(map.cluster_total() * boot_.cluster_bytes(), max_bytes);
    out->clear();
    while (out->size() < bytes) {
        const size_t done = out->size();
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(read_all_step, bytes - done));
        out->resize(done + piece);
        const size_t got = read_mapped(map, done, out->data() + done, piece);
        if (got != piece) {
            // Keep what lies before the first sector that fails.
            size_t kept = got;
            const size_t sector = boot_.sector_bytes();
            while (kept + sector <= piece && read_mapped(map, done + kept, out->data() + done + kept, sector) == sector)
                kept += sector;
            out->resize(done + kept);
            return false;
        }
    }
    return true;
}

}  // namespace exfat
