// The exFAT boot region: the boot sector's fields, the region checksum, and
// the choice between the main region and its backup. Qt-free, so that the
// partition search and a fuzzer can use it without the scanner.
#pragma once

#include <cstddef>
#include <cstdint>

namespace exfat {

// A boot region is twelve sectors: boot sector, eight extended boot sectors,
// OEM parameters, a reserved sector and the checksum sector. The backup
// region follows it.
inline constexpr uint32_t boot_region_sectors = 12;
inline constexpr uint32_t first_cluster = 2;
// Cluster numbers at and above this are not clusters (bad, end of chain).
inline constexpr uint32_t max_cluster_count = 0xFFFFFFF5u;

// What a valid boot sector says, with every field checked against the others.
struct boot_s {
    uint64_t partition_offset = 0;     // sectors; informational only
    uint64_t volume_sectors = 0;
    uint32_t fat_offset = 0;           // sectors from the volume start
    uint32_t fat_sectors = 0;
    uint32_t heap_offset = 0;          // sectors from the volume start
    uint32_t cluster_count = 0;
    uint32_t root_cluster = 0;
    uint32_t serial = 0;
    uint16_t revision = 0;
    uint16_t volume_flags = 0;
    uint8_t sector_shift = 0;          // bytes per sector = 1 << sector_shift (9..12)
    uint8_t cluster_shift = 0;         // sectors per cluster = 1 << cluster_shift
    uint8_t fat_count = 0;             // 1, or 2 with TexFAT

    uint32_t sector_bytes() const { return uint32_t{1} << sector_shift; }
    uint64_t cluster_bytes() const { return uint64_t{1} << (sector_shift + cluster_shift); }
    uint64_t volume_bytes() const { return volume_sectors << sector_shift; }
    // Byte offset of a cluster on the volume; the caller checked the number.
    uint64_t cluster_offset(uint32_t cluster) const
    {
        return (uint64_t{heap_offset} << sector_shift) + (uint64_t{cluster - first_cluster} << (sector_shift + cluster_shift));
    }
    bool valid_cluster(uint32_t cluster) const
    {
        return cluster >= first_cluster && cluster - first_cluster < cluster_count;
    }
};

enum class boot_result {
    ok,
    too_short,        // fewer bytes than a sector
    not_exfat,        // no "EXFAT   " name, signature or jump
    bad_geometry,     // a field contradicts the format or the others
    bad_checksum,     // the region's checksum sector disagrees
};

// Decodes one boot sector (at least 512 bytes available). Checks the name,
// the jump, the zeroed legacy block, the signature and every size and offset
// against the format's limits and against the volume length.
boot_result parse_boot_sector(const uint8_t* sector, size_t available, boot_s* out);

// The boot checksum over the first eleven sectors of a region, leaving out
// the volume flags and the percent-in-use bytes, which change in place.
uint32_t boot_checksum(const uint8_t* region, uint32_t sector_bytes);

// Checks a whole boot region held in memory (12 sectors): the boot sector
// and the checksum sector, every word of which must carry the checksum.
// available is the count of bytes at region.
boot_result parse_boot_region(const uint8_t* region, size_t available, boot_s* out);

// The volume's sector size from the boot sector's shift byte, or 0 when the
// sector is not plausibly exFAT; lets a reader know how much to read for the
// whole region before parsing it.
uint32_t boot_sector_bytes(const uint8_t* sector, size_t available);

}  // namespace exfat
