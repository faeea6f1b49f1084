// The GUID partition table's header and entry: decoding, encoding and the
// CRC32 both carry. A header is only as good as its checks: check_gpt_header
// names what is wrong with one read from a given sector of a given disk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ondisk {

using guid_t = std::array<uint8_t, 16>;

// The CRC32 of the GPT (and of zip, PNG, ...): reflected, 0xEDB88320.
uint32_t crc32(const uint8_t* data, size_t length, uint32_t crc = 0);

namespace gpt_header {
inline constexpr char signature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
inline constexpr size_t revision = 8;        // u32, 0x00010000
inline constexpr size_t size = 12;           // u32, 92 and up
inline constexpr size_t crc = 16;            // u32, over `size` bytes with itself zero
inline constexpr size_t my_lba = 24;         // u64
inline constexpr size_t alternate_lba = 32;  // u64
inline constexpr size_t first_usable = 40;   // u64
inline constexpr size_t last_usable = 48;    // u64
inline constexpr size_t disk_guid = 56;      // 16 bytes
inline constexpr size_t entries_lba = 72;    // u64
inline constexpr size_t entry_count = 80;    // u32
inline constexpr size_t entry_size = 84;     // u32
inline constexpr size_t entries_crc = 88;    // u32
inline constexpr uint32_t usual_size = 92;
inline constexpr uint32_t usual_revision = 0x00010000;
}  // namespace gpt_header

namespace gpt_entry {
inline constexpr size_t type_guid = 0;
inline constexpr size_t unique_guid = 16;
inline constexpr size_t first_lba = 32;   // u64
inline constexpr size_t last_lba = 40;    // u64, inclusive
inline constexpr size_t attributes = 48;  // u64
inline constexpr size_t name = 56;        // 36 UTF-16LE units
inline constexpr size_t name_units = 36;
inline constexpr uint32_t usual_size = 128;
inline constexpr uint32_t usual_count = 128;
}  // namespace gpt_entry

// A table larger than this is not one any tool wrote, and would cost memory.
inline constexpr uint64_t gpt_most_entry_bytes = 1 << 20;

struct gpt_header_fields_s {
    bool signature = false;   // "EFI PART"
    uint32_t revision = 0;
    uint32_t header_size = 0;
    uint32_t header_crc = 0;
    uint64_t my_lba = 0;
    uint64_t alternate_lba = 0;
    uint64_t first_usable = 0;
    uint64_t last_usable = 0;
    guid_t disk_guid{};
    uint64_t entries_lba = 0;
    uint32_t entry_count = 0;
    uint32_t entry_size = 0;
    uint32_t entries_crc = 0;

    uint64_t entry_bytes() const { return uint64_t(entry_count) * entry_size; }
    // Sectors the entry array fills, for sectors of sector_bytes.
    uint64_t entry_sectors(uint32_t sector_bytes) const
    {
        return (entry_bytes() + sector_bytes - 1) / sector_bytes;
    }
};

// Decodes a header sector (at least 92 bytes).
gpt_header_fields_s decode_gpt_header_fields(const uint8_t* sector);

// Writes h into the first 92 bytes of sector (sector_bytes long, the rest
// zeroed) with header_size 92 and the header CRC computed; h.header_crc is
// ignored.
void encode_gpt_header(const gpt_header_fields_s& h, uint8_t* sector, size_t sector_bytes);

// The header CRC as it should be for the sector's own header_size bytes, or
// nullopt-like false in *sane when header_size does not fit the sector.
uint32_t gpt_header_crc(const uint8_t* sector, size_t sector_bytes, bool* sane);

// What is wrong with a header read from sector `at` of a disk of
// disk_sectors sectors of sector_bytes: its signature, size, CRC, its own
// position, the usable range, the entry array's size and place. Empty when
// it is sound (its entries are checked apart, against entries_crc).
std::string check_gpt_header(const uint8_t* sector, size_t sector_bytes, uint64_t at, uint64_t disk_sectors);

struct gpt_entry_fields_s {
    guid_t type_guid{};
    guid_t unique_guid{};
    uint64_t first_lba = 0;
    uint64_t last_lba = 0;
    uint64_t attributes = 0;
    std::u16string name;  // up to the first NUL
    bool used() const;    // type GUID not all zero
};

gpt_entry_fields_s decode_gpt_entry_fields(const uint8_t* entry);
// Writes e over the 128 bytes at entry (a longer name is cut at 36 units).
void encode_gpt_entry(const gpt_entry_fields_s& e, uint8_t* entry);

// What is wrong with the used entries of a sound header's array (entries:
// h.entry_count entries of h.entry_size bytes): one that ends before it
// starts, lies outside the header's usable sectors or past the disk's end,
// or overlaps another. Empty when none is; the first fault found otherwise,
// naming the entries (numbered from 1).
std::string check_gpt_entries(const uint8_t* entries, const gpt_header_fields_s& h, uint64_t disk_sectors);

// A GUID in its text form, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B" (the
// first three fields little-endian on disk), and back; parse returns false
// on anything else.
std::string guid_text(const guid_t& g);
bool parse_guid(const char* text, guid_t* g);

}  // namespace ondisk
