#include "engines/fat/fat_harvest.h"

#include "engines/fat/fat_internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t entry_bytes = 32;
constexpr uint32_t read_bytes = 1u << 20;
constexpr int64_t max_read_errors = 256;

uint32_t entry_cluster(const fat_volume_s* fs, const uint8_t* e)
{
    uint32_t cluster = le16(e + 26);
    if (fs->fs_type == fat_32)
        cluster |= uint32_t{le16(e + 20)} << 16;
    return cluster;
}

bool dot_entry(const uint8_t* e, int dots)
{
    static const uint8_t one[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    static const uint8_t two[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    return std::memcmp(e, dots == 1 ? one : two, 11) == 0 && (e[11] & fat_attr_directory) &&
           !(e[11] & (fat_attr_volume | 0x80 | fat_attr_deleted));
}

uint64_t data_clusters(const fat_volume_s* fs)
{
    if (fs->fat_entries < 2 || fs->cluster_size == 0)
        return 0;
    // Never past the volume's end, whatever the FAT size claims.
    const uint64_t clusters = fs->fat_entries - 2;
    if (fs->volume_end <= fs->data_start)
        return 0;
    return std::min<uint64_t>(clusters, (fs->volume_end - fs->data_start) / fs->cluster_size);
}

bool all_bytes(const uint8_t* bytes, uint32_t length, uint8_t value)
{
    for (uint32_t i = 0; i < length; ++i)
        if (bytes[i] != value)
            return false;
    return true;
}

}  // namespace

fat_harvest_cluster_s fat_harvest_classify(const fat_volume_s* fs, uint32_t c, const uint8_t* bytes, uint32_t length)
{
    fat_harvest_cluster_s out;
    out.cluster = c;
    if (length < 2 * entry_bytes || length % entry_bytes != 0)
        return out;
    uint32_t rest = 0;
    if (bytes[0] == '.') {
        if (!dot_entry(bytes, 1) || !dot_entry(bytes + entry_bytes, 2) || entry_cluster(fs, bytes) != c)
            return out;
        uint32_t parent = entry_cluster(fs, bytes + entry_bytes);
        if (fs->fs_type == fat_32 && parent == fs->root_base)
            parent = 0;
        if (parent != 0 && (!fat_cluster_valid(fs, parent) || parent == c))
            return out;
        out.parent = parent;
        rest = 2 * entry_bytes;
        if (fat_dir_continuation(fs, bytes + rest, length - rest) == fat_continuation_no)
            return out;
        out.kind = fat_harvest_kind_e::first;
    } else {
        if (fat_dir_continuation(fs, bytes, length) != fat_continuation_yes)
            return out;
        out.kind = fat_harvest_kind_e::continuation;
    }
    for (uint32_t at = rest; at < length; at += entry_bytes)
        if (bytes[at] == 0) {
            out.ended = true;
            break;
        }
    return out;
}

bool fat_data_area_in_use(fat_volume_s* fs)
{
    const uint64_t clusters = data_clusters(fs);
    if (clusters < 2)
        return false;
    // Cameras and computers fill a card from the front: the first clusters
    // past the root, then a spread over the rest.
    constexpr uint64_t samples = 256;
    std::vector<uint8_t> sector(fs->sector_bytes);
    int used = 0;
    for (uint64_t i = 0; i < samples; ++i) {
        const uint64_t index = i < 64 ? 1 + i : 1 + (i - 64) * (clusters - 1) / (samples - 64);
        if (index >= clusters)
            continue;
        const uint32_t c = static_cast<uint32_t>(index + 2);
        if (fs->fs_type == fat_32 && c == fs->root_base)
            continue;
        if (fat_read_sectors(fs, sector.data(), fat_cluster_sector(fs, c), 1) != fr_ok)
            continue;
        if (!all_bytes(sector.data(), fs->sector_bytes, 0) && !all_bytes(sector.data(), fs->sector_bytes, 0xFF))
            ++used;
    }
    return used >= 2;
}

fat_harvest_pass_s fat_harvest_pass(fat_volume_s* fs, const std::function<bool(double)>& keep_going,
                                    const std::function<void(const fat_harvest_cluster_s&)>& found)
{
    fat_harvest_pass_s pass;
    const uint64_t clusters = data_clusters(fs);
    const uint32_t cluster_bytes = uint32_t{fs->cluster_size} * fs->sector_bytes;
    if (clusters == 0 || cluster_bytes == 0)
        return pass;
    const uint32_t per_read = std::max<uint32_t>(1, read_bytes / cluster_bytes);
    std::vector<uint8_t> buffer(uint64_t{per_read} * cluster_bytes);
    for (uint64_t index = 0; index < clusters; index += per_read) {
        if (!keep_going(double(index) / double(clusters))) {
            pass.stopped = true;
            return pass;
        }
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(per_read, clusters - index));
        const uint32_t first = static_cast<uint32_t>(index + 2);
        if (fat_read_sectors(fs, buffer.data(), fat_cluster_sector(fs, first), count * fs->cluster_size) != fr_ok) {
            // A failing card can take seconds a sector; past a point the
            // pass is not worth the wait.
            if (++pass.read_errors >= max_read_errors)
                return pass;
            continue;
        }
        pass.clusters_read += count;
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* bytes = buffer.data() + uint64_t{i} * cluster_bytes;
            // Almost every cluster of file data fails on its first slot.
            if (bytes[0] == 0 && bytes[1] == 0 && bytes[11] == 0 && bytes[31] == 0)
                continue;  // empty, or zeros: nothing a folder would hold
            const fat_harvest_cluster_s one = fat_harvest_classify(fs, first + i, bytes, cluster_bytes);
            if (one.kind != fat_harvest_kind_e::none)
                found(one);
        }
    }
    keep_going(1.0);
    return pass;
}
