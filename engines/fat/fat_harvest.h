// Finding folders no walk reaches: the clusters of a deleted folder whose
// chain was freed, or every folder of a volume formatted over its files. The
// data area is read front to back in large reads, and a cluster is kept only
// when every 32-byte slot in it reads as a directory entry, so file data is
// not mistaken for a folder.
#pragma once

#include "engines/fat/fat_fs.h"

#include <cstdint>
#include <functional>

enum class fat_harvest_kind_e : uint8_t {
    none,          // not a folder's cluster
    first,         // a folder's first cluster: "." naming it and ".." its parent
    continuation,  // a later cluster of some folder (no "." entries)
};

struct fat_harvest_cluster_s {
    uint32_t cluster = 0;
    fat_harvest_kind_e kind = fat_harvest_kind_e::none;
    uint32_t parent = 0;   // first: the cluster ".." names (0 = the root)
    bool ended = false;    // an end-of-folder slot lies in it: no cluster continues it
};

// What bytes (cluster c of fs, length bytes) are. A first cluster needs "."
// with cluster c and ".." as its first two slots, both folders; every other
// slot must be a plausible entry, with nothing but zeros after an end slot.
fat_harvest_cluster_s fat_harvest_classify(const fat_volume_s* fs, uint32_t c, const uint8_t* bytes, uint32_t length);

// Whether a volume's data area holds data although its folders name
// nothing: samples clusters spread over the data area and says yes when a
// good part of them are not all zeros. Read errors count as empty.
bool fat_data_area_in_use(fat_volume_s* fs);

struct fat_harvest_pass_s {
    int64_t clusters_read = 0;
    int64_t read_errors = 0;
    bool stopped = false;   // keep_going said no
};

// Reads every cluster of the data area in order and calls found for each
// that classifies as a folder's. keep_going receives the fraction done
// between reads and ends the pass when it returns false. Unreadable stretches
// are skipped (and counted); after many the pass gives up.
fat_harvest_pass_s fat_harvest_pass(fat_volume_s* fs, const std::function<bool(double)>& keep_going,
                                    const std::function<void(const fat_harvest_cluster_s&)>& found);
