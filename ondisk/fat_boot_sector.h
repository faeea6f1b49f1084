// The FAT boot sector (BIOS parameter block) and the FAT32 FSInfo sector:
// where each field lies, and their decoding. Decoding takes the fields as
// they stand; whether they make a usable volume is the caller's question.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondisk {

inline constexpr size_t sector_bytes = 512;

namespace fat_boot {
inline constexpr size_t oem_name = 3;             // 8 bytes
inline constexpr size_t bytes_per_sector = 11;    // u16
inline constexpr size_t sectors_per_cluster = 13; // u8
inline constexpr size_t reserved_sectors = 14;    // u16
inline constexpr size_t fat_count = 16;           // u8
inline constexpr size_t root_entries = 17;        // u16, 0 on FAT32
inline constexpr size_t total_sectors16 = 19;     // u16, 0: see total_sectors32
inline constexpr size_t media = 21;               // u8, also the low byte of FAT entry 0
inline constexpr size_t fat_sectors16 = 22;       // u16, 0 on FAT32
inline constexpr size_t total_sectors32 = 32;     // u32
inline constexpr size_t fat_sectors32 = 36;       // u32, FAT32
inline constexpr size_t ext_flags32 = 40;         // u16, FAT32: bit 7 = one FAT active, bits 0-3 which
inline constexpr size_t root_cluster32 = 44;      // u32, FAT32
inline constexpr size_t fsinfo_sector32 = 48;     // u16, FAT32
inline constexpr size_t backup_boot32 = 50;       // u16, FAT32: sector of the boot sector's copy (6)
inline constexpr size_t type_label16 = 54;        // 8 bytes, "FAT12   " / "FAT16   "
inline constexpr size_t type_label32 = 82;        // 8 bytes, "FAT32   "
inline constexpr size_t signature = 510;          // 0x55 0xAA
}  // namespace fat_boot

namespace fsinfo {
inline constexpr size_t lead_signature = 0;       // "RRaA"
inline constexpr size_t struct_signature = 484;   // "rrAa"
inline constexpr size_t free_clusters = 488;      // u32, 0xFFFFFFFF = unknown
inline constexpr size_t next_free = 492;          // u32
inline constexpr size_t trail_signature = 508;    // 00 00 55 AA
inline constexpr uint32_t unknown = 0xFFFFFFFF;
}  // namespace fsinfo

// Whether the 512-byte sector ends with 0x55, 0xAA.
bool has_boot_signature(const uint8_t* sector);

struct fat_boot_sector_s {
    bool signature = false;        // 0x55 0xAA at the end
    bool fat_label16 = false;      // "FAT" at the FAT12/16 type label
    bool fat_label32 = false;      // "FAT" at the FAT32 type label
    bool fat32_label = false;      // exactly "FAT32   " at the FAT32 type label
    char oem_name[8] = {};
    uint16_t bytes_per_sector = 0;
    uint8_t sectors_per_cluster = 0;
    uint16_t reserved_sectors = 0;
    uint8_t fat_count = 0;
    uint16_t root_entries = 0;
    uint32_t total_sectors = 0;    // the 16-bit count, or the 32-bit one when that is 0
    uint32_t total_sectors32 = 0;  // the 32-bit count as it stands
    uint32_t fat_sectors = 0;      // the 16-bit count, or the FAT32 one when that is 0
    uint32_t fat_sectors32 = 0;    // the FAT32 count as it stands
    uint32_t root_cluster = 0;     // FAT32
    uint16_t fsinfo_sector = 0;    // FAT32
    uint16_t backup_boot = 0;      // FAT32
    uint16_t ext_flags = 0;        // FAT32
    uint8_t media = 0;
};

// Decodes the 512 bytes at sector.
fat_boot_sector_s decode_fat_boot_sector(const uint8_t* sector);

struct fsinfo_s {
    bool valid = false;            // all three signatures in place
    uint32_t free_clusters = fsinfo::unknown;
    uint32_t next_free = fsinfo::unknown;
};

// Decodes the 512 bytes of an FSInfo sector.
fsinfo_s decode_fsinfo(const uint8_t* sector);

}  // namespace ondisk
