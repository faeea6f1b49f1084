#include "ondisk/fat_boot_sector.h"

#include "ondisk/byte_order.h"

#include <cstring>

namespace ondisk {

using platform::le16;
using platform::le32;

bool has_boot_signature(const uint8_t* sector)
{
    return sector[fat_boot::signature] == 0x55 && sector[fat_boot::signature + 1] == 0xAA;
}

fat_boot_sector_s decode_fat_boot_sector(const uint8_t* s)
{
    fat_boot_sector_s b;
    b.signature = has_boot_signature(s);
    b.fat_label16 = std::memcmp(s + fat_boot::type_label16, "FAT", 3) == 0;
    b.fat_label32 = std::memcmp(s + fat_boot::type_label32, "FAT", 3) == 0;
    b.fat32_label = std::memcmp(s + fat_boot::type_label32, "FAT32   ", 8) == 0;
    std::memcpy(b.oem_name, s + fat_boot::oem_name, sizeof b.oem_name);
    b.bytes_per_sector = le16(s + fat_boot::bytes_per_sector);
    b.sectors_per_cluster = s[fat_boot::sectors_per_cluster];
    b.reserved_sectors = le16(s + fat_boot::reserved_sectors);
    b.fat_count = s[fat_boot::fat_count];
    b.root_entries = le16(s + fat_boot::root_entries);
    b.total_sectors32 = le32(s + fat_boot::total_sectors32);
    b.total_sectors = le16(s + fat_boot::total_sectors16);
    if (b.total_sectors == 0)
        b.total_sectors = b.total_sectors32;
    b.fat_sectors32 = le32(s + fat_boot::fat_sectors32);
    b.fat_sectors = le16(s + fat_boot::fat_sectors16);
    if (b.fat_sectors == 0)
        b.fat_sectors = b.fat_sectors32;
    b.root_cluster = le32(s + fat_boot::root_cluster32);
    b.fsinfo_sector = le16(s + fat_boot::fsinfo_sector32);
    b.backup_boot = le16(s + fat_boot::backup_boot32);
    b.ext_flags = le16(s + fat_boot::ext_flags32);
    b.media = s[fat_boot::media];
    return b;
}

fsinfo_s decode_fsinfo(const uint8_t* s)
{
    fsinfo_s f;
    f.valid = std::memcmp(s + fsinfo::lead_signature, "RRaA", 4) == 0 &&
              std::memcmp(s + fsinfo::struct_signature, "rrAa", 4) == 0 && s[fsinfo::trail_signature] == 0 &&
              s[fsinfo::trail_signature + 1] == 0 && has_boot_signature(s);
    f.free_clusters = le32(s + fsinfo::free_clusters);
    f.next_free = le32(s + fsinfo::next_free);
    return f;
}

}  // namespace ondisk
