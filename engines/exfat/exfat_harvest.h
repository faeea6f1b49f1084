// Finding exFAT folders no walk reaches: the data area is read front to back
// in large reads, and a cluster is kept when every 32-byte slot in it carries
// a directory entry type and at least one whole file entry set in it passes
// its checksum, so file data is not mistaken for a folder.
#pragma once

#include "engines/exfat/exfat_volume.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace exfat {

// Whether length bytes (one cluster) read as a folder's cluster.
bool harvest_cluster_is_folder(const uint8_t* bytes, size_t length);

// Whether some clusters the bitmap calls free hold data (samples spread over
// the heap, the front first, where cards are filled from).
bool free_clusters_hold_data(volume_c& fs);

struct harvest_pass_s {
    int64_t read_errors = 0;
    bool stopped = false;
};

// Reads every cluster of the heap in order and calls found(cluster, bytes)
// for each free one, as skip does not reject, that reads as a folder's.
// keep_going gets the fraction done between reads and ends the pass when it
// returns false.
harvest_pass_s harvest_pass(volume_c& fs, const std::function<bool(double)>& keep_going,
                            const std::function<bool(uint32_t)>& skip,
                            const std::function<void(uint32_t, const uint8_t*, size_t)>& found);

}  // namespace exfat
