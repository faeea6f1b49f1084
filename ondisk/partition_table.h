// The partition table's on-disk records: the MBR (and extended boot record)
// entry and the GPT header and entry. Decoding takes the fields as they
// stand; the walker that follows them checks them against the disk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondisk {

namespace mbr {
inline constexpr size_t entries = 446;          // four 16-byte entries
inline constexpr size_t entry_size = 16;
inline constexpr size_t entry_type = 4;         // u8 within an entry
inline constexpr size_t entry_first_lba = 8;    // u32
inline constexpr size_t entry_sectors = 12;     // u32
inline constexpr uint8_t type_protective = 0xEE;
}  // namespace mbr

namespace gpt {
inline constexpr char signature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
inline constexpr size_t header_size = 12;       // u32
inline constexpr size_t entries_lba = 72;       // u64
inline constexpr size_t entry_count = 80;       // u32
inline constexpr size_t entry_size = 84;        // u32
inline constexpr size_t entry_type_guid = 0;    // 16 bytes, all zero: unused
inline constexpr size_t entry_first_lba = 32;   // u64
inline constexpr size_t entry_last_lba = 40;    // u64, inclusive
}  // namespace gpt

struct mbr_entry_s {
    uint8_t type = 0;
    uint32_t first_lba = 0;
    uint32_t sectors = 0;
    bool extended() const { return type == 0x05 || type == 0x0F || type == 0x85; }
    bool used() const { return type != 0 && sectors != 0; }
};

// Whether the sector ends with 0x55 0xAA, the mark of an MBR or EBR.
bool has_table_signature(const uint8_t* sector);

// Entry I (0..3) of the 512 bytes of an MBR or EBR.
mbr_entry_s decode_mbr_entry(const uint8_t* sector, int i);

struct gpt_header_s {
    bool signature = false;
    uint32_t header_size = 0;
    uint64_t entries_lba = 0;
    uint32_t entry_count = 0;
    uint32_t entry_size = 0;
};

// Decodes the first 92 bytes of a GPT header sector.
gpt_header_s decode_gpt_header(const uint8_t* sector);

struct gpt_entry_s {
    bool used = false;       // type GUID not all zero
    uint64_t first_lba = 0;
    uint64_t last_lba = 0;   // inclusive
};

// Decodes the 128 bytes of one GPT entry.
gpt_entry_s decode_gpt_entry(const uint8_t* entry);

}  // namespace ondisk
