#include "partition/boot_sector.h"

#include "ondisk/fat_boot_sector.h"
#include "ondisk/ntfs_boot_sector.h"

#include <cstring>

namespace partition {

namespace {

bool is_power_of_two(unsigned value) { return value != 0 && (value & (value - 1)) == 0; }

bool fat32_by_oem_name(const uint8_t* s, size_t available)
{
    if (available < 2 * sector_bytes)
        return false;
    if (!has_boot_signature(s) || !has_boot_signature(s + sector_bytes))
        return false;
    const ondisk::fat_boot_sector_s boot = ondisk::decode_fat_boot_sector(s);
    return std::memcmp(boot.oem_name, "MSWIN", 5) == 0 || std::memcmp(boot.oem_name, "MSDOS", 5) == 0;
}

bool fat32_by_structure(const uint8_t* s, size_t available)
{
    if (available < 2 * sector_bytes || !has_boot_signature(s))
        return false;
    const ondisk::fat_boot_sector_s boot = ondisk::decode_fat_boot_sector(s);
    if (boot.bytes_per_sector != sector_bytes)
        return false;
    if (!is_power_of_two(boot.sectors_per_cluster))
        return false;
    const unsigned reserved = boot.reserved_sectors;
    const unsigned fats = boot.fat_count;
    if (reserved == 0 || (fats != 1 && fats != 2))
        return false;
    if (boot.root_entries != 0 || boot.fat_sectors32 == 0)
        return false;
    if (!boot.fat32_label)
        return false;
    // The FSInfo sector lies in the reserved area; it is checked where the
    // buffer holds it (always for the usual sector 1).
    const unsigned fsinfo = boot.fsinfo_sector;
    if (fsinfo == 0 || fsinfo >= reserved || (size_t(fsinfo) + 1) * sector_bytes > available)
        return false;
    return ondisk::decode_fsinfo(s + size_t(fsinfo) * sector_bytes).valid;
}
}  // namespace

bool has_boot_signature(const uint8_t* sector) { return ondisk::has_boot_signature(sector); }

bool is_ntfs_boot_sector(const uint8_t* sector)
{
    const ondisk::ntfs_boot_sector_s boot = ondisk::decode_ntfs_boot_sector(sector);
    return boot.signature && boot.ntfs_oem_id;
}

bool is_fat32_boot_sector(const uint8_t* sector, size_t available)
{
    return fat32_by_oem_name(sector, available) || fat32_by_structure(sector, available);
}

uint64_t ntfs_partition_sectors(const uint8_t* sector)
{
    return ondisk::decode_ntfs_boot_sector(sector).total_sectors + 1;
}

uint64_t fat32_partition_sectors(const uint8_t* sector) { return ondisk::decode_fat_boot_sector(sector).total_sectors32; }

}  // namespace partition
