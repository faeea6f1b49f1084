#include "engines/fat/fat_trust.h"

#include "engines/fat/fat_internal.h"

#include <algorithm>

fat_trust_c::fat_trust_c(fat_volume_s* fs) : fs_(fs)
{
    switch (fs->fs_type) {
    case fat_12: end_of_chain_ = 0xFF8; break;
    case fat_16: end_of_chain_ = 0xFFF8; break;
    case fat_32: end_of_chain_ = 0x0FFFFFF8; break;
    default: break;
    }
    // Only the sectors that hold the volume's entries: a boot sector may
    // claim a far longer FAT.
    const uint64_t entry_bytes = fs->fs_type == fat_32   ? uint64_t{fs->fat_entries} * 4
                                 : fs->fs_type == fat_16 ? uint64_t{fs->fat_entries} * 2
                                                         : (uint64_t{fs->fat_entries} * 3 + 1) / 2;
    fat_sectors_ = static_cast<uint32_t>(
        std::min<uint64_t>(fs->fat_sectors, (entry_bytes + fs->sector_bytes - 1) / fs->sector_bytes));
    sector_states_.assign(fat_sectors_, sector_unread);
}

uint32_t fat_trust_c::sector_of(uint32_t c) const
{
    return c / entries_per_sector();
}

bool fat_trust_c::load_block(uint32_t sector)
{
    const uint32_t first = sector - sector % block_sectors;
    const uint32_t count = std::min(block_sectors, fat_sectors_ - first);
    block_.resize(size_t{count} * fs_->sector_bytes);
    // A sector no copy of the FAT gives is not asked for again (a failing
    // card may take seconds for each try).
    const uint64_t lost = fat_read_fat_sectors(fs_, block_.data(), first, count);
    block_first_ = first;
    block_count_ = count;
    for (uint32_t s = 0; s < count; ++s) {
        const uint8_t* bytes = block_.data() + size_t{s} * fs_->sector_bytes;
        const bool all_zero = std::all_of(bytes, bytes + fs_->sector_bytes, [](uint8_t b) { return b == 0; });
        sector_states_[first + s] = (lost >> s) & 1 ? sector_unreadable : all_zero ? sector_all_free : sector_used;
    }
    return sector_states_[sector] != sector_unreadable;
}

bool fat_trust_c::byte_at(uint64_t offset, uint8_t* value)
{
    const uint64_t sector = offset / fs_->sector_bytes;
    if (sector >= fat_sectors_ || sector_states_[sector] == sector_unreadable)
        return false;
    if (block_count_ == 0 || sector < block_first_ || sector >= uint64_t{block_first_} + block_count_)
        if (!load_block(static_cast<uint32_t>(sector)))
            return false;
    *value = block_[offset - uint64_t{block_first_} * fs_->sector_bytes];
    return true;
}

bool fat_trust_c::entry(uint32_t c, uint32_t* value)
{
    const uint8_t type = fs_->fs_type;
    if (type != fat_12 && type != fat_16 && type != fat_32)
        return false;
    const uint64_t offset = fat_entry_offset(type, c);
    uint8_t bytes[4] = {};
    for (uint32_t i = 0; i < fat_entry_bytes(type); ++i)
        if (!byte_at(offset + i, &bytes[i]))
            return false;
    *value = fat_entry_value(type, c, bytes);
    return true;
}

fat_trust_c::cluster_e fat_trust_c::classify(uint32_t c, uint32_t last, bool own_entry_live)
{
    uint32_t value = 0;
    if (!entry(c, &value))
        return cluster_e::unreadable;
    if (value == 0)
        return cluster_e::free;
    // A deleted entry's chain was cleared, so any chain here is another file's.
    if (own_entry_live && (c == last ? value >= end_of_chain_ : value == c + 1))
        return cluster_e::own;
    return cluster_e::other;
}

bool fat_trust_c::whole_chain(uint32_t start, uint64_t clusters)
{
    // The count is the walk's guard: a chain longer than the size needs, a
    // loop, or one that leaves the volume is not this file's.
    uint32_t c = start;
    for (uint64_t taken = 1;; ++taken) {
        if (steps_left_ == 0)
            return false;
        --steps_left_;
        uint32_t value = 0;
        if (!entry(c, &value))
            return false;
        if (value >= end_of_chain_)
            return taken == clusters;
        if (taken == clusters || !fat_cluster_valid(fs_, value))
            return false;
        c = value;
    }
}

bool fat_trust_c::free_clusters_suffice(uint32_t from, uint64_t wanted)
{
    uint64_t taken = 0;
    for (uint32_t c = from; taken < wanted; ++c) {
        if (!fat_cluster_valid(fs_, c) ||
            uint64_t{fat_cluster_sector(fs_, c)} + fs_->cluster_size > fs_->volume_end)
            return false;
        if (steps_left_ == 0)
            return false;
        --steps_left_;
        if (fs_->fs_type != fat_12) {
            const uint32_t sector = sector_of(c);
            if (sector < sector_states_.size() && sector_states_[sector] == sector_all_free) {
                const uint32_t next_sector_first = (sector + 1) * (fs_->fs_type == fat_32 ? 128u : 256u);
                const uint64_t here = std::min<uint64_t>(next_sector_first - c, wanted - taken);
                const uint64_t last = c + here - 1;  // clusters rise with their sectors
                if (last >= fs_->fat_entries ||
                    uint64_t{fat_cluster_sector(fs_, static_cast<uint32_t>(last))} + fs_->cluster_size > fs_->volume_end)
                    return false;
                taken += here;
                c = static_cast<uint32_t>(last);
                continue;
            }
        }
        uint32_t value = 0;
        if (!entry(c, &value))
            return false;
        if (value == 0)
            ++taken;
    }
    return true;
}

int32_t fat_trust_c::assess(uint32_t start, uint32_t size, bool own_entry_live)
{
    const uint32_t cluster_bytes = uint32_t{fs_->cluster_size} * fs_->sector_bytes;
    if (size == 0 || cluster_bytes == 0)
        return 0;
    const uint64_t clusters = (uint64_t{size} + cluster_bytes - 1) / cluster_bytes;
    const uint64_t last64 = uint64_t{start} + clusters - 1;
    if (!fat_cluster_valid(fs_, start))
        return fat_row_incomplete;
    if (own_entry_live && whole_chain(start, clusters))
        return fat_row_chain_kept;
    if (last64 >= fs_->fat_entries ||
        uint64_t{fat_cluster_sector(fs_, static_cast<uint32_t>(last64))} + fs_->cluster_size > fs_->volume_end)
        return fat_row_incomplete;
    const auto last = static_cast<uint32_t>(last64);

    bool all_own = true;
    bool unreadable = false;
    for (uint32_t c = start;;) {
        // Past the scan's budget a long run is left a guess; its first
        // cluster is always looked at.
        if (steps_left_ > 0) {
            --steps_left_;
        } else if (c != start) {
            all_own = false;
            break;
        }
        // A FAT sector known to hold nothing but free entries is passed whole.
        if (fs_->fs_type != fat_12) {
            const uint32_t sector = sector_of(c);
            if (sector < sector_states_.size() && sector_states_[sector] == sector_all_free) {
                all_own = false;
                const uint64_t next_sector_first = (uint64_t{sector} + 1) * entries_per_sector();
                if (next_sector_first > last)
                    break;
                c = static_cast<uint32_t>(next_sector_first);
                continue;
            }
        }
        const cluster_e kind = classify(c, last, own_entry_live);
        if (kind == cluster_e::other) {
            // Its first cluster taken, its start is gone whatever it held. A
            // live entry's clusters are its chain's, not the free ones.
            if (c == start || own_entry_live || !free_clusters_suffice(c + 1, clusters - (c - start)))
                return fat_row_overwritten;
            return fat_row_uncertain | fat_row_gaps_skipped;
        }
        if (kind == cluster_e::unreadable) {
            unreadable = true;
            break;
        }
        all_own = all_own && kind == cluster_e::own;
        if (c == last)
            break;
        ++c;
    }
    if (unreadable)
        return fat_row_uncertain;
    if (all_own)
        return fat_row_chain_kept;
    // One free cluster is all a small file needs: nothing is guessed.
    return clusters > 1 ? fat_row_uncertain : 0;
}

bool fat_trust_c::free_runs(uint32_t start, uint64_t clusters, std::vector<std::pair<uint32_t, uint32_t>>* runs)
{
    runs->clear();
    uint64_t taken = 0;
    for (uint32_t c = start; taken < clusters; ++c) {
        if (!fat_cluster_valid(fs_, c) || uint64_t{fat_cluster_sector(fs_, c)} + fs_->cluster_size > fs_->volume_end)
            return false;
        if (steps_left_ == 0)
            return false;
        --steps_left_;
        uint32_t value = 0;
        if (!entry(c, &value))
            return false;
        if (value != 0)
            continue;
        if (!runs->empty() && runs->back().first + runs->back().second == c)
            ++runs->back().second;
        else
            runs->emplace_back(c, 1);
        ++taken;
    }
    return true;
}
