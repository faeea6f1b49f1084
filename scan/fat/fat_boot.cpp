// Volume registration and mounting: finding and validating the boot sector.
#include "scan/fat/fat_disk.h"
#include "scan/fat/fat_internal.h"
#include "scan/fat/fat_volume_map.h"
#include "ondisk/fat_boot_sector.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::mutex registry_mutex;
std::array<fat_volume_s*, fat_max_volumes> registry{};
std::atomic<uint16_t> mount_counter{0};

enum class boot_kind { fat, signature_only, none, disk_error };

boot_kind examine_sector(uint8_t drive, uint32_t sector, uint8_t* buffer, ondisk::fat_boot_sector_s* boot)
{
    if (disk_read(drive, buffer, sector, 1) != disk_ok)
        return boot_kind::disk_error;
    *boot = ondisk::decode_fat_boot_sector(buffer);
    if (!boot->signature)
        return boot_kind::none;
    if (boot->fat_label16 || boot->fat_label32)
        return boot_kind::fat;
    return boot_kind::signature_only;
}

// Mounts fs from volume map entry n. Returns a result code.
int mount_volume(fat_volume_s* fs, int n)
{
    fs->fs_type = fat_none;
    fs->window_valid = false;
    const volume_map_s map = fat_volume_map(n);
    fs->drive = map.drive;
    if (disk_init(fs->drive) & disk_status_not_ready)
        return fr_not_ready;
    if (disk_sector_size(fs->drive) != fat_sector_bytes)
        return fr_no_filesystem;

    uint8_t sector[fat_sector_bytes];
    ondisk::fat_boot_sector_s boot;
    uint32_t base = 0;
    boot_kind kind = examine_sector(fs->drive, 0, sector, &boot);
    if ((map.partition != 0 && kind == boot_kind::fat) || kind == boot_kind::signature_only) {
        base = map.first_sector;
        kind = examine_sector(fs->drive, base, sector, &boot);
    }
    if (kind == boot_kind::disk_error)
        return fr_disk_error;
    if (kind != boot_kind::fat)
        return fr_no_filesystem;

    // Everything below is hostile until checked; sums are done in 64 bits.
    if (boot.bytes_per_sector != fat_sector_bytes)
        return fr_no_filesystem;
    const uint64_t fat_sectors = boot.fat_sectors;
    const unsigned fat_count = boot.fat_count;
    const unsigned cluster_size = boot.sectors_per_cluster;
    const unsigned root_entries = boot.root_entries;
    const uint64_t total = boot.total_sectors;
    const unsigned reserved = boot.reserved_sectors;
    if (fat_count != 1 && fat_count != 2)
        return fr_no_filesystem;
    if (cluster_size == 0 || (cluster_size & (cluster_size - 1)) != 0)
        return fr_no_filesystem;
    if (root_entries % 16 != 0 || reserved == 0 || fat_sectors == 0)
        return fr_no_filesystem;
    const uint64_t system_sectors = reserved + fat_count * fat_sectors + root_entries / 16;
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
    uint32_t root_base = 0;
    if (type == fat_32) {
        if (root_entries != 0)
            return fr_no_filesystem;
        root_base = boot.root_cluster;
        fat_bytes = fat_entries * 4;
    } else {
        if (root_entries == 0)
            return fr_no_filesystem;
        root_base = 0;  // set below, absolute
        fat_bytes = type == fat_16 ? fat_entries * 2 : (fat_entries * 3 + 1) / 2;
    }
    if ((fat_bytes + fat_sector_bytes - 1) / fat_sector_bytes > fat_sectors)
        return fr_no_filesystem;
    // Absolute sectors are 32-bit numbers on the drive.
    if (uint64_t{base} + total > UINT32_MAX)
        return fr_no_filesystem;

    fs->cluster_size = static_cast<uint8_t>(cluster_size);
    fs->fat_count = static_cast<uint8_t>(fat_count);
    fs->root_entries = static_cast<uint16_t>(root_entries);
    fs->fat_entries = static_cast<uint32_t>(fat_entries);
    fs->fat_sectors = static_cast<uint32_t>(fat_sectors);
    fs->fat_start = base + reserved;
    fs->data_start = static_cast<uint32_t>(base + system_sectors);
    fs->root_base = type == fat_32 ? root_base : static_cast<uint32_t>(base + reserved + fat_count * fat_sectors);
    fs->volume_base = base;
    // Never read past the end of the volume's own extent on the drive, even
    // when the boot sector claims more.
    uint64_t end = uint64_t{base} + total;
    if (map.sector_count != 0 && base == map.first_sector && uint64_t{map.first_sector} + map.sector_count < end)
        end = uint64_t{map.first_sector} + map.sector_count;
    fs->volume_end = end;
    fs->mount_id = ++mount_counter;
    fs->fs_type = type;
    fs->window_valid = false;
    return fr_ok;
}

}  // namespace

int f_mount(int n, fat_volume_s* fs)
{
    if (n < 0 || n >= fat_max_volumes)
        return fr_invalid_drive;
    std::lock_guard lock(registry_mutex);
    if (registry[n])
        registry[n]->fs_type = fat_none;
    if (fs)
        fs->fs_type = fat_none;
    registry[n] = fs;
    return fr_ok;
}

void fat_unregister(fat_volume_s* fs)
{
    std::lock_guard lock(registry_mutex);
    for (auto& registered : registry)
        if (registered == fs)
            registered = nullptr;
    if (fs)
        fs->fs_type = fat_none;
}

int fat_check_object(const fat_volume_s* fs, uint16_t mount_id)
{
    if (!fs || fs->fs_type == fat_none || fs->mount_id != mount_id)
        return fr_invalid_object;
    if (disk_status(fs->drive) & disk_status_not_ready)
        return fr_not_ready;
    return fr_ok;
}

int fat_mounted_volume(int n, fat_volume_s** out)
{
    if (n < 0 || n >= fat_max_volumes)
        return fr_invalid_drive;
    fat_volume_s* fs = nullptr;
    {
        std::lock_guard lock(registry_mutex);
        fs = registry[n];
    }
    if (!fs)
        return fr_not_enabled;
    *out = fs;
    if (fs->fs_type != fat_none && !(disk_status(fs->drive) & disk_status_not_ready))
        return fr_ok;
    return mount_volume(fs, n);
}

int fat_ensure_mounted(fat_volume_s* fs)
{
    if (!fs)
        return fr_invalid_object;
    if (fs->fs_type != fat_none && !(disk_status(fs->drive) & disk_status_not_ready))
        return fr_ok;
    int n = -1;
    {
        std::lock_guard lock(registry_mutex);
        for (int i = 0; i < fat_max_volumes; ++i)
            if (registry[i] == fs)
                n = i;
    }
    if (n < 0)
        return fr_not_enabled;
    return mount_volume(fs, n);
}

int fat_read_sectors(fat_volume_s* fs, uint8_t* buffer, uint32_t sector, uint32_t count)
{
    if (sector < fs->volume_base || uint64_t{sector} + count > fs->volume_end)
        return fr_disk_error;
    return disk_read(fs->drive, buffer, sector, count) == disk_ok ? fr_ok : fr_disk_error;
}

int fat_move_window(fat_volume_s* fs, uint32_t sector)
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
