// The file allocation table: the next cluster of a chain, and the choice,
// sector by sector, between the FAT and its copies.
#include "engines/fat/fat_internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

uint32_t bad_cluster_mark(uint8_t type) { return type == fat_32 ? 0x0FFFFFF7 : type == fat_16 ? 0xFFF7 : 0xFF7; }

// How many entries of one FAT sector cannot be right: a next cluster that
// lies outside the data area, or the cluster itself. Only entries wholly in
// the sector are looked at.
uint32_t implausible_entries(const fat_volume_s* fs, uint32_t sector, const uint8_t* bytes)
{
    const uint8_t type = fs->fs_type;
    const uint64_t begin = uint64_t{sector} * fs->sector_bytes;
    const uint64_t end = begin + fs->sector_bytes;
    const uint32_t mark = bad_cluster_mark(type);
    uint64_t c = type == fat_32 ? begin / 4 : type == fat_16 ? begin / 2 : begin * 2 / 3;
    uint32_t bad = 0;
    for (; c < fs->fat_entries; ++c) {
        const uint64_t at = fat_entry_offset(type, static_cast<uint32_t>(c));
        if (at < begin || c < 2)
            continue;
        if (at + fat_entry_bytes(type) > end)
            break;
        const uint32_t value = fat_entry_value(type, static_cast<uint32_t>(c), bytes + (at - begin));
        if (value == 1 || value == c || (value >= fs->fat_entries && value < mark))
            ++bad;
    }
    return bad;
}

bool all_zero(const uint8_t* bytes, uint32_t length)
{
    return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

// Reads count sectors of FAT copy k from FAT-relative sector first. Returns
// the mask of sectors the medium could not give (zeros in bytes).
uint64_t read_copy(fat_volume_s* fs, unsigned k, uint8_t* bytes, uint32_t first, uint32_t count)
{
    const uint32_t sector_bytes = fs->sector_bytes;
    const uint64_t start = fs->fat_start + uint64_t{k} * fs->fat_sectors + first;
    uint64_t lost = 0;
    if (fat_read_sectors(fs, bytes, start, count) != fr_ok) {
        // A source that does not salvage fails the whole read: one sector
        // at a time, so a bad one costs only itself.
        for (uint32_t s = 0; s < count; ++s)
            if (fat_read_sectors(fs, bytes + size_t{s} * sector_bytes, start + s, 1) != fr_ok) {
                std::memset(bytes + size_t{s} * sector_bytes, 0, sector_bytes);
                lost |= uint64_t{1} << s;
            }
        return lost;
    }
    for (const platform::unreadable_range_s& r :
         fs->source->unreadable_in(start * sector_bytes, uint64_t{count} * sector_bytes)) {
        const uint64_t from = r.offset / sector_bytes - start;
        const uint64_t to = (r.end() + sector_bytes - 1) / sector_bytes - start;
        for (uint64_t s = from; s < to && s < count; ++s)
            lost |= uint64_t{1} << s;
    }
    return lost;
}

}  // namespace

uint64_t fat_read_fat_sectors(fat_volume_s* fs, uint8_t* bytes, uint32_t first, uint32_t count)
{
    const uint32_t sector_bytes = fs->sector_bytes;
    uint64_t lost = read_copy(fs, fs->active_fat, bytes, first, count);
    // Sectors worth comparing with a copy: one naming clusters that do not
    // exist, or one all free, which is also what a zeroed sector looks like.
    // Copies that are not kept in step stand in only for a lost sector.
    std::vector<uint32_t> bad(count, 0);
    std::vector<uint8_t> zero(count, 0);
    uint64_t doubtful = 0;
    for (uint32_t s = 0; s < count; ++s) {
        if (lost & (uint64_t{1} << s))
            continue;
        const uint8_t* sector = bytes + size_t{s} * sector_bytes;
        bad[s] = implausible_entries(fs, first + s, sector);
        zero[s] = all_zero(sector, sector_bytes);
        if (fs->fats_mirrored && (bad[s] > 0 || zero[s]))
            doubtful |= uint64_t{1} << s;
    }
    std::vector<uint8_t> other;
    for (unsigned k = 0; k < fs->fat_count && (lost | doubtful) != 0; ++k) {
        if (k == fs->active_fat)
            continue;
        other.resize(size_t{count} * sector_bytes);
        const uint64_t other_lost = read_copy(fs, k, other.data(), first, count);
        for (uint32_t s = 0; s < count; ++s) {
            const uint64_t bit = uint64_t{1} << s;
            if (!((lost | doubtful) & bit) || (other_lost & bit))
                continue;
            const uint8_t* candidate = other.data() + size_t{s} * sector_bytes;
            const uint32_t candidate_bad = implausible_entries(fs, first + s, candidate);
            const bool candidate_zero = all_zero(candidate, sector_bytes);
            const bool take = (lost & bit) || candidate_bad < bad[s] ||
                              (candidate_bad == bad[s] && zero[s] && !candidate_zero);
            if (take) {
                std::memcpy(bytes + size_t{s} * sector_bytes, candidate, sector_bytes);
                bad[s] = candidate_bad;
                zero[s] = candidate_zero;
                lost &= ~bit;
                fs->fat_sectors_mended.insert(first + s);
            }
            // Compared with a readable copy: only entries that still name
            // nothing real are worth another.
            if (bad[s] == 0)
                doubtful &= ~bit;
        }
    }
    for (uint32_t s = 0; s < count; ++s)
        if (lost & (uint64_t{1} << s))
            fs->fat_sectors_lost.insert(first + s);
    return lost;
}

uint32_t fat_next_cluster(fat_volume_s* fs, uint32_t c)
{
    const uint8_t type = fs->fs_type;
    if (!fat_cluster_valid(fs, c) || (type != fat_12 && type != fat_16 && type != fat_32))
        return 1;
    const uint64_t offset = fat_entry_offset(type, c);
    uint8_t bytes[4] = {};
    for (uint32_t i = 0; i < fat_entry_bytes(type); ++i) {
        const uint64_t sector = (offset + i) / fs->sector_bytes;
        if (sector >= fs->fat_sectors)
            return 0xFFFFFFFF;
        if (!fs->fat_window_valid || fs->fat_window_sector != sector) {
            fs->fat_window_valid = false;
            fs->fat_window_unreadable = fat_read_fat_sectors(fs, fs->fat_window, static_cast<uint32_t>(sector), 1) != 0;
            fs->fat_window_sector = static_cast<uint32_t>(sector);
            fs->fat_window_valid = true;
        }
        if (fs->fat_window_unreadable)
            return 0xFFFFFFFF;
        bytes[i] = fs->fat_window[(offset + i) % fs->sector_bytes];
    }
    return fat_entry_value(type, c, bytes);
}
