// The FAT12/16/32 file-system layer: mount, directory reading that also
// returns deleted entries, and file reading by start cluster, optionally as
// one contiguous run of clusters. Read-only. A volume object reads through
// the byte source it was attached to; objects are used by one thread at a
// time, and the layer keeps no state of its own.
#pragma once

#include "platform/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <unordered_set>

// Result codes of the file-system operations.
enum fat_result : int {
    fr_ok = 0,
    fr_disk_error = 1,       // a sector (or a FAT entry) could not be read
    fr_int_error = 2,        // cluster outside 2..fat_entries-1, or a broken chain
    fr_not_ready = 3,
    fr_no_more = 4,          // end of directory
    fr_no_path = 5,
    fr_invalid_name = 6,
    fr_denied = 7,           // not opened for reading
    fr_invalid_object = 9,   // not mounted, or mounted again since opened
    fr_not_enabled = 12,     // the volume object has no source
    fr_no_filesystem = 13,
    fr_not_enough_core = 17,
};

// The attribute bit this reader adds to deleted entries (unused by FAT itself).
inline constexpr uint8_t fat_attr_deleted = 0x40;
inline constexpr uint8_t fat_attr_directory = 0x10;
inline constexpr uint8_t fat_attr_volume = 0x08;
inline constexpr uint8_t fat_attr_long_name = 0x0F;

// Logical sector sizes the reader takes from a boot sector.
inline constexpr uint32_t fat_min_sector_bytes = 512;
inline constexpr uint32_t fat_max_sector_bytes = 4096;
inline constexpr int fat_long_name_units = 256;  // 255 units and the NUL

enum fat_type : uint8_t { fat_none = 0, fat_12 = 1, fat_16 = 2, fat_32 = 3 };

// A volume: the source it reads and, once mounted, its layout. Sector
// numbers count the volume's own sectors from its boot sector (sector 0 is
// the source's first byte).
struct fat_volume_s {
    platform::byte_source_ptr source;
    uint8_t fs_type = fat_none;
    uint8_t cluster_size = 0;     // sectors per cluster
    uint8_t fat_count = 0;
    uint16_t mount_id = 0;
    uint16_t root_entries = 0;    // FAT12/16; 0 on FAT32
    uint32_t sector_bytes = fat_min_sector_bytes;  // the boot sector's figure
    uint32_t fat_entries = 0;     // clusters + 2
    uint32_t fat_sectors = 0;     // sectors per FAT
    uint64_t fat_start = 0;
    uint64_t root_base = 0;       // FAT12/16: first root sector; FAT32: root cluster
    uint64_t data_start = 0;      // first sector of cluster 2
    uint64_t volume_end = 0;      // first sector past the volume; no read goes there
    // The FAT read first (FAT32 can name another), and whether the others
    // are kept as its copies; the rest stand in where it cannot be read.
    uint8_t active_fat = 0;
    bool fats_mirrored = true;
    // Mounted from the FAT32 boot sector's backup, the main one being
    // unreadable or not a usable boot sector.
    bool boot_from_backup = false;
    // Why the boot sector could not be read (an errno), when it could not.
    int boot_read_error = 0;
    // Damage met so far: FAT sectors taken from another copy, FAT sectors no
    // copy could give, and directory sectors that could not be read (their
    // entries are skipped, the folder read on past them).
    std::unordered_set<uint32_t> fat_sectors_mended;
    std::unordered_set<uint32_t> fat_sectors_lost;
    uint64_t dir_sectors_unreadable = 0;
    uint64_t first_dir_sector_unreadable = 0;
    int dir_read_error = 0;
    uint64_t window_sector = 0;
    bool window_valid = false;
    bool window_unreadable = false;  // the window's sector came back as zeros
    uint8_t window[fat_max_sector_bytes] = {};
    // The FAT sector last looked at, as mended from the copies.
    uint32_t fat_window_sector = 0;
    bool fat_window_valid = false;
    bool fat_window_unreadable = false;
    uint8_t fat_window[fat_max_sector_bytes] = {};
};

struct fat_guess_s;

struct fat_dir_s {
    fat_volume_s* fs = nullptr;
    uint16_t mount_id = 0;
    uint16_t index = 0;           // entry index in the directory
    uint32_t start_cluster = 0;   // 0 = the root directory
    uint32_t cluster = 0;         // current cluster (0 in a fixed FAT12/16 root)
    uint64_t sector = 0;          // current sector
    uint8_t short_name[12] = {};  // 11 name bytes and a flags byte
    char16_t* long_name = nullptr;  // working buffer of fat_long_name_units
    uint16_t long_name_index = 0xFFFF;  // where the current long name began; 0xFFFF = none
    bool deleted = false;         // the current entry's first byte is 0xE5
    // What the next f_readdir reports before reading on: fr_no_more once the
    // end was reached, or the error met while stepping past the entry last
    // returned (so that entry is not lost with it).
    uint8_t pending = fr_ok;
    // Set for a deleted folder: where its chain was freed, the walk goes on
    // into the cluster that plausibly continues it (shared by the whole scan).
    fat_guess_s* guess = nullptr;
    // When set, every cluster the directory is read from is added to it.
    std::unordered_set<uint32_t>* visited = nullptr;
};

// What guesses at deleted folders' continuations share during one scan.
struct fat_guess_s {
    std::unordered_set<uint32_t> taken;  // clusters already given to some folder
    // What the search past the two likely places may still do in the whole
    // scan: bytes of free clusters looked into (the system reads ahead, so
    // count whole clusters; this must stay a small part of a card) and FAT
    // entries looked at.
    uint64_t search_bytes_left = uint64_t{64} << 20;
    uint32_t search_steps_left = 1u << 22;
};

struct fat_info_s {
    uint32_t size = 0;
    uint32_t start_cluster = 0;
    uint16_t write_date = 0, write_time = 0;
    uint16_t create_date = 0, create_time = 0;
    uint8_t attributes = 0;       // entry byte 11, plus fat_attr_deleted
    char16_t short_name[13] = {}; // "NAME.EXT", NUL-terminated
    char16_t* long_name = nullptr;  // caller's buffer; empty string when none
    uint32_t long_name_capacity = 0;
};

// File object, filled directly from a found entry by the caller.
struct fat_file_s {
    fat_volume_s* fs = nullptr;
    uint16_t mount_id = 0;
    uint8_t mode = 0;             // fat_file_readable, fat_file_error
    uint32_t position = 0;
    uint32_t size = 0;
    uint32_t start_cluster = 0;
    uint32_t cluster = 0;
    // Read as a run: step over clusters allocated now (a file written into
    // the gaps between live files).
    bool skip_allocated = false;
    uint64_t buffer_sector = 0;
    bool buffer_valid = false;
    uint8_t buffer[fat_max_sector_bytes] = {};
};
inline constexpr uint8_t fat_file_readable = 0x01;
inline constexpr uint8_t fat_file_error = 0x80;

// Attaches fs to a source (the volume's bytes, its boot sector first),
// marking it not mounted; the real mount happens on the next access. A null
// source detaches it.
void fat_attach(fat_volume_s* fs, platform::byte_source_ptr source);

// Mounts fs if needed and opens the directory named by path ("/" = root).
// Returns a result code.
int f_opendir(fat_dir_s* dir, fat_volume_s* fs, const char16_t* path);

// Opens the directory that starts at cluster on fs, and rewinds it. Returns
// a result code (fr_int_error for a cluster outside the volume).
int f_opendir_cluster(fat_dir_s* dir, fat_volume_s* fs, uint32_t cluster);

// With info null, rewinds dir. Otherwise returns the next entry, deleted
// ones included; at the end of the directory returns fr_ok with an empty
// short name.
int f_readdir(fat_dir_s* dir, fat_info_s* info);

// Reads up to count bytes from the file's position into buffer; *delivered
// always receives what was delivered. In contiguous mode the clusters after
// the start cluster are start+1, start+2, ... whatever the FAT says.
int f_read(fat_file_s* file, void* buffer, uint32_t count, uint32_t* delivered, bool contiguous);

// Fills a file object for reading the entry at start_cluster of size bytes
// on a mounted volume. Returns fr_invalid_object when fs is not mounted.
int fat_file_setup(fat_file_s* file, fat_volume_s* fs, uint32_t start_cluster, uint32_t size);

// Mounts fs now from its source if it is not mounted. Returns a result code
// (fr_not_enabled when it has no source).
int fat_ensure_mounted(fat_volume_s* fs);
