// Partition tables (MBR with logical partitions, GPT) and file-system probes,
// read with libblkid, or for an image inside a container (E01, VHD, ...)
// from the bytes of the disk it holds. Entries that run past the end of the disk are clipped,
// entries starting past it are dropped; overlapping entries are kept only
// when they do not overlap an earlier one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class byte_source_c;

struct partition_s {
    int number = 0;             // 1.. as the kernel numbers them; 0 = whole disk
    uint64_t start_bytes = 0;   // offset of the first byte on the disk
    uint64_t size_bytes = 0;
    std::string table_type;     // "dos", "gpt", or empty for a whole disk
};

struct filesystem_info_s {
    std::string type;   // libblkid's name: "vfat", "ntfs", "exfat", ...
    std::string label;
    std::string fat_version;  // "FAT12"/"FAT16"/"FAT32" for vfat, else empty
    // Other file systems libblkid found beside one whose boot sector we read
    // (the leftovers of an earlier format), comma-separated; mostly empty.
    std::string other_signatures;
    // The volume's length as its boot sector states it (NTFS: with the
    // backup boot sector after it); 0 where libblkid probed.
    uint64_t volume_bytes = 0;
};

// The partitions of a disk (block device or image file). Returns an empty
// list when the disk has no partition table or cannot be read.
std::vector<partition_s> read_partitions(const std::string& disk_path);

// Whether the disk carries a partition table at all (even an empty one).
bool has_partition_table(const std::string& disk_path);

// Probes the window [offset, offset + size) of a disk for a file system.
// Returns false when nothing is recognised. A FAT, NTFS or exFAT boot sector
// whose fields make a volume wins over anything else libblkid reports there
// (named in other_signatures), so a volume we can read is always offered.
bool probe_filesystem(const std::string& disk_path, uint64_t offset, uint64_t size,
                      filesystem_info_s* info);

// The same three read from a source's bytes with our own decoders: MBR with
// logical partitions and GPT (LBAs in the source's sector size); FAT12/16/32,
// NTFS and exFAT recognised by a boot sector whose fields make a volume.
std::vector<partition_s> read_partitions(const byte_source_c& disk);
bool has_partition_table(const byte_source_c& disk);
bool probe_filesystem(const byte_source_c& disk, uint64_t offset, uint64_t size, filesystem_info_s* info);

// The name the rest of the program uses for a file system:
// vfat -> FAT12/FAT16/FAT32, ntfs -> NTFS, exfat -> exFAT, else libblkid's name.
std::string display_filesystem_name(const filesystem_info_s& info);

}  // namespace platform
