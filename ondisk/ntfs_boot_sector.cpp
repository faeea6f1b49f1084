#include "ondisk/ntfs_boot_sector.h"

#include "ondisk/byte_order.h"
#include "ondisk/fat_boot_sector.h"

#include <cstring>

namespace ondisk {

ntfs_boot_sector_s decode_ntfs_boot_sector(const uint8_t* s)
{
    using platform::le16;
    using platform::le64;
    ntfs_boot_sector_s b;
    b.signature = has_boot_signature(s);
    b.ntfs_oem_id = std::memcmp(s + ntfs_boot::oem_id, "NTFS    ", 8) == 0;
    b.bytes_per_sector = le16(s + ntfs_boot::bytes_per_sector);
    b.sectors_per_cluster = s[ntfs_boot::sectors_per_cluster];
    b.total_sectors = le64(s + ntfs_boot::total_sectors);
    b.mft_lcn = le64(s + ntfs_boot::mft_lcn);
    b.mftmirr_lcn = le64(s + ntfs_boot::mftmirr_lcn);
    b.clusters_per_record = static_cast<int8_t>(s[ntfs_boot::clusters_per_record]);
    return b;
}

}  // namespace ondisk
