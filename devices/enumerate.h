// Fills the process-wide volume and drive lists from the platform's drive
// table. Neither may run on two threads at once.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

// Rebuilds volume_list: the header row, then every offered volume ordered by
// root path.
void enumerate_volumes();

// Rebuilds drive_list: the header row, then every drive of the drive table
// that can be opened, in order. Returns 0.
int enumerate_drives();

// The device paths of the drives the last enumerate_drives passed over
// because they could not be opened (a disk this user may not read, an image
// file that was removed), in drive-table order.
const std::vector<QString>& skipped_drives();

// Partition and drive number of a volume path. Returns 0 when both were
// found, -1 otherwise.
int query_volume_location(const QString& volume_path, int32_t* partition_number, int32_t* disk_number);

// A byte count as "5.00G", "1.00K", "1024B" (base 1024, strictly greater).
QString format_size(uint64_t bytes);
