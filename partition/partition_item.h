// One partition found by the partition search.
#pragma once

#include <QMetaType>
#include <QString>
#include <cstdint>

struct partition_item_s {
    QString file_system;     // "NTFS", "FAT32", "exFAT", "ext4", "swap", ...; empty in a column-header row
    int32_t type = 0;        // partition type byte for an MBR entry: 7 (NTFS, exFAT), 12, 0x83, 0x82, ...
    uint64_t start_sector = 0;  // the boot sector, counted from 0, in the disk's logical sectors
    uint64_t end_sector = 0;    // last sector, inclusive
    QString label;              // the file system's own, when it has one
    uint32_t sector_bytes = 512;  // the disk's logical sector size
    bool efi = false;             // a FAT volume with an EFI folder at its root: an EFI system partition
    uint64_t size_bytes() const { return (end_sector - start_sector + 1) * sector_bytes; }
};
Q_DECLARE_METATYPE(partition_item_s)

// Registers partition_item_s with the meta-type system under its own name.
void register_partition_types();
