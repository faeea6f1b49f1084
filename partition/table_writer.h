// Writing a new partition table, an MBR in sector 0 or a GPT at both ends of
// the disk, with every refusal that keeps the repair from destroying a
// volume: the cheap ones that need no search (sector size, a volume over the
// whole disk, an MBR over a GPT), the ones that need the found list, and the
// current table's partitions the new one would drop.
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
    gpt_disk,            // an MBR was asked for, but the disk holds a GPT
    nothing_to_repair,   // both GPT copies and the protective MBR are sound
    sector_size,         // sectors other than 512 or 4096 bytes
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

// Which table a repair writes. automatic: a GPT where the disk shows one
// (its protective MBR or either header survives) or where an MBR cannot
// hold the disk (over 2 TiB without any table) or the partitions found.
enum class table_kind { automatic, mbr, gpt };

struct repair_outcome_s {
    int result = -1;
    table_kind written = table_kind::mbr;  // what was (or would have been) written
    repair_status status = repair_status::failed;
    std::string reason;       // why it failed or was refused; empty on success
    std::string backup_path;  // the old sector 0's copy, once one was saved
    std::string note;         // after success: "reboot or replug ..." when the system kept the old table
    uint64_t sectors_restored = 0;  // an undo: how many sectors went back
    std::vector<table_loss_s> dropped;  // with would_drop, or what a forced repair dropped
};

struct table_request_s {
    std::string device_path;
    std::optional<platform::disk_geometry_s> geometry;  // heads and sectors per track for CHS
    std::vector<partition_item_s> partitions;          // as found, by start sector
    bool drop_confirmed = false;  // the person agreed to lose `dropped`
    table_kind kind = table_kind::automatic;
};

// One line naming each lost partition: "partition 1 (FAT16, sectors 63-20479)".
std::string describe_losses(const std::vector<table_loss_s>& losses);

// The refusals that need no search: a part of the disk is mounted, the disk
// cannot be read, its sectors are not 512 or 4096 bytes, an MBR was asked
// for and it holds a GPT, or sector 0 holds a FAT, exFAT or NTFS volume's
// boot sector. result 0 when a repair may go on to the search.
repair_outcome_s check_disk_before_search(const std::string& device_path, table_kind kind = table_kind::automatic);

// Whether the repair of this disk needs the search at all: not when a sound
// GPT copy is there to rebuild the rest from.
bool repair_needs_search(const std::string& device_path, table_kind kind = table_kind::automatic);

// The table a repair of the disk writes when asked for `kind`.
table_kind chosen_table_kind(const std::string& device_path, table_kind kind,
                             const std::vector<partition_item_s>& found);

// The partitions of the disk's current table (when libblkid reads one) that
// the table built from `found` would not keep (no new entry starts where
// they start): other file systems, logical partitions, ones not found. An
// MBR keeps the first four found, a GPT all of them; a GPT repaired from its
// surviving copy keeps that copy's.
std::vector<table_loss_s> partitions_dropped(const std::string& device_path,
                                             const std::vector<partition_item_s>& found,
                                             table_kind kind = table_kind::automatic);

// The same against a given list, of which the first `used` go into the
// table, on a disk of ss-byte sectors. Where this process may not read the
// path, the table is read through open_disk (the repair's own descriptor)
// or, without one, a descriptor asked for.
std::vector<table_loss_s> partitions_dropped_from(const std::string& device_path,
                                                  const std::vector<partition_item_s>& found, uint32_t ss,
                                                  size_t used, const platform::byte_source_c* open_disk = nullptr);

// The repair: every refusal above, then the sectors it replaces saved
// (sector 0 for an MBR; the first 34 and last 33 sectors for a GPT), flushed
// and read back, the new ones written, read back and compared, and the
// kernel asked to re-read the table. A GPT with one sound copy is rebuilt
// from it (the found list is not used); with none, from the found list.
// Blocking; run it off the GUI thread.
repair_outcome_s write_table(const table_request_s& request);

}  // namespace partition
