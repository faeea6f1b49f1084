// Every volume of every drive in the drive table: each partition, and each
// drive without a partition table whose first sector holds a file system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct platform_volume_s {
    std::string device_path;   // "/dev/sdb1" or "<image>:pN"
    std::string dos_device;    // "sdb1" or "<image file name>:pN"
    std::string label;
    std::string file_system;   // "FAT32", "NTFS", ... ; empty when unknown
    std::string other_signatures;  // libblkid's other finds there, "ext4,..." (see partitions.h)
    std::string root_path;     // mount point + "/", else device_path + "/"
    std::string disk_path;     // device_path of the drive that holds it
    uint64_t start_bytes = 0;  // offset of the volume on its drive
    uint64_t total_bytes = 0;
    uint64_t free_bytes = 0;
    bool free_space_known = false;  // false: free_bytes means nothing
    bool mounted = false;
    bool removable = false;
    // This process may not read the disk: what sysfs tells (partitions,
    // sizes) is all that is known; the file system is learnt once the disk
    // is opened through udisks2 or the helper, when the volume is chosen.
    bool locked = false;
    int partition_number = -1; // 0 for a whole unpartitioned drive
    int disk_number = -1;      // index in the drive table
};

// Volumes in drive-table order, then partition order.
std::vector<platform_volume_s> list_volumes();

// The volume whose device_path equals path (or, for a path naming an image
// file, that image's whole-image volume ":p0"). Returns false if none.
bool find_volume(const std::string& path, platform_volume_s* out);

// Partition number and drive number of a volume path. Returns 0 when both
// were found, -1 otherwise.
int locate_volume(const std::string& device_path, int* partition_number, int* disk_number,
                  uint64_t* start_bytes = nullptr);

// A /proc/self/mountinfo field with its \ooo escapes decoded.
std::string unescape_mount_field(const std::string& field);

// First mount point of a block device ("/media/ana/CARD"), or empty.
std::string mount_point_of(const std::string& block_device_path);

// The mounted parts of a whole block disk, the disk itself and each of its
// partitions, as "/dev/sdb1 on /media/ana/CARD". Empty for an image file or
// a disk nothing of which is mounted.
std::vector<std::string> mounted_parts_of_disk(const std::string& disk_path);

// Device number (st_rdev for block devices) a path lives on, for comparing a
// destination folder with a scanned volume. Returns 0 when unknown.
uint64_t device_number_of_path(const std::string& path);
uint64_t device_number_of_volume(const std::string& device_path);

}  // namespace platform
