#include "ondisk/exfat_boot_sector.h"

#include "ondisk/byte_order.h"

#include <cstring>

namespace exfat {

using platform::le16;
using platform::le32;
using platform::le64;

namespace {

constexpr size_t min_sector = 512;

bool looks_exfat(const uint8_t* s)
{
    return s[0] == 0xEB && s[1] == 0x76 && s[2] == 0x90 && std::memcmp(s + 3, "EXFAT   ", 8) == 0 &&
           s[510] == 0x55 && s[511] == 0xAA;
}

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

}  // namespace

uint32_t boot_sector_bytes(const uint8_t* sector, size_t available)
{
    if (!sector || available < min_sector || !looks_exfat(sector))
        return 0;
    const uint8_t shift = sector[108];
    return shift >= 9 && shift <= 12 ? uint32_t{1} << shift : 0;
}

boot_result parse_boot_sector(const uint8_t* s, size_t available, boot_s* out)
{
    if (!s || available < min_sector)
        return boot_result::too_short;
    if (!looks_exfat(s))
        return boot_result::not_exfat;
    // The legacy BIOS parameter block must be zero, which keeps FAT drivers
    // from mounting the volume; anything else there is not exFAT.
    for (size_t i = 11; i < 64; ++i)
        if (s[i] != 0)
            return boot_result::not_exfat;

    boot_s b;
    b.partition_offset = le64(s + 64);
    b.volume_sectors = le64(s + 72);
    b.fat_offset = le32(s + 80);
    b.fat_sectors = le32(s + 84);
    b.heap_offset = le32(s + 88);
    b.cluster_count = le32(s + 92);
    b.root_cluster = le32(s + 96);
    b.serial = le32(s + 100);
    b.revision = le16(s + 104);
    b.volume_flags = le16(s + 106);
    b.sector_shift = s[108];
    b.cluster_shift = s[109];
    b.fat_count = s[110];

    if (b.sector_shift < 9 || b.sector_shift > 12)
        return boot_result::bad_geometry;
    // Clusters are at most 32 MiB.
    if (b.cluster_shift > 25 - b.sector_shift)
        return boot_result::bad_geometry;
    if (b.fat_count != 1 && b.fat_count != 2)
        return boot_result::bad_geometry;
    if ((b.revision >> 8) != 1)
        return boot_result::bad_geometry;
    // Shifting by the sector shift must not overflow anywhere below.
    if (b.volume_sectors == 0 || b.volume_sectors > (UINT64_MAX >> 12))
        return boot_result::bad_geometry;
    if (b.fat_offset < 2 * boot_region_sectors || b.fat_sectors == 0)
        return boot_result::bad_geometry;
    const uint64_t fats_end = uint64_t{b.fat_offset} + uint64_t{b.fat_sectors} * b.fat_count;
    if (b.heap_offset < fats_end || b.heap_offset >= b.volume_sectors)
        return boot_result::bad_geometry;
    if (b.cluster_count == 0 || b.cluster_count > max_cluster_count)
        return boot_result::bad_geometry;
    if (uint64_t{b.cluster_count} > ((b.volume_sectors - b.heap_offset) >> b.cluster_shift))
        return boot_result::bad_geometry;
    if (uint64_t{b.fat_sectors} < ceil_div((uint64_t{b.cluster_count} + 2) * 4, b.sector_bytes()))
        return boot_result::bad_geometry;
    if (!b.valid_cluster(b.root_cluster))
        return boot_result::bad_geometry;
    *out = b;
    return boot_result::ok;
}

uint32_t boot_checksum(const uint8_t* region, uint32_t sector_bytes)
{
    uint32_t sum = 0;
    const size_t length = size_t{sector_bytes} * 11;
    for (size_t i = 0; i < length; ++i) {
        if (i == 106 || i == 107 || i == 112)
            continue;
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
    }
    return sum;
}

boot_result parse_boot_region(const uint8_t* region, size_t available, boot_s* out)
{
    boot_s b;
    const boot_result r = parse_boot_sector(region, available, &b);
    if (r != boot_result::ok)
        return r;
    const uint32_t sector = b.sector_bytes();
    if (available < size_t{sector} * boot_region_sectors)
        return boot_result::too_short;
    const uint32_t sum = boot_checksum(region, sector);
    const uint8_t* check = region + size_t{sector} * 11;
    for (uint32_t i = 0; i < sector; i += 4)
        if (le32(check + i) != sum)
            return boot_result::bad_checksum;
    *out = b;
    return boot_result::ok;
}

}  // namespace exfat
