// Copies of a disk's sector 0 kept in the user's state folder before it is
// overwritten, putting one back, and the guarded open every write of sector
// 0 goes through.
#pragma once

#include "partition/mbr_layout.h"

#include <string>

namespace platform {
class raw_device_c;
}

namespace partition {

// The folder the copies go to: <state folder>/sector0-backups.
std::string sector0_backup_dir();

// Writes sector to a new file in sector0_backup_dir(), named by the drive and
// the time ("sdb-20261207-204812.mbr"; "-2", "-3", ... when taken). The file
// and its folder are flushed to stable storage and the file is read back and
// compared before this returns: only then may sector 0 be overwritten.
// Returns the file's path, or an empty string with the reason in *error.
std::string save_sector0_backup(const std::string& device_path, const sector_t& sector, std::string* error);

// Reads a backup: the file must hold exactly 512 bytes. Returns false with
// the reason in *error otherwise.
bool load_sector0_backup(const std::string& path, sector_t* sector, std::string* error);

// Why a block disk must not be written now: the parts of it that are mounted,
// named ("/dev/sdb1 on /media/ana/CARD"); empty when none is.
std::string mounted_refusal(const std::string& device_path);

// Opens a whole disk to write its sector 0: refused while any part of a block
// disk is mounted (the reason names them) or held by another program (the
// block device is opened with O_EXCL), and for sectors other than 512 bytes.
// *busy is set when the disk is in use. Returns 0, or -1 with the reason.
int open_for_sector0_write(const std::string& device_path, platform::raw_device_c& device, std::string* error,
                           bool* busy = nullptr);

// Writes sector over sector 0 of a device opened for writing, flushes it,
// reads it back and compares. Returns 0, or -1 with the reason in *error.
int write_sector0_verified(platform::raw_device_c& device, const sector_t& sector, std::string* error);

// After sector 0 of a block disk changed: asks the kernel to read the table
// again. Returns a note for the person when the new table is not in force
// yet ("reboot or replug"), else an empty string. Never a failure of the write.
std::string reread_table_note(platform::raw_device_c& device);

// Puts the backup at backup_path back onto sector 0 of device_path, after
// saving the sector it replaces (its path in *replaced_backup, so the restore
// can be undone too). Refuses disks whose sector size is not 512 and disks in
// use. Returns 0, or -1 with the reason in *error; nothing is written on a
// refusal. *note (when given) gets reread_table_note's answer.
int restore_sector0(const std::string& device_path, const std::string& backup_path, std::string* replaced_backup,
                    std::string* error, std::string* note = nullptr);

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
