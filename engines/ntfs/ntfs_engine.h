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
#include <utility>
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
// Some of those clusters lie over sectors the source already knows it cannot
// read (looked at only once a read has failed): the copy holds zeros there.
// The value of the scanners' row flag for the same finding.
inline constexpr uint32_t flag_data_unreadable = 0x4000;
// A file's data is kept in its record itself: the copy is the record's bytes.
inline constexpr uint32_t flag_data_in_record = 0x10000;

// How a scan's start went with the volume's boot sector.
struct startup_report_s {
    bool boot_from_backup = false;  // the primary was unreadable or invalid; the copy was used
    uint64_t boot_backup_offset = 0;  // where that copy lies, in bytes
    int boot_read_error = 0;        // errno of the first unreadable boot sector byte, 0 when none
    uint64_t boot_error_offset = 0; // and its offset in bytes
    uint32_t boot_error_sector_size = 512;  // the medium's sector, to name the sector
};

// Opens a scan on a volume's bytes, its boot sector first (its backup in the
// volume's last sector when the primary is unreadable or invalid); the scan
// holds the source until it is closed. Returns 0 when the scan is open and
// the context filled, a negative value otherwise (-1 no context, -2 no
// source, -3 not NTFS, -4 $MFT unreadable, -5 the boot sector unreadable
// and no usable backup: *report says where and why).
int ntfs_scan_startup(platform::byte_source_ptr source, void* context, startup_report_s* report = nullptr);

// Whether the volume's last sector holds a usable NTFS backup boot sector
// (for a volume whose first sector tells nothing).
bool ntfs_backup_boot_sector_found(const platform::byte_source_c& source);

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

// The harvest: once ntfs_scan_next returned 0, the volume is read once,
// front to back, for MFT records (1 KiB and 4 KiB, whole and sane) that the
// live MFT does not hold: outside its records, or at a number it holds with
// another sequence number. A volume formatted over its files, or whose MFT
// was damaged, keeps its old records there.
struct harvest_hooks_s {
    bool (*stop)(void* user) = nullptr;                   // true: end the pass now
    void (*progress)(void* user, double fraction) = nullptr;  // of the volume read
    void* user = nullptr;
};
inline constexpr size_t max_harvested = size_t(1) << 20;  // records kept; more are counted only
struct harvest_result_s {
    uint64_t records_found = 0;   // sane records met outside the live MFT's
    uint64_t records_kept = 0;
    bool capped = false;          // more than max_harvested: the rest are not listed
    bool stopped = false;
    uint64_t read_errors = 0;     // stretches the medium would not give
};
harvest_result_s ntfs_harvest(void* context, const harvest_hooks_s& hooks);

// Fills the zeroed record, as ntfs_scan_next does, with the next harvested
// base record that has a name or data, and *index with its place for
// ntfs_harvest_extract_to. rec_parent_sequence is its parent reference's.
// Its file's data is judged by the cluster bitmap and against the other
// harvested files' claims (see ntfs_harvest_claimed_later); it always
// carries flag_engine_extract. Returns 0 when none is left.
int ntfs_harvest_next(void* context, void* record, size_t* index);
// Once ntfs_harvest_next returned 0: the harvest indexes whose clusters a
// harvested file written later claims too.
std::vector<int64_t> ntfs_harvest_claimed_later(const void* context);
// Writes the data stream (empty: the unnamed one) of harvested record
// `index` into fd, as ntfs_extract_to does.
int ntfs_harvest_extract_to(void* context, size_t index, const std::u16string& stream, int fd, uint32_t* status);

// For a volume whose boot sector and its backup are both gone: reads the
// source front to back for the two copies of MFT record 0 (the $MFT's and
// $MFTMirr's), lays the volume out from them and opens a scan as
// ntfs_scan_startup does; the $MFT's records are then walked as usual, and
// when it cannot be read the scan is open for the harvest alone. Returns 0,
// or -3 when no layout was found. *geometry gets the layout.
int ntfs_scan_startup_from_records(platform::byte_source_ptr source, void* context, const harvest_hooks_s& hooks,
                                   uint64_t* volume_start, uint32_t* cluster_size);

// Whether clusters the volume's bitmap calls free hold data (a few of
// them, spread over the volume, are read): what a volume formatted over
// its files shows.
bool ntfs_free_space_holds_data(void* context);

// Where the unnamed data stream of a record lies on the scan's device (see
// ntfs_scan_device), for reading it as a file: byte ranges (offset, length)
// in file order that add up to its size. False for data kept in the
// record, compressed, encrypted or sparse data, a tail past the initialised
// size (zeros no cluster holds), and runs that do not hold the data.
// harvested: record is an index of the harvest, else a record number.
bool ntfs_data_extents(void* context, int64_t record, bool harvested,
                       std::vector<std::pair<uint64_t, uint64_t>>* extents);
// The bytes the open scan reads (the volume, or its window when the layout
// came from the records); null when no scan is open.
platform::byte_source_ptr ntfs_scan_device(const void* context);
// The open scan's cluster size in bytes; 0 when none is open.
uint32_t ntfs_scan_cluster_size(const void* context);

// What the scan met so far, for diagnostics and tests.
struct scan_stats_s {
    uint64_t records_examined = 0;
    uint64_t records_delivered = 0;
    uint64_t records_corrupt = 0;    // bad fixups, headers or attributes
    uint64_t records_unused = 0;     // never written, or not a base record with a name
    uint64_t read_errors = 0;        // MFT chunks the device would not give
    bool bitmap_unusable = false;    // $Bitmap unreadable: deleted files were not judged by it
    bool boot_from_backup = false;   // the volume was laid out by its backup boot sector
    uint64_t records_from_mirror = 0;  // first records taken from $MFTMirr (unreadable or torn in $MFT)
    uint64_t records_unreadable = 0;   // records over sectors the medium would not give
};
// Returns the counters of an open scan (all zero when none is open).
scan_stats_s ntfs_scan_stats(const void* context);

}  // namespace ntfs_engine
