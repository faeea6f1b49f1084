// Writing a new partition table to sector 0, with every refusal that keeps
// the repair from destroying a volume: the cheap ones that need no search
// (GPT, sector size, a volume over the whole disk), the ones that need the
// found list, and the current table's partitions the new one would drop.
#pragma once

#include "partition/partition_item.h"
#include "platform/raw_device.h"

#include <optional>
#include <string>
#include <vector>

namespace partition {

// Why a repair wrote or did not write; front ends map it to their message.
enum class repair_status {
    written,
    no_drive,            // no disk chosen
    search_running,      // the search has not ended
    search_incomplete,   // the search was stopped or failed part way
    nothing_found,       // no partition to put in a table
    whole_disk_volume,   // a volume starts at sector 0: nothing to repair
    beyond_limit,        // a partition reaches sector 2^32
    gpt_disk,            // the disk holds a GPT
    sector_size,         // sectors other than 512 bytes
    would_drop,          // the current table has partitions the new one lacks
    in_use,              // a partition of the disk is mounted or held
    other_disk,          // a restore: the backup was taken from another disk
    failed,              // the disk could not be read or written
};

// A partition of the disk's current table that the new table would leave out.
struct table_loss_s {
    int number = 0;             // the partition number the system gives it
    uint64_t start_sector = 0;
    uint64_t sector_count = 0;
    std::string file_system;    // "FAT16", "NTFS", ...; empty when unknown
};

struct repair_outcome_s {
    int result = -1;
    repair_status status = repair_status::failed;
    std::string reason;       // why it failed or was refused; empty on success
    std::string backup_path;  // the old sector 0's copy, once one was saved
    std::string note;         // after success: "reboot or replug ..." when the system kept the old table
    std::vector<table_loss_s> dropped;  // with would_drop, or what a forced repair dropped
};

struct table_request_s {
    std::string device_path;
    std::optional<platform::disk_geometry_s> geometry;  // heads and sectors per track for CHS
    std::vector<partition_item_s> partitions;          // as found, by start sector
    bool drop_confirmed = false;  // the person agreed to lose `dropped`
};

// One line naming each lost partition: "partition 1 (FAT16, sectors 63-20479)".
std::string describe_losses(const std::vector<table_loss_s>& losses);

// The refusals that need no search: a part of the disk is mounted, the disk
// cannot be read, its sectors are not 512 bytes, it holds a GPT, or sector 0 holds a FAT, exFAT or NTFS
// volume's boot sector. result 0 when a repair may go on to the search.
repair_outcome_s check_disk_before_search(const std::string& device_path);

// The partitions of the disk's current table (when libblkid reads one) that
// the table built from `found` would not keep (no new entry starts where
// they start): other file systems, logical partitions, ones not found.
std::vector<table_loss_s> partitions_dropped(const std::string& device_path,
                                             const std::vector<partition_item_s>& found);

// The repair: every refusal above, then the old sector 0 saved (flushed and
// read back), the new one written, read back and compared, and the kernel
// asked to re-read the table. Blocking; run it off the GUI thread.
repair_outcome_s write_table(const table_request_s& request);

}  // namespace partition
