// The classic master boot record: boot code, disk signature, four 16-byte
// partition entries and the 0x55AA signature. Building the sector the repair
// writes, and telling a disk that must not get one.
#pragma once

#include "partition/partition_item.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace partition {

// Sector layout.
inline constexpr size_t mbr_kept_first = 440;   // disk signature (4) and 2 bytes after it
inline constexpr size_t mbr_kept_end = 446;
inline constexpr size_t mbr_table = 446;
inline constexpr size_t mbr_entry_size = 16;
inline constexpr size_t mbr_entry_count = 4;

// Entry layout (offsets within one entry).
inline constexpr size_t entry_status = 0;
inline constexpr size_t entry_start_chs = 1;  // 3 bytes
inline constexpr size_t entry_type = 4;
inline constexpr size_t entry_end_chs = 5;    // 3 bytes
inline constexpr size_t entry_first_lba = 8;  // u32
inline constexpr size_t entry_sector_count = 12;  // u32

inline constexpr uint8_t gpt_protective_type = 0xEE;

using sector_t = std::array<uint8_t, 512>;

// The three cylinder/head/sector bytes of a table entry for sector number L
// (only its low 32 bits count) on a disk with the given heads and sectors per
// track: head; sector (1-based) with cylinder bits 8-9 in bits 6-7; cylinder
// bits 0-7. Cylinders above 1023 wrap modulo 1024. Both counts must be > 0.
std::array<uint8_t, 3> chs_bytes(uint64_t sector_number, uint32_t heads, uint32_t sectors_per_track);

// Why a disk holding a GPT must not get a new master boot record, or an empty
// string when it may. A GPT shows in any of three places, each of which may
// be all that survived: a protective entry in sector 0, the primary header in
// sector 1, the backup header in the disk's last sector.
std::string gpt_refusal(const sector_t& old_sector, const sector_t& next_sector, const sector_t& last_sector);

// Why these partitions cannot go into a table (none at all; one starting at
// sector 0, which is a volume formatted over the whole disk, whose boot
// sector the table would overwrite; a sector number that needs more than 32
// bits; an end before the start), or an empty string. Only the first four
// go into the table; sector 0 is checked in all of them.
std::string table_refusal(const std::vector<partition_item_s>& partitions);

// The sector the repair writes: the boot code over bytes 0-439; bytes 440-445
// as in old_sector; entry 1 active (0x80) with partitions[0]; entries 2-4
// from partitions[1..3], inactive (0x00): a leftover status byte of the old
// sector would make a second active entry or one no reader accepts; entries
// without a partition all zeros; 0x55AA at the end. Call only when
// table_refusal is empty.
sector_t build_master_boot_record(const sector_t& old_sector, const std::vector<partition_item_s>& partitions,
                                  uint32_t heads, uint32_t sectors_per_track);

}  // namespace partition
