// Recognising NTFS, FAT32 and exFAT boot sectors in raw disk bytes, and the
// partition length each one states. The structures are decoded by ondisk/
// and, for exFAT, by the exFAT reader.
#pragma once

#include "ondisk/byte_order.h"
#include "platform/byte_source.h"

#include <cstddef>
#include <cstdint>

namespace partition {

inline constexpr size_t sector_bytes = 512;

using platform::le16;
using platform::le32;
using platform::le64;
using platform::store_le32;

// Whether the sector ends with the 0x55, 0xAA signature.
bool has_boot_signature(const uint8_t* sector);

// Whether the 512 bytes at sector are an NTFS boot sector: the signature and
// "NTFS    " at bytes 3-10.
bool is_ntfs_boot_sector(const uint8_t* sector);

// Whether sector is a FAT32 boot sector. available is how many bytes of the
// buffer start at sector (at least 1024 are needed). Returns true for either
// of two matches:
//  - the OEM name starts with "MSWIN" or "MSDOS" and both this sector and the
//    next one end with 0x55AA;
//  - the structure of a FAT32 volume: 512 bytes per sector, a power-of-two
//    cluster size, reserved sectors holding the FSInfo sector, one or two
//    FATs, no fixed root directory, a non-zero FAT size, "FAT32   " at byte
//    82, and an FSInfo sector with its three signatures. This one finds
//    volumes formatted by cameras and other systems, whatever their OEM name.
// On a disk of ss-byte sectors the next sector lies ss bytes on and the
// structure's bytes per sector must be ss.
bool is_fat32_boot_sector(const uint8_t* sector, size_t available, uint32_t ss = sector_bytes);

// The length in bytes of the FAT12 or FAT16 volume whose boot sector this is
// (a disk of ss-byte sectors), with its kind in *fat ("FAT12"/"FAT16"):
// "FAT" at its type label, a fixed root directory, a 16-bit FAT size, and
// fields that make a volume of fewer than 65525 clusters. 0 for anything else.
uint64_t fat16_volume_bytes(const uint8_t* sector, uint32_t ss, const char** fat);

// The partition length in sectors an NTFS boot sector states: its 64-bit
// total-sector count plus the backup boot sector it leaves out. Wraps to 0 for
// a count of all ones.
uint64_t ntfs_partition_sectors(const uint8_t* sector);

// The partition length in sectors a FAT32 boot sector states: its 16-bit
// total-sector count, or the 32-bit one where that is 0.
uint64_t fat32_partition_sectors(const uint8_t* sector);

// Whether the root folder of the FAT volume whose boot sector is `boot`
// (byte `offset` of device) holds an "EFI" folder: an EFI system partition.
// Only the fixed root (FAT12/16) or the root's first cluster (FAT32, at most
// 64 KiB) is read; anything that does not add up answers no.
bool fat_root_has_efi(const platform::byte_source_c& device, uint64_t offset, const uint8_t* boot);

// The length in 512-byte sectors of the exFAT volume whose boot sector is
// sector, found at byte offset of device: its boot region (read from the
// device, twelve of its sectors) must be sound and carry its checksum.
// Returns 0 for anything else; reads only for a sector named "EXFAT   ".
// *start is where the volume begins: offset, or twelve of its sectors
// earlier where offset holds the backup region of a volume whose main
// region is gone (its FAT lies where the earlier start puts it).
uint64_t exfat_partition_sectors(const platform::byte_source_c& device, uint64_t offset, const uint8_t* sector,
                                 uint64_t* start);

// A FAT32 volume keeps a copy of its boot sector in its reserved area
// (sector 6, or where the BPB says), and NTFS one in its last sector; with
// the primary gone, a search meets the copy first. These give the byte where
// the volume whose boot sector (or its copy) lies at byte `at` begins: `at`
// itself, or the earlier start when `at` holds the copy. That is the case
// when a boot sector with the same geometry lies at the copy's distance
// before `at`, or when the volume's own structures (the FATs; the MFT or its
// mirror) lie where the earlier start puts them and not where `at` does.
// Unreadable bytes count as absent.
uint64_t fat32_volume_start(const platform::byte_source_c& device, uint64_t at, const uint8_t* boot, uint32_t ss);
uint64_t ntfs_volume_start(const platform::byte_source_c& device, uint64_t at, const uint8_t* boot, uint32_t ss);

}  // namespace partition
