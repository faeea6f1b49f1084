// Mounting: finding and validating the boot sector of a volume's source.
#include "engines/fat/fat_internal.h"
#include "ondisk/fat_boot_sector.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

std::atomic<uint16_t> mount_counter{0};

bool power_of_two(uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// Lays fs out from the boot sector's bytes. Returns a result code.
int mount_from(fat_volume_s* fs, const uint8_t* sector)
{
    const platform::byte_source_c& source = *fs->source;
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
    // FAT32 may keep one FAT live and leave the others stale.
    fs->active_fat = 0;
    fs->fats_mirrored = true;
    if (type == fat_32 && (boot.ext_flags & 0x80)) {
        fs->fats_mirrored = false;
        if ((boot.ext_flags & 0x0F) < fat_count)
            fs->active_fat = static_cast<uint8_t>(boot.ext_flags & 0x0F);
    }
    fs->mount_id = ++mount_counter;
    fs->fs_type = type;
    return fr_ok;
}

// Whether the sector at offset came back whole; *error takes the medium's
// reason when it did not.
bool read_whole(const platform::byte_source_c& source, uint64_t offset, uint8_t* bytes, size_t length, int* error)
{
    const int64_t got = source.read_at(offset, bytes, length);
    if (got < 0) {
        *error = errno != 0 ? errno : EIO;
        return false;
    }
    if (static_cast<uint64_t>(got) != length)
        return false;
    const std::vector<platform::unreadable_range_s> lost = source.unreadable_in(offset, length);
    if (!lost.empty()) {
        *error = lost.front().error != 0 ? lost.front().error : EIO;
        return false;
    }
    return true;
}

// Mounts fs from sector 0 of its source, else, on FAT32, from the copy of
// the boot sector the volume keeps (sector 6 unless the boot sector names
// another). Returns a result code; fr_disk_error only when the boot sector
// could not be read and no copy served.
int mount_volume(fat_volume_s* fs)
{
    fs->fs_type = fat_none;
    fs->window_valid = false;
    fs->fat_window_valid = false;
    fs->boot_from_backup = false;
    fs->boot_read_error = 0;
    fs->fat_sectors_mended.clear();
    fs->fat_sectors_lost.clear();
    fs->dir_sectors_unreadable = 0;
    fs->first_dir_sector_unreadable = 0;
    fs->dir_read_error = 0;
    if (!fs->source)
        return fr_not_enabled;
    const platform::byte_source_c& source = *fs->source;

    uint8_t sector[ondisk::sector_bytes];
    int error = 0;
    int result = fr_no_filesystem;
    const bool primary_read = read_whole(source, 0, sector, sizeof sector, &error);
    if (primary_read) {
        result = mount_from(fs, sector);
        if (result == fr_ok)
            return fr_ok;
    } else if (error != 0) {
        fs->boot_read_error = error;
        result = fr_disk_error;
    } else if (source.size() >= sizeof sector) {
        result = fr_disk_error;
    }

    // The copy lies at the same sector number in the sector size of the
    // volume: the main boot sector's figure where it can be read, else each
    // size a medium may have.
    const ondisk::fat_boot_sector_s primary = ondisk::decode_fat_boot_sector(sector);
    const bool primary_named = primary_read && primary.signature && primary.fat_label32 &&
                               power_of_two(primary.bytes_per_sector) && primary.bytes_per_sector >= fat_min_sector_bytes &&
                               primary.bytes_per_sector <= fat_max_sector_bytes && primary.backup_boot > 1 &&
                               primary.backup_boot < primary.reserved_sectors && primary.backup_boot < 64;
    const uint64_t backup_sector = primary_named ? primary.backup_boot : 6;
    for (uint32_t size = fat_min_sector_bytes; size <= fat_max_sector_bytes; size *= 2) {
        if (primary_named && size != primary.bytes_per_sector)
            continue;
        uint8_t copy[ondisk::sector_bytes];
        int copy_error = 0;
        if (!read_whole(source, backup_sector * size, copy, sizeof copy, &copy_error))
            continue;
        const ondisk::fat_boot_sector_s backup = ondisk::decode_fat_boot_sector(copy);
        // Only FAT32 keeps a copy, and a copy lays the volume out in its own
        // sector size.
        if (backup.bytes_per_sector != size || !backup.fat32_label || backup.root_entries != 0 ||
            backup.fat_sectors32 == 0 || backup.reserved_sectors <= backup_sector)
            continue;
        std::memcpy(sector, copy, sizeof sector);
        if (mount_from(fs, sector) == fr_ok && fs->fs_type == fat_32) {
            fs->boot_from_backup = true;
            return fr_ok;
        }
        fs->fs_type = fat_none;
    }
    return result;
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
    fs->window_unreadable = fs->source->any_unreadable_in(sector * fs->sector_bytes, fs->sector_bytes);
    return fr_ok;
}
