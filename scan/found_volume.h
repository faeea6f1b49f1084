// Volumes that no partition table names: those the partition search found
// on a disk whose table is lost, and the whole disk for a deep scan. Each is
// read through a window over the disk, so its files can be had before
// anything is written to the disk.
#pragma once

#include "devices/volume_item.h"
#include "platform/byte_source.h"

#include <QString>
#include <cstdint>

// The volume whose boot sector lies at start_sector (the disk's logical
// sectors) of disk, `sectors` long (0: as long as its boot sector says).
// file_system and label may be empty: the scan reads them from the volume.
volume_item_s found_volume(const drive_item_s& disk, uint64_t start_sector, uint64_t sectors,
                           const QString& file_system = {}, const QString& label = {});

// The whole disk as one volume, for the deep scan.
volume_item_s whole_disk_volume(const drive_item_s& disk);

// Opens the window a found volume is read through (the disk asked for when
// this user may not read it) and fills in what its boot sector says: file
// system, label and length. Returns nullptr with a one-line *reason when
// the disk cannot be opened or the volume's start lies past its end.
platform::byte_source_ptr open_found_volume(volume_item_s* volume, QString* reason,
                                            platform::open_refusal_e* refusal = nullptr);
