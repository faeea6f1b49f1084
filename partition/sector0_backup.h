// Copies of a disk's sector 0 kept in the user's state folder before it is
// overwritten, and putting one back.
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
// the time ("sdb-20261207-204812.mbr"; "-2", "-3", ... when taken). Returns
// the file's path, or an empty string with the reason in *error.
std::string save_sector0_backup(const std::string& device_path, const sector_t& sector, std::string* error);

// Reads a backup: the file must hold exactly 512 bytes. Returns false with
// the reason in *error otherwise.
bool load_sector0_backup(const std::string& path, sector_t* sector, std::string* error);

// Writes sector over sector 0 of a device opened for writing, flushes it,
// reads it back and compares. Returns 0, or -1 with the reason in *error.
int write_sector0_verified(platform::raw_device_c& device, const sector_t& sector, std::string* error);

// Puts the backup at backup_path back onto sector 0 of device_path, after
// saving the sector it replaces (its path in *replaced_backup, so the restore
// can be undone too). Refuses disks whose sector size is not 512. Returns 0,
// or -1 with the reason in *error; nothing is written on a refusal.
int restore_sector0(const std::string& device_path, const std::string& backup_path, std::string* replaced_backup,
                    std::string* error);

}  // namespace partition
