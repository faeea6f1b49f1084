// The NTFS on-disk structures the engine reads: every offset and size in one
// place, decoded with explicit little-endian loads. Nothing here trusts the
// bytes; the callers check lengths against these sizes before loading.
#pragma once

#include "ondisk/byte_order.h"
#include "ondisk/ntfs_boot_sector.h"

#include <cstddef>
#include <cstdint>

namespace ntfs_layout {

using platform::le16;
using platform::le32;
using platform::le64;

// Boot sector (sector 0 of the volume): laid out once, in ondisk/.
namespace boot = ::ondisk::ntfs_boot;

// Header of an MFT file record ("FILE"), before fixups.
namespace record {
inline constexpr size_t magic = 0;            // 4 bytes "FILE"
inline constexpr size_t usa_offset = 4;       // u16
inline constexpr size_t usa_count = 6;        // u16, entries including the check value
inline constexpr size_t log_sequence = 8;     // u64, $LogFile sequence number of its last change
inline constexpr size_t sequence = 16;        // u16
inline constexpr size_t attrs_offset = 20;    // u16
inline constexpr size_t flags = 22;           // u16
inline constexpr size_t bytes_in_use = 24;    // u32
inline constexpr size_t bytes_allocated = 28; // u32
inline constexpr size_t base_reference = 32;  // u64 file reference, 0 in a base record
inline constexpr size_t header_min = 42;      // the shortest header (NTFS 1.2)
inline constexpr uint16_t flag_in_use = 0x0001;
inline constexpr uint16_t flag_directory = 0x0002;
// Update sequence stride: fixups protect every 512 bytes whatever the sector size.
inline constexpr size_t fixup_stride = 512;
}  // namespace record

// Common attribute header inside a record.
namespace attr {
inline constexpr size_t type = 0;          // u32
inline constexpr size_t length = 4;        // u32, whole attribute
inline constexpr size_t non_resident = 8;  // u8
inline constexpr size_t name_length = 9;   // u8, UTF-16 units
inline constexpr size_t name_offset = 10;  // u16
inline constexpr size_t flags = 12;        // u16
inline constexpr size_t header_min = 16;
// Resident form.
inline constexpr size_t value_length = 16;  // u32
inline constexpr size_t value_offset = 20;  // u16
inline constexpr size_t resident_size = 24;
// Non-resident form.
inline constexpr size_t lowest_vcn = 16;          // u64
inline constexpr size_t highest_vcn = 24;         // u64
inline constexpr size_t mapping_pairs_offset = 32; // u16
inline constexpr size_t compression_unit = 34;    // u8
inline constexpr size_t allocated_size = 40;      // u64
inline constexpr size_t data_size = 48;           // u64
inline constexpr size_t initialized_size = 56;    // u64
inline constexpr size_t non_resident_size = 64;

inline constexpr uint16_t flag_compressed = 0x0001;
inline constexpr uint16_t flag_encrypted = 0x4000;

inline constexpr uint32_t type_standard_information = 0x10;
inline constexpr uint32_t type_attribute_list = 0x20;
inline constexpr uint32_t type_file_name = 0x30;
inline constexpr uint32_t type_data = 0x80;
inline constexpr uint32_t type_end = 0xFFFFFFFF;
}  // namespace attr

// $STANDARD_INFORMATION value: FILETIMEs, 100 ns since 1601.
namespace std_info {
inline constexpr size_t creation_time = 0;      // u64
inline constexpr size_t modification_time = 8;  // u64
inline constexpr size_t mft_change_time = 16;   // u64
inline constexpr size_t access_time = 24;       // u64
inline constexpr size_t size_min = 48;
}  // namespace std_info

// $FILE_NAME value.
namespace file_name {
inline constexpr size_t parent_reference = 0;   // u64 file reference
inline constexpr size_t creation_time = 8;      // u64
inline constexpr size_t modification_time = 16; // u64
inline constexpr size_t access_time = 32;       // u64
inline constexpr size_t name_length = 64;       // u8, UTF-16 units
inline constexpr size_t name_space = 65;        // u8
inline constexpr size_t name = 66;              // UTF-16LE
inline constexpr uint8_t space_posix = 0;
inline constexpr uint8_t space_win32 = 1;
inline constexpr uint8_t space_dos = 2;
inline constexpr uint8_t space_win32_and_dos = 3;
}  // namespace file_name

// One entry of an $ATTRIBUTE_LIST value.
namespace list_entry {
inline constexpr size_t type = 0;            // u32
inline constexpr size_t length = 4;          // u16
inline constexpr size_t name_length = 6;     // u8
inline constexpr size_t name_offset = 7;     // u8
inline constexpr size_t lowest_vcn = 8;      // u64
inline constexpr size_t file_reference = 16; // u64
inline constexpr size_t size_min = 26;
}  // namespace list_entry

// A file reference: 48-bit record number and 16-bit sequence number.
inline uint64_t reference_record(uint64_t reference) { return reference & 0x0000FFFFFFFFFFFFull; }
inline uint16_t reference_sequence(uint64_t reference) { return uint16_t(reference >> 48); }

}  // namespace ntfs_layout
