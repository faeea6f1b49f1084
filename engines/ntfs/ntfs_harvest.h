// Finding MFT records by their shape alone, anywhere in a run of bytes: what
// is left of a volume's files after its MFT was formatted over or damaged.
// Pure functions without I/O; the engine feeds them the volume read front to
// back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ntfs_harvest {

// A record found, by where it lies and what its header says.
struct candidate_s {
    uint64_t offset = 0;        // in the bytes searched
    uint32_t size = 0;          // 1024 or 4096
    int64_t number = -1;        // its own MFT record number, -1 when the header keeps none
    uint16_t sequence = 0;
    uint16_t flags = 0;         // in use, directory
    uint64_t base_reference = 0;  // 0 for a base record
    uint64_t log_sequence = 0;
};

// Whether the record size bytes at raw (before fixups) are an MFT record: a
// FILE header whose update sequence fits its size and holds in every 512
// bytes, and a walk of at least one attribute, in ascending type order, of
// known types, to its end marker. *out is filled when it is.
bool sane_record(const uint8_t* raw, uint32_t size, candidate_s* out);

// Looks for records starting at every 512-byte step of [0, scan_length) of
// buf, which holds `available` bytes (a record may run past scan_length into
// them); base is buf's offset in what is searched. A record found is
// stepped over whole.
void find_records(const uint8_t* buf, size_t scan_length, size_t available, uint64_t base,
                  std::vector<candidate_s>* out);

// The volume's layout found from the records themselves, for a volume whose
// boot sector is gone: two copies of record 0 (in the $MFT and in
// $MFTMirr), each at its own place, and the first cluster each names for
// the two files' data.
struct geometry_s {
    uint64_t start = 0;         // the volume's first byte in what was searched
    uint32_t cluster_size = 0;
    uint64_t mft_lcn = 0;
    uint64_t mftmirr_lcn = 0;
};
// mft_at and mirror_at: where the copies lie; mft_lcn and mirror_lcn: the
// first clusters of $MFT's and $MFTMirr's data as record 0 and 1 give them.
// Returns false when no cluster size of 512 bytes to 2 MiB fits both.
bool geometry_from_mft_copies(uint64_t mft_at, uint64_t mirror_at, uint64_t mft_lcn, uint64_t mirror_lcn,
                              geometry_s* out);

}  // namespace ntfs_harvest
