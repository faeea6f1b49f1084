// A GPT disk as the repair sees it: which of its three marks (protective
// MBR, primary header and array, backup header and array) are sound, and
// the sectors that make it whole again, either from the surviving copy or,
// when both are gone, from the partitions the search found.
#pragma once

#include "ondisk/gpt.h"
#include "partition/partition_item.h"
#include "partition/sector0_backup.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
class byte_source_c;
}

namespace partition {

// The disk's logical sector size. An image file does not say; one whose GPT
// header lies 4096 bytes in (and not 512) was written for 4096-byte sectors.
uint32_t logical_sector_bytes(const platform::byte_source_c& disk);

struct gpt_copy_s {
    bool present = false;      // "EFI PART" where the header belongs
    std::string problem;       // what is wrong with it; empty when sound
    uint64_t header_lba = 0;
    ondisk::gpt_header_fields_s header;
    std::vector<uint8_t> header_sector;  // as read, one logical sector
    std::vector<uint8_t> entries;        // entry_count * entry_size bytes, as read
    bool sound() const { return present && problem.empty(); }
};

struct gpt_state_s {
    uint32_t sector_bytes = 512;
    uint64_t disk_sectors = 0;
    bool protective_mbr = false;  // sector 0 carries a 0xEE entry
    gpt_copy_s primary, backup;
    // A disk whose protective MBR or either header survives is a GPT disk.
    bool is_gpt() const { return protective_mbr || primary.present || backup.present; }
    bool whole() const { return protective_mbr && primary.sound() && backup.sound(); }
    // "primary sound, backup damaged (header CRC32 does not match), protective MBR missing"
    std::string summary() const;
};

gpt_state_s read_gpt_state(const platform::byte_source_c& disk);
// The same for the disk at device_path, opened read-only with this process's
// own rights (no password is asked for). False with a one-line *error when
// it cannot be opened.
bool read_gpt_state(const std::string& device_path, gpt_state_s* state, std::string* error = nullptr);

// What a GPT repair writes, in byte ranges of the disk, and why it may not.
struct gpt_plan_s {
    std::vector<sector_range_s> writes;
    std::string refusal;
    std::vector<partition_item_s> partitions;  // what the table holds, by start
};

// The protective MBR for a disk of disk_sectors: old_sector0's first 446
// bytes kept (boot code, disk signature), one 0xEE entry over the disk.
std::vector<uint8_t> protective_mbr(const std::vector<uint8_t>& old_sector0, uint64_t disk_sectors);

// Rebuilds whatever of the protective MBR and the two copies is damaged from
// the sound copy: the entries byte for byte, the header with its own and its
// twin's place swapped and the CRC made anew. Refused when neither copy is
// sound or nothing is damaged.
gpt_plan_s plan_gpt_from_copy(const gpt_state_s& state, const std::vector<uint8_t>& old_sector0);

// A new GPT over the whole disk from found partitions (fresh disk and
// partition GUIDs, type GUIDs by file system, names from labels, 128
// entries), with a protective MBR. Refused when none was found or one does
// not fit between the tables.
gpt_plan_s plan_new_gpt(uint32_t sector_bytes, uint64_t disk_sectors, const std::vector<partition_item_s>& found,
                        const std::vector<uint8_t>& old_sector0);

// The partitions a sound GPT copy lists, as search records (with the type
// GUID's file system family as the name where it says one).
std::vector<partition_item_s> gpt_partitions(const gpt_copy_s& copy, uint32_t sector_bytes);

// The sectors a GPT repair saves before it writes: the first 34 and the
// last 33 (of the disk's sector size), sector 0's first 512 bytes apart.
std::vector<sector_range_s> gpt_backup_ranges(uint32_t sector_bytes, uint64_t disk_sectors);

// The type GUID a new GPT gives a partition of this file system.
ondisk::guid_t gpt_type_for(const partition_item_s& p);

}  // namespace partition
