// Reading a file's data by start cluster, through the FAT or as one
// contiguous run of clusters.
#include "engines/fat/fat_internal.h"

#include <algorithm>
#include <cstring>

int fat_file_setup(fat_file_s* file, fat_volume_s* fs, uint32_t start_cluster, uint32_t size)
{
    *file = fat_file_s{};
    if (!fs || fs->fs_type == fat_none)
        return fr_invalid_object;
    file->fs = fs;
    file->mount_id = fs->mount_id;
    file->mode = fat_file_readable;
    file->size = size;
    file->start_cluster = start_cluster;
    return fr_ok;
}

namespace {

// The cluster after the current one in a run; with skip_allocated the next
// one free now. The walk ends at the volume's end; 0xFFFFFFFF when the FAT
// cannot be read.
uint32_t next_in_run(fat_file_s* file)
{
    uint32_t next = file->cluster + 1;
    if (!file->skip_allocated)
        return next;
    for (; fat_cluster_valid(file->fs, next); ++next) {
        const uint32_t value = fat_next_cluster(file->fs, next);
        if (value == 0 || value == 0xFFFFFFFF)
            return value == 0 ? next : value;
    }
    return next;  // past the end: refused by the caller's check
}

// sectors whole sectors from sector on and tail bytes of the one after.
int read_with_tail(fat_volume_s* fs, uint8_t* out, uint64_t sector, uint32_t sectors, uint32_t tail)
{
    if (tail == 0)
        return fat_read_sectors(fs, out, sector, sectors);
    if (sector >= fs->volume_end || uint64_t{sectors} + 1 > fs->volume_end - sector)
        return fr_disk_error;
    const uint64_t bytes = uint64_t{sectors} * fs->sector_bytes + tail;
    const int64_t got = fs->source->read_at(sector * fs->sector_bytes, out, bytes);
    return got >= 0 && static_cast<uint64_t>(got) == bytes ? fr_ok : fr_disk_error;
}

}  // namespace

int f_read(fat_file_s* file, void* buffer, uint32_t count, uint32_t* delivered, bool contiguous)
{
    *delivered = 0;
    if (!file)
        return fr_invalid_object;
    const int valid = fat_check_object(file->fs, file->mount_id);
    if (valid != fr_ok)
        return valid;
    if (file->mode & fat_file_error)
        return fr_int_error;
    if (!(file->mode & fat_file_readable))
        return fr_denied;

    fat_volume_s* fs = file->fs;
    auto* out = static_cast<uint8_t*>(buffer);
    if (file->position > file->size)
        return fr_ok;
    if (count > file->size - file->position)
        count = file->size - file->position;

    while (count > 0) {
        uint64_t sector = 0;
        const uint32_t sector_bytes = fs->sector_bytes;
        const uint32_t in_sector = file->position % sector_bytes;
        const uint32_t sector_in_cluster = (file->position / sector_bytes) & (fs->cluster_size - 1u);
        if (in_sector == 0 && sector_in_cluster == 0) {
            uint32_t next;
            if (file->position == 0)
                next = file->start_cluster;
            else if (contiguous)
                next = next_in_run(file);
            else
                next = fat_next_cluster(fs, file->cluster);
            if (next == 0xFFFFFFFF) {
                file->mode |= fat_file_error;
                return fr_disk_error;
            }
            if (!fat_cluster_valid(fs, next)) {
                file->mode |= fat_file_error;
                return fr_int_error;
            }
            file->cluster = next;
        }
        // The cluster was checked when it was taken; a file object filled by
        // hand may still carry a bad one.
        if (!fat_cluster_valid(fs, file->cluster)) {
            file->mode |= fat_file_error;
            return fr_int_error;
        }
        sector = fat_cluster_sector(fs, file->cluster) + sector_in_cluster;

        uint32_t done = 0;
        if (in_sector == 0 && count >= sector_bytes) {
            // Whole sectors go straight to the caller, up to the end of the
            // run of clusters that lie one after the other: one read for a
            // file written in one piece instead of one a cluster.
            const uint32_t wanted = count / sector_bytes;
            uint32_t sectors = std::min<uint32_t>(wanted, fs->cluster_size - sector_in_cluster);
            while (sectors < wanted) {
                const uint32_t next = contiguous ? next_in_run(file) : fat_next_cluster(fs, file->cluster);
                if (next != file->cluster + 1 || !fat_cluster_valid(fs, next))
                    break;  // taken, and judged, at the top of the loop
                file->cluster = next;
                sectors += std::min<uint32_t>(wanted - sectors, fs->cluster_size);
            }
            // A file's last bytes, when they lie in the sector right after
            // these in the same cluster, come with them in the same read.
            uint32_t tail = 0;
            if (sectors == wanted && (sector_in_cluster + sectors) % fs->cluster_size != 0)
                tail = count % sector_bytes;
            if (read_with_tail(fs, out, sector, sectors, tail) != fr_ok) {
                file->mode |= fat_file_error;
                return fr_disk_error;
            }
            done = sectors * sector_bytes + tail;
        } else {
            if (!file->buffer_valid || file->buffer_sector != sector) {
                file->buffer_valid = false;
                if (fat_read_sectors(fs, file->buffer, sector, 1) != fr_ok) {
                    file->mode |= fat_file_error;
                    return fr_disk_error;
                }
                file->buffer_sector = sector;
                file->buffer_valid = true;
            }
            done = sector_bytes - in_sector;
            if (done > count)
                done = count;
            std::memcpy(out, file->buffer + in_sector, done);
        }
        out += done;
        count -= done;
        file->position += done;
        *delivered += done;
    }
    return fr_ok;
}
