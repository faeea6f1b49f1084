// The file allocation table: the next cluster of a chain.
#include "engines/fat/fat_internal.h"

uint32_t fat_next_cluster(fat_volume_s* fs, uint32_t c)
{
    const uint8_t type = fs->fs_type;
    if (!fat_cluster_valid(fs, c) || (type != fat_12 && type != fat_16 && type != fat_32))
        return 1;
    const uint64_t offset = fat_entry_offset(type, c);
    uint8_t bytes[4] = {};
    for (uint32_t i = 0; i < fat_entry_bytes(type); ++i) {
        if (fat_move_window(fs, fs->fat_start + (offset + i) / fs->sector_bytes) != fr_ok)
            return 0xFFFFFFFF;
        bytes[i] = fs->window[(offset + i) % fs->sector_bytes];
    }
    return fat_entry_value(type, c, bytes);
}
