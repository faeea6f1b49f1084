// The partition search's tests of a sector for an NTFS or FAT32 boot sector.
#include "partition/boot_sector.h"

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <vector>

using namespace partition;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> sector(data, data + size);
    sector.resize(std::max<size_t>(size, 512));
    has_boot_signature(sector.data());
    if (is_ntfs_boot_sector(sector.data()))
        ntfs_partition_sectors(sector.data());
    if (is_fat32_boot_sector(sector.data(), size))
        fat32_partition_sectors(sector.data());
    return 0;
}
