// exFAT directory entries: the file entry set (file, stream extension and
// name entries) in its live and deleted forms, its checksum, timestamps with
// their UTC offsets, and the up-cased name hash. Qt-free; every byte handed
// in is hostile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace exfat {

inline constexpr size_t entry_bytes = 32;
inline constexpr uint8_t entry_in_use = 0x80;  // cleared when an entry is deleted

enum entry_type : uint8_t {
    type_end = 0x00,        // no entry here nor after it
    type_bitmap = 0x81,
    type_upcase = 0x82,
    type_label = 0x83,
    type_file = 0x85,
    type_stream = 0xC0,
    type_name = 0xC1,
    type_file_deleted = type_file & ~entry_in_use,
    type_stream_deleted = type_stream & ~entry_in_use,
    type_name_deleted = type_name & ~entry_in_use,
};

inline constexpr uint16_t attr_directory = 0x10;
inline constexpr uint8_t stream_allocation_possible = 0x01;
inline constexpr uint8_t stream_no_fat_chain = 0x02;
// A file set is the file entry, one stream extension and 1..17 name entries
// (255 characters, 15 to an entry).
inline constexpr uint8_t min_secondary_count = 2;
inline constexpr uint8_t max_secondary_count = 18;
inline constexpr size_t name_units_per_entry = 15;
inline constexpr size_t max_name_units = 255;

// One timestamp as stored: the packed date and time, the 10 ms increment
// (0..199) and the UTC offset byte (bit 7: offset valid; bits 0-6: signed
// quarter hours east of UTC).
struct timestamp_s {
    uint32_t packed = 0;
    uint8_t ten_ms = 0;
    uint8_t utc_offset = 0;
};

// Seconds since 1970 (UTC). With a valid offset the stamp is converted
// exactly; without one it is taken as this machine's local time, as a
// camera without a clock setting writes it. Returns 0 for a date that
// cannot exist (month 0, day 31 of February, hour 25, ...).
int64_t timestamp_seconds(const timestamp_s& t);

// One file entry set, decoded.
struct entry_set_s {
    bool deleted = false;
    uint8_t secondary_count = 0;
    uint16_t attributes = 0;
    timestamp_s created, modified, accessed;
    uint8_t stream_flags = 0;
    uint16_t name_hash = 0;
    uint64_t valid_length = 0;   // bytes written; beyond it the file reads as zeros
    uint64_t data_length = 0;
    uint32_t first_cluster = 0;
    std::u16string name;         // exactly the stored name length

    bool is_directory() const { return attributes & attr_directory; }
    bool no_fat_chain() const { return stream_flags & stream_no_fat_chain; }
    size_t entry_count() const { return size_t{secondary_count} + 1; }
};

enum class set_result {
    ok,
    not_a_file,      // the first entry is not a file entry, live or deleted
    truncated,       // the set runs past the bytes available
    bad_count,       // secondary count outside 2..18
    bad_order,       // stream or name entries missing, misplaced or of the other state
    bad_name,        // name length 0, or more than the name entries hold
    bad_checksum,    // the set's checksum disagrees
};

// Decodes the entry set that starts at entries (a file entry, type 0x85 or
// its deleted form 0x05). available is the count of bytes from entries to
// the end of the directory. A deleted set must be deleted throughout, a
// live one live throughout, and the checksum is taken over the set as it
// was written (in-use bits set).
set_result parse_entry_set(const uint8_t* entries, size_t available, entry_set_s* out);

// The set checksum over count entries, skipping the checksum field itself;
// with restore_in_use each type byte counts with its in-use bit set.
uint16_t entry_set_checksum(const uint8_t* entries, size_t count, bool restore_in_use);

// The stored name hash of a name, given the volume's up-case table (65536
// units, identity where the volume maps a character to itself).
uint16_t name_hash(const std::u16string& name, const char16_t* upcase);

}  // namespace exfat
