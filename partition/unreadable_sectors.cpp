#include "partition/unreadable_sectors.h"

#include "platform/byte_source.h"

#include <algorithm>

namespace partition {

std::vector<unreadable_sectors_s> unreadable_sectors(const std::vector<platform::unreadable_range_s>& ranges,
                                                     uint32_t ss)
{
    std::vector<unreadable_sectors_s> out;
    if (ss == 0)
        return out;
    for (const platform::unreadable_range_s& r : ranges) {
        if (r.length == 0)
            continue;
        const uint64_t first = r.offset / ss;
        const uint64_t end = r.offset / ss + (r.offset % ss + r.length + ss - 1) / ss;
        // Neighbours with one cause are one range, also where the map keeps
        // them apart (a 512-byte map under a disk of 4096-byte sectors).
        if (!out.empty() && out.back().error == r.error && out.back().first_sector + out.back().sector_count >= first) {
            const uint64_t from = out.back().first_sector;
            out.back().sector_count = std::max(out.back().sector_count, end - from);
            continue;
        }
        out.push_back({first, end - first, r.error, platform::read_error_text(r.error)});
    }
    return out;
}

std::string describe(const unreadable_sectors_s& r)
{
    const std::string count = std::to_string(r.sector_count) + (r.sector_count == 1 ? " sector" : " sectors");
    const std::string where = r.sector_count == 1
                                  ? "sector " + std::to_string(r.first_sector)
                                  : "sectors " + std::to_string(r.first_sector) + "-" + std::to_string(r.last_sector());
    return where + " (" + count + "): " + r.reason;
}

uint64_t total_sectors(const std::vector<unreadable_sectors_s>& ranges)
{
    uint64_t total = 0;
    for (const unreadable_sectors_s& r : ranges)
        total += r.sector_count;
    return total;
}

}  // namespace partition
