// How far the copy of a deleted FAT file can be trusted. Its chain was
// cleared on delete, so the copy reads its clusters as one run from the
// start cluster; the FAT as it stands now says whether that run still looks
// like its own. Where the run crosses clusters allocated now, those hold
// another file's bytes for certain; a file written into the gaps between
// live files took the free clusters from its first one on, so the copy
// takes those instead.
#pragma once

#include "engines/fat/fat_fs.h"

#include <cstdint>
#include <vector>

// Bits a FAT row carries above the entry's attribute byte, with the values
// the exFAT rows use for the same findings.
inline constexpr int32_t fat_row_chain_kept = 0x20000;   // its own chain is still in the FAT
inline constexpr int32_t fat_row_uncertain = 0x40000;    // free clusters from its start on
inline constexpr int32_t fat_row_overwritten = 0x80000;  // a cluster of the run is allocated now
inline constexpr int32_t fat_row_incomplete = 0x100000;  // the run goes past the volume's end
// With fat_row_uncertain: the run crossed clusters allocated now, so the
// free clusters from its start on are read, stepping over those.
inline constexpr int32_t fat_row_gaps_skipped = 0x200000;
inline constexpr int32_t fat_row_trust_bits =
    fat_row_chain_kept | fat_row_uncertain | fat_row_overwritten | fat_row_incomplete | fat_row_gaps_skipped;

// Reads the first FAT in blocks and remembers which of its sectors hold only
// free entries, so that thousands of deleted files, or hostile ones claiming
// gigabytes, cost a read of each FAT sector about once. Ask in rising order
// of start cluster for the fewest reads. One scan thread at a time.
class fat_trust_c {
public:
    explicit fat_trust_c(fat_volume_s* fs);

    // The trust bits of a file whose entry says start cluster and size.
    // own_entry_live: its own entry was not deleted (a file inside a deleted
    // folder), so a chain that starts there and holds exactly the clusters
    // its size needs is its own, in whatever order it runs; such a row is
    // fat_row_chain_kept and is copied along that chain.
    int32_t assess(uint32_t start, uint32_t size, bool own_entry_live);

    // The free clusters from start on, stepping over those allocated now,
    // until clusters are found: runs of (first cluster, count). False when
    // the volume ends first or the FAT cannot be read.
    bool free_runs(uint32_t start, uint64_t clusters, std::vector<std::pair<uint32_t, uint32_t>>* runs);

private:
    enum sector_state_e : uint8_t { sector_unread, sector_all_free, sector_used, sector_unreadable };
    enum class cluster_e { free, own, other, unreadable };

    cluster_e classify(uint32_t c, uint32_t last, bool own_entry_live);
    bool whole_chain(uint32_t start, uint64_t clusters);
    bool free_clusters_suffice(uint32_t from, uint64_t wanted);
    bool entry(uint32_t c, uint32_t* value);
    bool byte_at(uint64_t offset, uint8_t* value);
    bool load_block(uint32_t sector);
    uint32_t sector_of(uint32_t c) const;
    // FAT16 or FAT32 entries in one FAT sector.
    uint32_t entries_per_sector() const { return fs_->sector_bytes / (fs_->fs_type == fat_32 ? 4 : 2); }

    fat_volume_s* fs_;
    uint32_t end_of_chain_ = 0;  // entries at or above it end a chain
    uint32_t fat_sectors_ = 0;  // FAT sectors that hold entries
    // Clusters and free FAT sectors one scan may step over: hostile entries
    // (each claiming most of the volume) must not make it quadratic.
    uint64_t steps_left_ = uint64_t{1} << 25;
    std::vector<uint8_t> sector_states_;
    static constexpr uint32_t block_sectors = 64;
    std::vector<uint8_t> block_;
    uint32_t block_first_ = 0;  // FAT-relative first sector of block_
    uint32_t block_count_ = 0;  // sectors held; 0 = none
};
