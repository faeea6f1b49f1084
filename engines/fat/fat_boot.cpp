// Mounting: finding and validating the boot sector of a volume's source.
#include "engines/fat/fat_internal.h"
#include "ondisk/fat_boot_sector.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

std::atomic<uint16_t> mount_counter{0};

bool power_of_two(uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// Mounts fs from sector 0 of its source. Returns a result code.
int mount_volume(fat_volume_s* fs)
{
    fs->fs_type = fat_none;
    fs->window_valid = false;
    if (!fs->source)
        return fr_not_enabled;
    const platform::byte_source_c& source = *fs->source;

    uint8_t sector[ondisk::sector_bytes];
    const int64_t got = source.read_at(0, sector, sizeof sector);
    if (got != static_cast<int64_t>(sizeof sector))
        return got < 0 || source.size() >= sizeof sector ? fr_disk_error : fr_no_filesystem;
    const ondisk::fat_boot_sector_s boot = ondisk::decode_fat_boot_sector(sector);
    if (!boot.signature || !(boot.fat_label16 || boot.fat_label32))
        return fr_no_filesystem;

    // Everything below is hostile until checked; sums are done in 64 bits.
    // The boot sector's sector size lays the volume out, whatever the medium
    // reports: every read is by byte offset, and a volume copied between
    // media (a 4096-byte-sector enclosure's card imaged to a file or to a
    // 512-byte disk, or the reverse) keeps the layout it was written with.
    // The medium's figure only tells which way round a mismatch is, and
    // neither way stops the volume from being read.
    const uint32_t sector_bytes = boot.bytes_per_sector;
    if (sector_bytes < fat_min_sector_bytes || sector_bytes > fat_max_sector_bytes || !power_of_two(sector_bytes))
        return fr_no_filesystem;
    const uint64_t fat_sectors = boot.fat_sectors;
    const unsigned fat_count = boot.fat_count;
    const unsigned cluster_size = boot.sectors_per_cluster;
    const unsigned root_entries = boot.root_entries;
    const uint64_t total = boot.total_sectors;
    const unsigned reserved = boot.reserved_sectors;
    if (fat_count != 1 && fat_count != 2)
        return fr_no_filesystem;
    if (!power_of_two(cluster_size))
        return fr_no_filesystem;
    if (root_entries % 16 != 0 || reserved == 0 || fat_sectors == 0)
        return fr_no_filesystem;
    const uint64_t root_sectors = (uint64_t{root_entries} * 32 + sector_bytes - 1) / sector_bytes;
    const uint64_t system_sectors = reserved + fat_count * fat_sectors + root_sectors;
    if (system_sectors >= total)
        return fr_no_filesystem;
    const uint64_t clusters = (total - system_sectors) / cluster_size;
    if (clusters == 0)
        return fr_no_filesystem;
    const uint8_t type = clusters < 4086 ? fat_12 : clusters > 65525 ? fat_32 : fat_16;
    if (clusters + 2 > 0x0FFFFFF7)  // beyond what a FAT32 entry can name
        return fr_no_filesystem;
    const uint64_t fat_entries = clusters + 2;

    uint64_t fat_bytes = 0;
    uint64_t root_base = 0;
    if (type == fat_32) {
        if (root_entries != 0)
            return fr_no_filesystem;
        root_base = boot.root_cluster;
        fat_bytes = fat_entries * 4;
    } else {
        if (root_entries == 0)
            return fr_no_filesystem;
        root_base = reserved + fat_count * fat_sectors;
        fat_bytes = type == fat_16 ? fat_entries * 2 : (fat_entries * 3 + 1) / 2;
    }
    if ((fat_bytes + sector_bytes - 1) / sector_bytes > fat_sectors)
        return fr_no_filesystem;

    fs->sector_bytes = sector_bytes;
    fs->cluster_size = static_cast<uint8_t>(cluster_size);
    fs->fat_count = static_cast<uint8_t>(fat_count);
    fs->root_entries = static_cast<uint16_t>(root_entries);
    fs->fat_entries = static_cast<uint32_t>(fat_entries);
    fs->fat_sectors = static_cast<uint32_t>(fat_sectors);
    fs->fat_start = reserved;
    fs->data_start = system_sectors;
    fs->root_base = root_base;
    // Never read past the end of the source, even when the boot sector
    // claims more.
    fs->volume_end = std::min<uint64_t>(total, source.size() / sector_bytes);
    fs->mount_id = ++mount_counter;
    fs->fs_type = type;
    fs->window_valid = false;
    return fr_ok;
}

}  // namespace

void fat_attach(fat_volume_s* fs, platform::byte_source_ptr source)
{
    fs->source = std::move(source);
    fs->fs_type = fat_none;
    fs->window_valid = false;
}

int fat_check_object(const fat_volume_s* fs, uint16_t mount_id)
{
    if (!fs || fs->fs_type == fat_none || fs->mount_id != mount_id)
        return fr_invalid_object;
    return fr_ok;
}

int fat_ensure_mounted(fat_volume_s* fs)
{
    if (!fs)
        return fr_invalid_object;
    if (fs->fs_type != fat_none)
        return fr_ok;
    return mount_volume(fs);
}

int fat_read_sectors(fat_volume_s* fs, uint8_t* buffer, uint64_t sector, uint32_t count)
{
    if (sector >= fs->volume_end || count > fs->volume_end - sector)
        return fr_disk_error;
    const uint64_t bytes = uint64_t{count} * fs->sector_bytes;
    const int64_t got = fs->source->read_at(sector * fs->sector_bytes, buffer, bytes);
    return got >= 0 && static_cast<uint64_t>(got) == bytes ? fr_ok : fr_disk_error;
}

int fat_move_window(fat_volume_s* fs, uint64_t sector)
{
    if (fs->window_valid && fs->window_sector == sector)
        return fr_ok;
    fs->window_valid = false;
    if (fat_read_sectors(fs, fs->window, sector, 1) != fr_ok)
        return fr_disk_error;
    fs->window_sector = sector;
    fs->window_valid = true;
    return fr_ok;
}
