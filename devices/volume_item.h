// The records the rest of the program passes around for volumes and drives,
// and the process-wide lists the enumerations fill.
#pragma once

#include "platform/raw_device.h"

#include <QMetaType>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

struct volume_item_s {
    QString dos_device;    // "sdb1" or "card.img:p1"; empty only in the header row
    QString device_path;   // "/dev/sdb1" or "/abs/card.img:p1": what scanners open
    QString label;
    QString file_system;   // "NTFS", "FAT32", ...; empty when unknown
    // Other file systems found there beside file_system, read from its boot
    // sector (leftovers of an earlier format), "ext4,..."; mostly empty.
    QString other_signatures;
    QString root_path;     // mount point with a trailing "/", else device_path + "/"
    uint64_t total_bytes = 0;
    uint64_t free_bytes = 0;
    // false: the volume is not mounted and its file system does not say
    // cheaply how much is free; free_bytes is then 0 and means nothing.
    bool free_space_known = false;
    int32_t partition_number = -1;
    int32_t disk_number = -1;
    // Not readable by this user yet: opened through udisks2 or the helper
    // (a password prompt) when chosen; the file system is unknown till then.
    bool locked = false;
    // A volume no partition table names (one the partition search found, or
    // the whole disk for a deep scan): read through a window over the disk
    // at device_path, from this sector (the disk's logical sectors) on;
    // -1 for every other volume.
    int64_t window_sector = -1;
    // The window's length in sectors; 0: as long as the volume's boot sector
    // says (else to the disk's end); clipped to the disk.
    uint64_t window_sectors = 0;
};
Q_DECLARE_METATYPE(volume_item_s)

struct drive_item_s {
    QString device_path;   // "/dev/sdb" or the image path; empty in the header row
    uint64_t size_bytes = 0;
    // Null in the header row; shared by copies of the record.
    std::shared_ptr<const platform::disk_geometry_s> geometry;
    bool locked = false;  // as volume_item_s::locked
};
Q_DECLARE_METATYPE(drive_item_s)

// Element 0 of each list is its header row.
extern std::vector<volume_item_s> volume_list;
extern std::vector<drive_item_s> drive_list;

// Registers both records with the meta-type system under their own names.
void register_device_types();
