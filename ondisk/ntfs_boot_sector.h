// The NTFS boot sector: where each field lies, and its decoding. Decoding
// takes the fields as they stand; the NTFS engine checks whether they make
// a usable volume.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondisk {

namespace ntfs_boot {
inline constexpr size_t size = 512;
inline constexpr size_t oem_id = 3;               // 8 bytes, "NTFS    "
inline constexpr size_t bytes_per_sector = 11;    // u16
inline constexpr size_t sectors_per_cluster = 13; // u8; above 0x80 a negative power of two
inline constexpr size_t total_sectors = 40;       // u64, the backup boot sector left out
inline constexpr size_t mft_lcn = 48;             // u64
inline constexpr size_t mftmirr_lcn = 56;         // u64
inline constexpr size_t clusters_per_record = 64; // s8; negative: a record is 2^-n bytes
inline constexpr size_t end_marker = 510;         // u16, 0xAA55
}  // namespace ntfs_boot

struct ntfs_boot_sector_s {
    bool signature = false;         // 0x55 0xAA at the end
    bool ntfs_oem_id = false;       // "NTFS    " at the OEM id
    uint16_t bytes_per_sector = 0;
    uint8_t sectors_per_cluster = 0;  // as stored (see ntfs_boot::sectors_per_cluster)
    uint64_t total_sectors = 0;
    uint64_t mft_lcn = 0;
    uint64_t mftmirr_lcn = 0;
    int8_t clusters_per_record = 0;   // as stored
};

// Decodes the 512 bytes at sector.
ntfs_boot_sector_s decode_ntfs_boot_sector(const uint8_t* sector);

}  // namespace ondisk
