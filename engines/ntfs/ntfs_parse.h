// Decoding of NTFS structures from byte buffers: the boot sector, MFT record
// fixups and headers, the attribute walk, runlists and attribute lists. Pure
// functions without I/O, so every check can be exercised on crafted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ntfs_parse {

struct volume_params_s {
    uint32_t bytes_per_sector = 0;
    uint32_t cluster_size = 0;
    uint32_t record_size = 0;
    uint64_t total_clusters = 0;
    uint64_t mft_lcn = 0;
    uint64_t mftmirr_lcn = 0;
};

// Decodes a 512-byte boot sector of a volume of volume_bytes bytes. Returns
// true when it is a plausible NTFS boot sector; the cluster count is cut to
// what the device holds.
bool parse_boot_sector(const uint8_t* sector, uint64_t volume_bytes, volume_params_s* out);

// One run of a runlist: `length` clusters at virtual cluster `vcn`, stored at
// logical cluster `lcn`, or a hole when lcn is -1.
struct run_s {
    uint64_t vcn = 0;
    uint64_t length = 0;
    int64_t lcn = -1;
};

// Decodes mapping pairs [p, p + size) starting at lowest_vcn, appending to
// *runs. Returns false on a field wider than 8 bytes, a zero or negative
// length, a run reaching past total_clusters, or any overflow.
bool decode_runlist(const uint8_t* p, size_t size, uint64_t lowest_vcn, uint64_t total_clusters,
                    std::vector<run_s>* runs);

// Sorts runs by vcn and checks they follow each other from vcn 0 without a
// gap or overlap. Returns the number of clusters they cover, or -1.
int64_t arrange_runs(std::vector<run_s>* runs);

enum class record_state { valid, unused, corrupt };

// The checked header of one MFT record.
struct record_header_s {
    uint16_t flags = 0;
    uint16_t sequence = 0;
    uint32_t attrs_offset = 0;
    uint32_t bytes_in_use = 0;
    uint64_t base_reference = 0;
    uint64_t log_sequence = 0;
};

// Applies the update-sequence fixups in place and checks the header of a
// record of record_size bytes. Returns unused for a never-written record (no
// "FILE" magic and all zero at the start), corrupt for a torn fixup or any
// field out of bounds, valid otherwise with *header filled.
record_state check_record(uint8_t* record, size_t record_size, record_header_s* header);

// One attribute inside a checked record. Pointers refer into the record.
struct attribute_s {
    uint32_t type = 0;
    bool non_resident = false;
    uint16_t flags = 0;
    const uint8_t* name = nullptr;  // UTF-16LE, name_length units
    uint8_t name_length = 0;
    // resident
    const uint8_t* value = nullptr;
    uint32_t value_length = 0;
    // non-resident
    uint64_t lowest_vcn = 0;
    uint64_t highest_vcn = 0;
    uint8_t compression_unit = 0;
    uint64_t allocated_size = 0;
    uint64_t data_size = 0;
    uint64_t initialized_size = 0;
    const uint8_t* mapping_pairs = nullptr;
    size_t mapping_pairs_size = 0;
};

// Walks the attributes of a checked record. Returns false when an attribute
// is malformed (zero or unaligned length, reaching past the bytes in use,
// name or value outside the attribute); *out then holds those before it.
bool walk_attributes(const uint8_t* record, const record_header_s& header, std::vector<attribute_s>* out);

// One entry of an attribute list.
struct list_entry_s {
    uint32_t type = 0;
    bool named = false;
    uint64_t lowest_vcn = 0;
    uint64_t reference = 0;
};

// Decodes an attribute list value. Returns false on a malformed entry; the
// entries before it are kept.
bool parse_attribute_list(const uint8_t* value, size_t size, std::vector<list_entry_s>* out);

// The parts of $STANDARD_INFORMATION and $FILE_NAME the engine uses.
struct times_s {
    uint64_t creation = 0;  // FILETIME
    uint64_t modification = 0;
    uint64_t access = 0;
    uint64_t mft_change = 0;
};
bool read_standard_information(const attribute_s& a, times_s* out);

struct file_name_s {
    uint64_t parent_reference = 0;
    uint8_t name_space = 0;
    std::u16string name;
    times_s times;
};
bool read_file_name(const attribute_s& a, file_name_s* out);

// Ranks a name space: Win32 and Win32+DOS names above POSIX above DOS-only.
int name_space_rank(uint8_t name_space);

// Cuts a UTF-16 name at its first NUL or unpaired surrogate.
std::u16string cut_at_bad_unit(const std::u16string& name);

// Decompresses one LZNT1 compression unit [in, in + in_size) into out, which
// holds out_size bytes (the unit's size). A chunk that ends short is padded
// with zeros to its 4 KiB. Returns false on a back-reference before the
// chunk's start, a chunk running past the input, or output past out_size.
bool lznt1_decompress(const uint8_t* in, size_t in_size, uint8_t* out, size_t out_size);

// Seconds since 1970 of a FILETIME; 0 stays 0.
int64_t filetime_to_unix(uint64_t filetime);

}  // namespace ntfs_parse
