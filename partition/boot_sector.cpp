#include "partition/boot_sector.h"

#include <cstring>

namespace partition {

namespace {
// Boot sector fields shared by FAT and NTFS.
constexpr size_t oem_name = 3;              // 8 bytes
constexpr size_t bytes_per_sector = 11;     // u16
constexpr size_t sectors_per_cluster = 13;  // u8
constexpr size_t reserved_sectors = 14;     // u16
constexpr size_t fat_count = 16;            // u8
constexpr size_t root_entry_count = 17;     // u16
constexpr size_t fat32_total_sectors = 0x20;      // u32
constexpr size_t fat32_sectors_per_fat = 36;      // u32
constexpr size_t fat32_fsinfo_sector = 48;        // u16
constexpr size_t fat32_type_label = 82;           // 8 bytes
constexpr size_t ntfs_total_sectors = 0x28;       // u64

// FSInfo sector signatures.
constexpr size_t fsinfo_lead = 0;      // "RRaA"
constexpr size_t fsinfo_struct = 484;  // "rrAa"
constexpr size_t fsinfo_trail = 508;   // 00 00 55 AA

bool is_power_of_two(unsigned value) { return value != 0 && (value & (value - 1)) == 0; }

bool fat32_by_oem_name(const uint8_t* s, size_t available)
{
    if (available < 2 * sector_bytes)
        return false;
    if (!has_boot_signature(s) || !has_boot_signature(s + sector_bytes))
        return false;
    return std::memcmp(s + oem_name, "MSWIN", 5) == 0 || std::memcmp(s + oem_name, "MSDOS", 5) == 0;
}

bool fat32_by_structure(const uint8_t* s, size_t available)
{
    if (available < 2 * sector_bytes || !has_boot_signature(s))
        return false;
    if (le16(s + bytes_per_sector) != sector_bytes)
        return false;
    if (!is_power_of_two(s[sectors_per_cluster]))
        return false;
    const unsigned reserved = le16(s + reserved_sectors);
    const unsigned fats = s[fat_count];
    if (reserved == 0 || (fats != 1 && fats != 2))
        return false;
    if (le16(s + root_entry_count) != 0 || le32(s + fat32_sectors_per_fat) == 0)
        return false;
    if (std::memcmp(s + fat32_type_label, "FAT32   ", 8) != 0)
        return false;
    // The FSInfo sector lies in the reserved area; it is checked where the
    // buffer holds it (always for the usual sector 1).
    const unsigned fsinfo = le16(s + fat32_fsinfo_sector);
    if (fsinfo == 0 || fsinfo >= reserved || (size_t(fsinfo) + 1) * sector_bytes > available)
        return false;
    const uint8_t* info = s + size_t(fsinfo) * sector_bytes;
    return std::memcmp(info + fsinfo_lead, "RRaA", 4) == 0 && std::memcmp(info + fsinfo_struct, "rrAa", 4) == 0 &&
           info[fsinfo_trail] == 0 && info[fsinfo_trail + 1] == 0 && has_boot_signature(info);
}
}  // namespace

bool has_boot_signature(const uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

bool is_ntfs_boot_sector(const uint8_t* sector)
{
    return has_boot_signature(sector) && std::memcmp(sector + oem_name, "NTFS    ", 8) == 0;
}

bool is_fat32_boot_sector(const uint8_t* sector, size_t available)
{
    return fat32_by_oem_name(sector, available) || fat32_by_structure(sector, available);
}

uint64_t ntfs_partition_sectors(const uint8_t* sector) { return le64(sector + ntfs_total_sectors) + 1; }

uint64_t fat32_partition_sectors(const uint8_t* sector) { return le32(sector + fat32_total_sectors); }

}  // namespace partition
