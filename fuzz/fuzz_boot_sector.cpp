// Boot sectors: the partition search's tests for an NTFS or FAT32 boot
// sector, the shared FAT and NTFS boot-sector and FSInfo decoders, and the
// FAT short-name decoders.
#include "engines/fat/fat_name.h"
#include "ondisk/fat_boot_sector.h"
#include "ondisk/ntfs_boot_sector.h"
#include "partition/boot_sector.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> sector(data, data + size);
    sector.resize(std::max<size_t>(size, 512));
    partition::has_boot_signature(sector.data());
    if (partition::is_ntfs_boot_sector(sector.data()))
        partition::ntfs_partition_sectors(sector.data());
    if (partition::is_fat32_boot_sector(sector.data(), size))
        partition::fat32_partition_sectors(sector.data());
    ondisk::decode_fat_boot_sector(sector.data());
    ondisk::decode_fsinfo(sector.data());
    ondisk::decode_ntfs_boot_sector(sector.data());
    // A directory entry's short name and case flags.
    char16_t name[13];
    fat_short_name_to_utf16(sector.data(), sector[12], name);
    fat_short_name_checksum(sector.data());
    return 0;
}
