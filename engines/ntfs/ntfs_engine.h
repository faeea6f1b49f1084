// The NTFS engine: walks a volume's MFT and hands out one file record at a
// time, and writes a file's data out by its record number. No Qt.
//
// The caller owns the scan context (ntfs_context_size bytes, zeroed before
// ntfs_scan_startup) and the 576-byte records; their layouts below are the
// contract with the scanner. Everything else in the context is the engine's.
#pragma once

#include "platform/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ntfs_engine {

// Scan context.
inline constexpr size_t context_size = 8248;
inline constexpr size_t ctx_open = 0;           // u32, non-zero while a scan is open
inline constexpr size_t ctx_total = 8;          // u64, MFT records in the volume
inline constexpr size_t ctx_groups_read = 8224;    // u32, groups of eight records examined
inline constexpr size_t ctx_groups_skipped = 8228; // u32, groups of eight never read (past the initialised MFT)
inline constexpr size_t ctx_group_records = 8232;  // u32, records examined in the current group
// progress = (group_records + (groups_read + groups_skipped) * 8) / total

// One record as delivered by ntfs_scan_next.
inline constexpr size_t record_size = 576;
inline constexpr size_t rec_number = 0;        // i64, MFT record number
inline constexpr size_t rec_parent = 8;        // i64, record number of the parent directory, or parent_unknown
inline constexpr size_t rec_size = 16;         // i64, data size in bytes (0 for directories)
inline constexpr size_t rec_time_a = 24;       // i64, creation, seconds since 1970
inline constexpr size_t rec_time_access = 32;  // i64, last access, seconds since 1970
inline constexpr size_t rec_time_b = 40;       // i64, last modification, seconds since 1970
inline constexpr size_t rec_flags = 48;        // u32, flag_* below
inline constexpr size_t rec_sequence = 52;     // u16, the record's own sequence number
inline constexpr size_t rec_parent_sequence = 54; // u16, sequence number in the parent reference
inline constexpr size_t rec_name = 56;         // 260 UTF-16 units, NUL-terminated
inline constexpr size_t name_units = 260;

// The parent of a deleted file whose names were lost; its name is then
// "record_<number>".
inline constexpr int64_t parent_unknown = -1;

inline constexpr uint32_t flag_directory = 0x01;
inline constexpr uint32_t flag_file = 0x02;
inline constexpr uint32_t flag_deleted = 0x80;
inline constexpr uint32_t flag_engine_extract = 0x80000000u;
// What the volume's cluster bitmap says now of the clusters a deleted file's
// copy would read (the values FAT and exFAT rows use for the same findings).
// Neither bit: all of them are free, and, unless ntfs_scan_claimed_later
// lists the file, the copy is exact, since the record keeps its runs.
// Resident data and live files carry neither.
inline constexpr uint32_t flag_data_overwritten = 0x80000;   // one is allocated: another file's bytes
inline constexpr uint32_t flag_data_incomplete = 0x100000;   // runs past the volume or short of the size: the copy fails

// Opens a scan on a volume's bytes, its boot sector first; the scan holds
// the source until it is closed. Returns 0 when the scan is open and the
// context filled, a negative value otherwise (-1 no context, -2 no source or
// unreadable, -3 not NTFS, -4 $MFT unreadable).
int ntfs_scan_startup(platform::byte_source_ptr source, void* context);

// The same on a path the platform opens (a block device, an image file or
// "<image>:pN"); -1 also for a null path.
int ntfs_scan_startup_path(const char* device_path, void* context);

// Fills the zeroed record with the next base file record that has a name,
// or that is a deleted file with data whose names were lost. A deleted
// file's unnamed data stream is judged by the cluster bitmap (flag_data_*),
// and its claims on clusters are noted for ntfs_scan_claimed_later.
// Returns non-zero when it did, 0 when there are no more records.
int ntfs_scan_next(void* context, void* record);

// Once ntfs_scan_next returned 0: the deleted files, by record number in
// ascending order, whose unnamed data stream's clusters a deleted file
// written later (by its $STANDARD_INFORMATION times, then its record's
// $LogFile sequence number) claims too, or an equally recent one: the
// bitmap shows such clusters free, yet they were taken since, so these
// files' copies hold another file's bytes (flag_data_overwritten). Their
// records were delivered before this was known.
std::vector<int64_t> ntfs_scan_claimed_later(const void* context);

// Closes the scan and releases what it holds; the context's open word becomes
// 0. Harmless on a context that is not open.
void ntfs_scan_close(void* context);

// A named data stream of a file ("file.txt:stream" on the volume).
struct stream_info_s {
    std::u16string name;  // as on disk, cut at a NUL or an unpaired surrogate
    uint64_t size = 0;    // bytes
    uint32_t flags = 0;   // flag_data_* of this stream's copy
};
inline constexpr size_t max_named_streams = 64;  // per file; more are not listed

// The named data streams of the record ntfs_scan_next delivered last (of a
// deleted file; for other records the list is empty). At most
// max_named_streams, each name unique and not empty.
std::vector<stream_info_s> ntfs_scan_streams(const void* context);

// Writes the data of record `record_number` (its unnamed data stream) to a
// new file at destination. Returns 0 when every byte was written; otherwise a
// non-zero value, *status (if given) holds an extract_* reason, and no file is
// left at destination.
int ntfs_extract(void* context, int64_t record_number, const char* destination, uint32_t* status);

// The same for the named data stream `stream` of the record (empty: the
// unnamed one), resident or not, compressed or sparse alike.
int ntfs_extract_stream(void* context, int64_t record_number, const std::u16string& stream, const char* destination,
                        uint32_t* status);

// The same into fd, an empty regular file the caller created and still
// owns: it is neither closed nor removed here, whatever the outcome.
int ntfs_extract_to(void* context, int64_t record_number, const std::u16string& stream, int fd, uint32_t* status);

enum extract_status : uint32_t {
    extract_ok = 0,
    extract_not_open = 1,     // no scan open on this context
    extract_bad_record = 2,   // record unreadable or corrupt
    extract_no_data = 3,      // a directory, or no such data stream
    extract_unsupported = 4,  // encrypted data, or compression units of an unknown size
    extract_bad_runlist = 5,  // runs outside the volume or not covering the size
    extract_read_failed = 6,
    extract_write_failed = 7,
    extract_bad_compression = 8,  // a compressed unit that does not decompress
};

// What the scan met so far, for diagnostics and tests.
struct scan_stats_s {
    uint64_t records_examined = 0;
    uint64_t records_delivered = 0;
    uint64_t records_corrupt = 0;    // bad fixups, headers or attributes
    uint64_t records_unused = 0;     // never written, or not a base record with a name
    uint64_t read_errors = 0;        // MFT chunks the device would not give
    bool bitmap_unusable = false;    // $Bitmap unreadable: deleted files were not judged by it
};
// Returns the counters of an open scan (all zero when none is open).
scan_stats_s ntfs_scan_stats(const void* context);

}  // namespace ntfs_engine
