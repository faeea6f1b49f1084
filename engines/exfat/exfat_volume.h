// Read-only access to an exFAT volume: the boot region (main, else backup),
// the active FAT, the allocation bitmap, the up-case table, and the clusters
// a file's data lies in, live or deleted. Qt-free. Every value read from the
// disk is checked before use; every walk along a chain is bounded.
#pragma once

#include "ondisk/exfat_boot_sector.h"
#include "platform/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace exfat {

inline constexpr uint32_t fat_end_of_chain = 0xFFFFFFFFu;
inline constexpr uint32_t fat_bad_cluster = 0xFFFFFFF7u;
// No directory is larger; a longer one is damage.
inline constexpr uint64_t max_directory_bytes = uint64_t{256} << 20;

// A run of consecutive clusters.
struct extent_s {
    uint32_t cluster = 0;
    uint32_t count = 0;
};

// Where a file's clusters were taken from.
enum class data_source : uint8_t {
    contiguous,     // the stream says the clusters are consecutive: exact
    fat_chain,      // followed through the FAT, which still holds the chain
    free_clusters,  // the chain is gone: the free clusters from the first one on
};

struct cluster_map_s {
    std::vector<extent_s> extents;
    data_source source = data_source::contiguous;
    bool complete = false;     // as many clusters as the length needs
    bool some_in_use = false;  // a deleted file's cluster now belongs to something else
    uint64_t cluster_total() const;
};

enum class open_result {
    ok,
    cannot_read,     // the device cannot be opened or read, or neither boot region could be read
    not_exfat,       // no exFAT boot sector in either region
    bad_boot,        // an exFAT boot sector whose fields or checksum are wrong in both regions
};

class volume_c {
public:
    // Reads the boot region, the root's bitmap and up-case table from the
    // volume's source (a null source cannot be read). Returns ok or why not.
    // A bitmap that cannot be read leaves the allocation of its clusters
    // unknown; the volume still opens.
    open_result open(platform::byte_source_ptr source);
    void close();
    bool is_open() const { return source_ != nullptr; }
    const platform::byte_source_ptr& source() const { return source_; }

    const boot_s& boot() const { return boot_; }
    bool from_backup_region() const { return from_backup_; }
    // Why the main boot sector could not be read (an errno; 0 when it was).
    int boot_read_error() const { return boot_read_error_; }
    const std::u16string& label() const { return label_; }

    // The FAT's entry for a cluster. Returns false on a read error or for a
    // cluster outside the heap.
    bool fat_entry(uint32_t cluster, uint32_t* next);
    // Whether the bitmap marks the cluster allocated; clusters outside the
    // heap, and those whose bit could not be read, count as allocated.
    bool cluster_in_use(uint32_t cluster) const;
    // Whether the cluster's bit was read: false outside the heap and where
    // the bitmap could not be read.
    bool allocation_known(uint32_t cluster) const;
    // Clusters whose allocation is unknown (their bits unreadable, or the
    // whole heap when no bitmap was found).
    uint64_t unknown_clusters() const { return unknown_clusters_; }
    uint64_t free_clusters() const { return free_clusters_; }
    // The volume's up-case table (65536 units), or null when it could not be
    // read or its checksum failed.
    const char16_t* upcase() const { return upcase_.empty() ? nullptr : upcase_.data(); }

    // The clusters holding length bytes of a stream that starts at first.
    // Live chained data follows the FAT. Deleted chained data follows the
    // FAT when it still holds a chain through free clusters of the right
    // length, and otherwise takes the free clusters from first on. No map
    // takes a cluster past the device's end; it is then not complete.
    cluster_map_s map_clusters(uint32_t first, uint64_t length, bool no_fat_chain, bool deleted);
    // A FAT chain of unknown length from first, as the root directory has,
    // at most max_bytes long.
    cluster_map_s map_chain(uint32_t first, uint64_t max_bytes);

    // Reads bytes [offset, offset + length) of mapped data. Returns the
    // count read; short when the map ends or the device fails.
    size_t read_mapped(const cluster_map_s& map, uint64_t offset, void* buffer, size_t length);
    // Reads the whole mapped data, at most max_bytes, into out. Returns
    // false when a read fails; out then holds the sectors before it.
    bool read_all(const cluster_map_s& map, uint64_t max_bytes, std::vector<uint8_t>* out);

    // The parts of [0, length) of mapped data that the medium could not
    // give (read as zeros), as (start, end) positions in the data, in order.
    std::vector<std::pair<uint64_t, uint64_t>> unreadable_in_mapped(const cluster_map_s& map, uint64_t length) const;

    int64_t read_errors() const { return read_errors_; }

private:
    bool read_exact(uint64_t offset, void* buffer, size_t length);
    bool try_region(uint64_t first_sector_guess, bool backup);
    bool read_whole(uint64_t offset, void* buffer, size_t length, int* error = nullptr) const;
    bool known_in_use(uint32_t cluster) const { return allocation_known(cluster) && cluster_in_use(cluster); }
    void allocation_all_unknown();
    bool load_root_metadata();
    bool load_bitmap(uint32_t first, uint64_t length);
    void load_upcase(uint32_t first, uint64_t length, uint32_t checksum);
    void free_run_from(uint32_t first, uint64_t needed, cluster_map_s* map) const;

    platform::byte_source_ptr source_;
    boot_s boot_;
    bool from_backup_ = false;
    uint64_t heap_end_ = 0;  // first cluster number past the heap's part on the device
    uint32_t active_fat_ = 0;
    std::vector<uint64_t> bitmap_;
    // Bit n set: cluster n's bit could not be read (its bit in bitmap_ is 0).
    std::vector<uint64_t> unknown_;
    uint64_t unknown_clusters_ = 0;
    uint64_t free_clusters_ = 0;
    int boot_read_error_ = 0;
    std::vector<char16_t> upcase_;
    std::u16string label_;
    // One block of the FAT; chains run mostly forward.
    std::vector<uint8_t> fat_block_;
    uint64_t fat_block_offset_ = UINT64_MAX;
    int64_t read_errors_ = 0;
};

}  // namespace exfat
