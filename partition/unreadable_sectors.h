// What the partition search could not read, in the disk's sectors: the
// source's map of unreadable bytes as the person is told of it.
#pragma once

#include "platform/unreadable_map.h"

#include <cstdint>
#include <string>
#include <vector>

namespace partition {

struct unreadable_sectors_s {
    uint64_t first_sector = 0;
    uint64_t sector_count = 0;
    int error = 0;       // the errno of the failed read; 0: skipped inside a bad area, never read
    std::string reason;  // the system's text for error ("not read" for 0)

    uint64_t last_sector() const { return first_sector + sector_count - 1; }
    bool operator==(const unreadable_sectors_s&) const = default;
};

// ranges (bytes, sorted) in sectors of ss bytes; a range that covers part of
// a sector covers that sector.
std::vector<unreadable_sectors_s> unreadable_sectors(const std::vector<platform::unreadable_range_s>& ranges,
                                                     uint32_t ss);

// "sector 4100 (1 sector): Input/output error", "sectors 9000-9007 (8
// sectors): ...": one range for a message line.
std::string describe(const unreadable_sectors_s& range);

// How many sectors the ranges hold together.
uint64_t total_sectors(const std::vector<unreadable_sectors_s>& ranges);

}  // namespace partition
