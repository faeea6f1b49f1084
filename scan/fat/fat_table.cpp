// The file allocation table: the next cluster of a chain.
#include "scan/fat/fat_internal.h"

uint32_t fat_next_cluster(fat_volume_s* fs, uint32_t c)
{
    if (!fat_cluster_valid(fs, c))
        return 1;
    switch (fs->fs_type) {
    case fat_12: {
        // 12-bit entries at byte c + c/2; the two bytes may straddle sectors.
        const uint32_t offset = c + c / 2;
        if (fat_move_window(fs, fs->fat_start + offset / fat_sector_bytes) != fr_ok)
            return 0xFFFFFFFF;
        const uint8_t low = fs->window[offset % fat_sector_bytes];
        if (fat_move_window(fs, fs->fat_start + (offset + 1) / fat_sector_bytes) != fr_ok)
            return 0xFFFFFFFF;
        const uint8_t high = fs->window[(offset + 1) % fat_sector_bytes];
        const uint32_t pair = uint32_t{low} | uint32_t{high} << 8;
        return (c & 1) ? pair >> 4 : pair & 0x0FFF;
    }
    case fat_16:
        if (fat_move_window(fs, fs->fat_start + c * 2 / fat_sector_bytes) != fr_ok)
            return 0xFFFFFFFF;
        return le16(fs->window + c * 2 % fat_sector_bytes);
    case fat_32:
        if (fat_move_window(fs, fs->fat_start + c * 4 / fat_sector_bytes) != fr_ok)
            return 0xFFFFFFFF;
        return le32(fs->window + c * 4 % fat_sector_bytes) & 0x0FFFFFFF;
    default:
        return 1;
    }
}
