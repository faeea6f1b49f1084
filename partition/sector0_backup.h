// Copies of a disk's first sectors kept in the user's state folder before
// they are overwritten, putting one back, and the guarded open every write
// of sector 0 goes through.
//
// A backup file (".mbr", or ".gpt" when it keeps a GPT's head and tail
// too) holds sector 0 in its first 512 bytes, so that
// anything that reads a plain sector copy reads the right bytes, then a
// record of where it came from and the other ranges it keeps, all
// little-endian:
//
//   512   8  "QVSECBAK"
//   520   4  format version (1)
//   524   4  number of ranges N (1-16); range 0 is sector 0 itself
//   528   8  the disk's size in bytes
//   536   8  when it was taken, seconds since 1970 (UTC)
//   544   4  what identifies the disk: 1 a block device (model, serial),
//            2 a file (device and inode numbers: an image, or the file
//            behind a loop device)
//   548   4  zero
//   552   8  device number of the file   560  8  its inode number
//   568  64  model, NUL-padded          632 64  serial, NUL-padded
//   696 256  the disk's path when it was taken, NUL-padded
//   952 16N  each range: its first byte on the disk (8), its length (8)
//   then the bytes of ranges 1 to N-1, in order
//   last 32  SHA-256 of everything before it
//
// Older backups are the 512 bytes of sector 0 alone; they still restore.
#pragma once

#include "partition/mbr_layout.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
class raw_device_c;
}

namespace partition {

// The folder the copies go to: <state folder>/sector0-backups.
std::string sector0_backup_dir();

// Which disk a backup belongs to.
struct disk_identity_s {
    enum kind_e : uint32_t { unknown = 0, block = 1, file = 2 };
    kind_e kind = unknown;
    uint64_t size_bytes = 0;
    std::string model, serial;      // block
    uint64_t device = 0, inode = 0;  // file
};

// The identity of the disk at device_path, whose size is size_bytes: a
// block device by its model and serial (a loop device by the file behind
// it), an image file by its device and inode numbers.
disk_identity_s identify_disk(const std::string& device_path, uint64_t size_bytes);

// What differs between the disk a backup was taken from and this one, in
// words ("its size: 1048576 bytes then, 2097152 now"); empty when they agree.
std::string identity_mismatch(const disk_identity_s& then, const disk_identity_s& now);

// A run of bytes as it stood on the disk.
struct sector_range_s {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

struct sector_backup_s {
    bool plain = false;  // an older backup: sector 0 only, nothing known of its disk
    disk_identity_s disk;
    int64_t taken = 0;   // seconds since 1970
    std::string device_path;
    std::vector<sector_range_s> ranges;  // ranges[0] is sector 0
};

// Writes a backup of ranges (ranges[0] must be sector 0) of the disk at
// device_path to a new file in sector0_backup_dir(), named by the drive and
// the time ("sdb-20261207-204812.mbr", ".gpt" when it holds more than sector
// 0; "-2", "-3", ... when taken). The file
// and its folder are flushed to stable storage and the file is read back and
// compared before this returns: only then may the disk be overwritten.
// Returns the file's path, or an empty string with the reason in *error.
std::string save_sector_backup(const std::string& device_path, const disk_identity_s& disk,
                               const std::vector<sector_range_s>& ranges, std::string* error);
// The same for sector 0 of an open device.
std::string save_sector0_backup(const std::string& device_path, const platform::raw_device_c& device,
                                const sector_t& sector, std::string* error);

// Reads a backup, either form. Only a regular file is opened (never waited
// on); its checksum and its ranges must be sound, and an older plain backup
// must end in 0x55AA. Returns false with the reason in *error otherwise.
bool load_sector_backup(const std::string& path, sector_backup_s* backup, std::string* error);

// Why a disk must not be written now: the parts of it, or of an image file,
// that are mounted (through a loop device or FUSE too), named ("/dev/sdb1 on
// /media/ana/CARD"); empty when none is.
std::string mounted_refusal(const std::string& device_path);

// Opens a whole disk to write its sector 0: refused while any part of it is
// mounted (the reason names them) or a block disk is held by another program
// (it is opened with O_EXCL), and for sectors other than 512 or 4096 bytes. *busy is
// set when the disk is in use. Returns 0, or -1 with the reason.
int open_for_sector0_write(const std::string& device_path, platform::raw_device_c& device, std::string* error,
                           bool* busy = nullptr);

// Reads the byte ranges `wanted` names (their lengths from their bytes) from
// the device as they are now. Returns false with the reason in *error.
bool read_ranges(const platform::raw_device_c& device, const std::vector<sector_range_s>& wanted,
                 std::vector<sector_range_s>* now, std::string* error);

// Writes every range, flushes, reads them back and compares. Returns 0, or
// -1 with the reason in *error (some may be written by then).
int write_ranges_verified(platform::raw_device_c& device, const std::vector<sector_range_s>& ranges,
                          std::string* error);

// Writes sector over sector 0 of a device opened for writing, flushes it,
// reads it back and compares. Returns 0, or -1 with the reason in *error.
int write_sector0_verified(platform::raw_device_c& device, const sector_t& sector, std::string* error);

// After sector 0 of a block disk changed: asks the kernel to read the table
// again. Returns a note for the person when the new table is not in force
// yet ("reboot or replug"), else an empty string. Never a failure of the write.
std::string reread_table_note(platform::raw_device_c& device);

// Puts the backup at backup_path back onto device_path, after saving what it
// replaces (its path in *replaced_backup, so the restore can be undone too).
// Refused: a backup that does not load, a disk that is neither a block device
// nor an image file, one whose sectors are not 512 or 4096 bytes, one in use, ranges
// beyond its end, and, unless force, a backup taken from another disk (its
// size or identity differ). Returns 0, or -1 with the reason in *error;
// nothing is written on a refusal. *note (when given) gets
// reread_table_note's answer; *mismatch (when given) is set when the only
// refusal was that the backup is another disk's; *sectors_written (when
// given) how many sectors were put back.
int restore_sector0(const std::string& device_path, const std::string& backup_path, std::string* replaced_backup,
                    std::string* error, std::string* note = nullptr, bool force = false, bool* mismatch = nullptr,
                    uint64_t* sectors_written = nullptr);

// How many of the disk's sectors (of sector_size bytes) the ranges cover:
// sector 0 counts as one however large the disk's sectors are.
uint64_t sectors_in(const std::vector<sector_range_s>& ranges, uint32_t sector_size);

// The last repair's record: which disk, and where its old sector 0 went, so
// that it can be put back later (from the settings menu). Returns false when
// no repair was recorded or the record cannot be read.
struct last_repair_s {
    std::string device_path;
    std::string backup_path;
};
bool record_last_repair(const last_repair_s& repair, std::string* error);
bool read_last_repair(last_repair_s* repair);

}  // namespace partition
