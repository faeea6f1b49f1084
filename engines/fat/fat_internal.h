// Pieces of the file-system layer shared by its source files; not for
// callers outside scan/fat.
#pragma once

#include "engines/fat/fat_fs.h"
#include "ondisk/byte_order.h"

#include <cstdint>

using platform::le16;
using platform::le32;

// Whether an object made under mount_id may still be used with fs.
// Returns fr_ok or fr_invalid_object (not mounted, or mounted again).
int fat_check_object(const fat_volume_s* fs, uint16_t mount_id);

// Reads count sectors starting at a sector of the volume, never past its
// end. Returns fr_ok or fr_disk_error.
int fat_read_sectors(fat_volume_s* fs, uint8_t* buffer, uint64_t sector, uint32_t count);

// Brings sector into the volume's window (no read when it is already there).
// Returns fr_ok or fr_disk_error. A sector the medium could not give comes
// back as zeros with window_unreadable set.
int fat_move_window(fat_volume_s* fs, uint64_t sector);

// Reads count sectors of the FAT from FAT-relative sector first into bytes,
// each from the copy that holds it best: the active FAT, unless the medium
// could not give that sector, or it names clusters outside the volume, or
// it reads as all free while another copy holds chains. Returns a mask of
// the sectors (bit i = first + i; count at most 64) that no copy could give;
// they are left as zeros.
uint64_t fat_read_fat_sectors(fat_volume_s* fs, uint8_t* bytes, uint32_t first, uint32_t count);

// Where cluster c's entry lies in the FAT: the offset of its first byte
// from the FAT's start, and how many bytes it spans (12-bit entries share a
// byte with their neighbour and may straddle two sectors).
inline uint64_t fat_entry_offset(uint8_t type, uint32_t c)
{
    return type == fat_32 ? uint64_t{c} * 4 : type == fat_16 ? uint64_t{c} * 2 : uint64_t{c} + c / 2;
}
inline uint32_t fat_entry_bytes(uint8_t type) { return type == fat_32 ? 4 : 2; }

// The value of cluster c's entry from the bytes at fat_entry_offset.
inline uint32_t fat_entry_value(uint8_t type, uint32_t c, const uint8_t* bytes)
{
    if (type == fat_12) {
        const uint32_t pair = le16(bytes);
        return (c & 1) ? pair >> 4 : pair & 0x0FFF;
    }
    return type == fat_16 ? le16(bytes) : le32(bytes) & 0x0FFFFFFF;
}

// The FAT entry of cluster c: the next cluster of its chain (0 = free,
// at or above fat_entries = end of chain or bad). Returns 1 when c lies
// outside 2..fat_entries-1 and 0xFFFFFFFF when the FAT cannot be read.
uint32_t fat_next_cluster(fat_volume_s* fs, uint32_t c);

// First sector of cluster c, which must lie in 2..fat_entries-1.
inline uint64_t fat_cluster_sector(const fat_volume_s* fs, uint32_t c)
{
    return fs->data_start + uint64_t{c - 2} * fs->cluster_size;
}

inline bool fat_cluster_valid(const fat_volume_s* fs, uint32_t c) { return c >= 2 && c < fs->fat_entries; }

enum fat_continuation_e : uint8_t {
    fat_continuation_no,     // some slot is not a directory entry, or a "." entry
    fat_continuation_empty,  // nothing but the end of a folder
    fat_continuation_yes,    // directory entries, possibly ending the folder
};

// Whether length bytes (whole 32-byte slots) read as a folder's cluster after
// its first: every slot a plausible entry (long-name piece, live or deleted
// short entry with a valid name, attributes, time stamps, start cluster and
// size), no "." entry, and nothing but zeros after an end entry.
fat_continuation_e fat_dir_continuation(const fat_volume_s* fs, const uint8_t* bytes, uint32_t length);

// The cluster that continues a deleted folder (first cluster start) after
// cluster c, whose FAT entry was freed with it. Tried in turn: c + 1; the
// cluster just past the data of the last entry in c (where a system that
// takes the next free cluster grows the folder); then, within a budget
// (16 MiB of free clusters for one folder, what fat_guess_s has left for the
// scan), the free clusters after c, where a cluster counts only if its first
// file's data starts where the last file of c ended, or just past that or
// past the cluster itself (written in that order, so it is this folder's).
// A candidate must be free in the FAT, not taken, and plausible throughout;
// the one chosen is added to guess->taken. Returns 0 when none qualifies or
// a read fails.
uint32_t fat_guess_next_dir_cluster(fat_volume_s* fs, uint32_t start, uint32_t c, fat_guess_s* guess);
