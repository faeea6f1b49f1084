// One partition found by the partition search.
#pragma once

#include <QMetaType>
#include <QString>
#include <cstdint>

struct partition_item_s {
    QString file_system;     // "NTFS", "FAT32" or "exFAT"; empty in a column-header row
    int32_t type = 0;        // partition type byte for a table entry: 7 (NTFS, exFAT) or 12
    uint64_t start_sector = 0;  // the boot sector, counted from 0
    uint64_t end_sector = 0;    // last sector, inclusive
};
Q_DECLARE_METATYPE(partition_item_s)

// Registers partition_item_s with the meta-type system under its own name.
void register_partition_types();
