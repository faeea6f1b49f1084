// The MBR's (and extended boot record's) on-disk entry. Decoding takes the
// fields as they stand; the walker that follows them checks them against the
// disk. The GPT's header and entry live in ondisk/gpt.h.
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

}  // namespace ondisk
