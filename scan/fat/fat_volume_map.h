// Ties the reader's logical volume numbers to volumes of the drive table.
// Only volume 0 is ever mapped.
#pragma once

#include <cstdint>
#include <string>

inline constexpr int fat_max_volumes = 10;

struct volume_map_s {
    uint8_t drive = 0;           // drive number in the disk layer
    uint8_t partition = 0;       // partition number; 0 when the disk has no partition table
    uint32_t first_sector = 0;   // disk sector at which the volume starts
    uint64_t sector_count = 0;   // sectors of the volume's window on the drive (0 = unknown)
};

// Maps volume 0 onto the volume named by path (a volume record's
// device_path, one trailing "/" or "\" removed here). Returns 0, or -1 when
// the volume cannot be located or its numbers do not fit; the map is then
// left unchanged.
int fat_map_volume(const std::string& path);

// Entry n of the map (a default entry for n out of range).
volume_map_s fat_volume_map(int n);
