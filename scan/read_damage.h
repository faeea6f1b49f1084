// What the reads of a scan could not get from the medium, in the volume's own
// sectors: the one account every front end shows of a failing disk, so that
// a bad sector is always named and never taken for an empty one.
#pragma once

#include "jobs/job_note.h"
#include "platform/byte_source.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct unreadable_area_s {
    uint64_t first_sector = 0;
    uint64_t sectors = 0;
    int error = 0;  // the system's errno; 0: skipped inside a bad area, never read
};

struct slow_area_s {
    uint64_t first_sector = 0;
    uint64_t sectors = 0;
    uint32_t milliseconds = 0;
};

struct read_damage_s {
    uint32_t sector_size = 512;
    std::vector<unreadable_area_s> unreadable;
    std::vector<slow_area_s> slow;

    uint64_t unreadable_sector_count() const;
    bool empty() const { return unreadable.empty() && slow.empty(); }
};

// The source's map as sectors of its own sector size (a partial sector
// counts whole).
read_damage_s read_damage_of(const platform::byte_source_c& source);

// Lines for a text front end, one per range: "sectors 2048-2055 (8) could
// not be read: Input/output error", "slow area at sector 4096 (64 sectors,
// 1200 ms a read)".
std::string unreadable_line(const unreadable_area_s& range);
std::string slow_line(const slow_area_s& range);
// One line over everything: "12 sectors could not be read, the first at
// sector 2048 (Input/output error); they read as zeros". Empty when none.
std::string read_damage_summary(const read_damage_s& damage);
// The same as a note of the job that read (count, first sector, reason).
std::optional<job_note_s> read_damage_note(const read_damage_s& damage);
