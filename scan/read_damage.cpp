#include "scan/read_damage.h"

#include <algorithm>

uint64_t read_damage_s::unreadable_sector_count() const
{
    uint64_t sectors = 0;
    for (const unreadable_area_s& r : unreadable)
        sectors += r.sectors;
    return sectors;
}

read_damage_s read_damage_of(const platform::byte_source_c& source)
{
    read_damage_s damage;
    damage.sector_size = std::max<uint32_t>(512, source.sector_size());
    const uint64_t sector = damage.sector_size;
    auto to_sectors = [&](uint64_t offset, uint64_t length, uint64_t* first, uint64_t* count) {
        *first = offset / sector;
        *count = (offset + length + sector - 1) / sector - *first;
    };
    for (const platform::unreadable_range_s& r : source.unreadable_all()) {
        unreadable_area_s s;
        s.error = r.error;
        to_sectors(r.offset, r.length, &s.first_sector, &s.sectors);
        // Ranges of another cause may meet inside one sector of a larger
        // sector size than the map's owner used: count that sector once.
        if (!damage.unreadable.empty() && damage.unreadable.back().first_sector + damage.unreadable.back().sectors >
                                              s.first_sector) {
            unreadable_area_s& last = damage.unreadable.back();
            const uint64_t end = std::max(last.first_sector + last.sectors, s.first_sector + s.sectors);
            last.sectors = end - last.first_sector;
            continue;
        }
        damage.unreadable.push_back(s);
    }
    for (const platform::slow_range_s& r : source.slow_all()) {
        slow_area_s s;
        s.milliseconds = r.milliseconds;
        to_sectors(r.offset, r.length, &s.first_sector, &s.sectors);
        damage.slow.push_back(s);
    }
    return damage;
}

std::string unreadable_line(const unreadable_area_s& range)
{
    const std::string first = std::to_string(range.first_sector);
    std::string where = range.sectors == 1 ? "sector " + first
                                           : "sectors " + first + "-" +
                                                 std::to_string(range.first_sector + range.sectors - 1) + " (" +
                                                 std::to_string(range.sectors) + ")";
    if (range.error == 0)
        return where + (range.sectors == 1 ? " was" : " were") + " not read: inside an unreadable area";
    return where + " could not be read: " + platform::read_error_text(range.error);
}

std::string slow_line(const slow_area_s& range)
{
    return "slow area at sector " + std::to_string(range.first_sector) + " (" + std::to_string(range.sectors) +
           " sectors, " + std::to_string(range.milliseconds) + " ms a read)";
}

namespace {

// The area a summary names: the first one read and refused, else the first.
const unreadable_area_s& first_refused(const read_damage_s& damage)
{
    for (const unreadable_area_s& r : damage.unreadable)
        if (r.error != 0)
            return r;
    return damage.unreadable.front();
}

std::string first_reason(const unreadable_area_s& first)
{
    return first.error != 0 ? platform::read_error_text(first.error) : "inside an unreadable area";
}

}  // namespace

std::optional<job_note_s> read_damage_note(const read_damage_s& damage)
{
    if (damage.unreadable.empty())
        return std::nullopt;
    const unreadable_area_s& first = first_refused(damage);
    return job_note_s{"note_sectors_read_as_zeros",
                      {qulonglong(damage.unreadable_sector_count()), qulonglong(first.first_sector),
                       QString::fromStdString(first_reason(first))}};
}

std::string read_damage_summary(const read_damage_s& damage)
{
    if (damage.unreadable.empty())
        return {};
    const unreadable_area_s* first = &first_refused(damage);
    const uint64_t count = damage.unreadable_sector_count();
    std::string reason = first_reason(*first);
    return std::to_string(count) + (count == 1 ? " sector" : " sectors") + " could not be read, the first at sector " +
           std::to_string(first->first_sector) + " (" + reason + "); " + (count == 1 ? "it reads" : "they read") +
           " as zeros";
}
