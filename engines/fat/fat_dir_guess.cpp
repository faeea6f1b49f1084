// Following a deleted folder past its first cluster. Deleting a folder frees
// its chain, so where its later clusters lie is a guess; a wrong guess would
// list file data as entries, so a cluster is taken only when every slot in it
// reads as a directory entry.
#include "engines/fat/fat_internal.h"
#include "engines/fat/fat_name.h"

#include <vector>

namespace {

constexpr uint32_t entry_bytes = 32;
constexpr uint8_t mark_deleted = 0xE5;
constexpr uint8_t attr_long_name = 0x0F;
constexpr int ln_max_pieces = 20;

bool valid_time(uint16_t time) { return (time >> 11) <= 23 && ((time >> 5) & 0x3F) <= 59 && (time & 0x1F) <= 29; }

bool valid_date(uint16_t date)
{
    const int month = (date >> 5) & 0x0F;
    const int day = date & 0x1F;
    return month >= 1 && month <= 12 && day >= 1;
}

// Some systems leave a time stamp unset (both words 0); otherwise it must be
// a real date and time.
bool valid_stamp(uint16_t date, uint16_t time) { return (date == 0 && time == 0) || (valid_date(date) && valid_time(time)); }

bool valid_name_byte(uint8_t b, bool first)
{
    if (first)
        return b == mark_deleted || fat_valid_short_name_byte(b);
    return b >= 0x80 || b == ' ' || (b != 0x05 && fat_valid_short_name_byte(b));
}

bool plausible_long_name_piece(const uint8_t* e)
{
    const uint8_t order = e[0] == mark_deleted ? 1 : static_cast<uint8_t>(e[0] & ~0x40);
    return order >= 1 && order <= ln_max_pieces && e[12] == 0 && le16(e + 26) == 0;
}

bool plausible_short_entry(const fat_volume_s* fs, const uint8_t* e)
{
    const uint8_t attributes = e[11];
    if (attributes & (0x80 | fat_attr_deleted | fat_attr_volume))
        return false;
    for (int i = 0; i < 11; ++i)
        if (!valid_name_byte(e[i], i == 0))
            return false;
    if (e[12] & ~0x18)  // only the two lower-case flags
        return false;
    if (e[13] > 199)    // create time, tenths of a second
        return false;
    if (!valid_stamp(le16(e + 16), le16(e + 14)) || !valid_stamp(le16(e + 24), le16(e + 22)))
        return false;
    const uint16_t high = le16(e + 20);
    if (fs->fs_type != fat_32 && high != 0)
        return false;
    const uint32_t cluster = uint32_t{high} << 16 | le16(e + 26);
    const uint32_t size = le32(e + 28);
    if (cluster != 0 && !fat_cluster_valid(fs, cluster))
        return false;
    if (attributes & fat_attr_directory)
        return cluster != 0 && size == 0;
    const uint64_t capacity = uint64_t{fs->fat_entries - 2} * fs->cluster_size * fs->sector_bytes;
    return (cluster != 0 || size == 0) && size <= capacity;
}

uint32_t cluster_bytes(const fat_volume_s* fs) { return uint32_t{fs->cluster_size} * fs->sector_bytes; }

// FAT entries the search steps over, and bytes of free clusters it reads,
// in looking for one folder's next cluster.
constexpr uint32_t search_steps = 1u << 16;
constexpr uint64_t search_bytes = uint64_t{16} << 20;

enum class read_e { plausible, implausible, failed };

// Reads cluster c whole into bytes and says whether it reads as a folder's
// continuation; checks its first sector alone first, since almost every
// cluster that is not a folder fails there.
read_e read_plausible_cluster(fat_volume_s* fs, uint32_t c, std::vector<uint8_t>* bytes)
{
    bytes->resize(cluster_bytes(fs));
    const uint64_t sector = fat_cluster_sector(fs, c);
    if (fat_read_sectors(fs, bytes->data(), sector, 1) != fr_ok)
        return read_e::failed;
    if (fat_dir_continuation(fs, bytes->data(), fs->sector_bytes) != fat_continuation_yes)
        return read_e::implausible;
    if (fs->cluster_size > 1 &&
        fat_read_sectors(fs, bytes->data() + fs->sector_bytes, sector + 1, fs->cluster_size - 1u) != fr_ok)
        return read_e::failed;
    return fat_dir_continuation(fs, bytes->data(), cluster_bytes(fs)) == fat_continuation_yes ? read_e::plausible
                                                                                                : read_e::implausible;
}

uint32_t entry_cluster(const fat_volume_s* fs, const uint8_t* e)
{
    uint32_t cluster = le16(e + 26);
    if (fs->fs_type == fat_32)
        cluster |= uint32_t{le16(e + 20)} << 16;
    return cluster;
}

bool is_short_entry(const uint8_t* e)
{
    return e[0] != 0 && e[0] != '.' && e[11] != attr_long_name && !(e[11] & fat_attr_volume);
}

// The first cluster after the data of the last entry in a directory cluster:
// a system that allocates the next free cluster grows the folder there when
// the entry after it does not fit. 0 when the cluster names nothing.
uint32_t after_last_entry(const fat_volume_s* fs, const uint8_t* bytes, uint32_t length)
{
    uint32_t after = 0;
    for (uint32_t at = 0; at + entry_bytes <= length && bytes[at] != 0; at += entry_bytes) {
        const uint8_t* e = bytes + at;
        const uint32_t cluster = entry_cluster(fs, e);
        if (!is_short_entry(e) || !fat_cluster_valid(fs, cluster))
            continue;
        const uint32_t size = (e[11] & fat_attr_directory) ? 0 : le32(e + 28);
        const uint64_t clusters = size == 0 ? 1 : (uint64_t{size} + cluster_bytes(fs) - 1) / cluster_bytes(fs);
        const uint64_t end = uint64_t{cluster} + clusters;
        after = end < fs->fat_entries ? static_cast<uint32_t>(end) : 0;
    }
    return after;
}

// Whether the first entry with data in directory cluster n starts where the
// previous cluster's last one ended (after), just past that, or just past n.
bool first_data_follows(const fat_volume_s* fs, const uint8_t* bytes, uint32_t length, uint32_t after, uint32_t n)
{
    for (uint32_t at = 0; at + entry_bytes <= length && bytes[at] != 0; at += entry_bytes) {
        const uint8_t* e = bytes + at;
        const uint32_t cluster = entry_cluster(fs, e);
        if (is_short_entry(e) && cluster != 0)
            return after != 0 && (cluster == after || cluster == after + 1 || cluster == n + 1);
    }
    return false;
}

// Whether n may be taken at all: inside the volume, not the folder's first
// cluster, not taken already, and free in the FAT (a cluster in a chain
// belongs to a live file or folder).
bool free_candidate(fat_volume_s* fs, uint32_t start, uint32_t n, const fat_guess_s* guess)
{
    return fat_cluster_valid(fs, n) && n != start && !guess->taken.count(n) && fat_next_cluster(fs, n) == 0;
}

}  // namespace

fat_continuation_e fat_dir_continuation(const fat_volume_s* fs, const uint8_t* bytes, uint32_t length)
{
    bool any = false;
    for (uint32_t at = 0; at + entry_bytes <= length; at += entry_bytes) {
        const uint8_t* e = bytes + at;
        if (e[0] == 0) {
            // The end of a folder: what follows it was never written.
            for (uint32_t rest = at; rest < length; ++rest)
                if (bytes[rest] != 0)
                    return fat_continuation_no;
            return any ? fat_continuation_yes : fat_continuation_empty;
        }
        // Only a folder's first cluster holds "." and "..".
        if (e[0] == '.')
            return fat_continuation_no;
        const bool ok = e[11] == attr_long_name ? plausible_long_name_piece(e) : plausible_short_entry(fs, e);
        if (!ok)
            return fat_continuation_no;
        any = true;
    }
    return any ? fat_continuation_yes : fat_continuation_empty;
}

uint32_t fat_guess_next_dir_cluster(fat_volume_s* fs, uint32_t start, uint32_t c, fat_guess_s* guess)
{
    if (!fat_cluster_valid(fs, c))
        return 0;
    std::vector<uint8_t> bytes(cluster_bytes(fs));
    if (fat_read_sectors(fs, bytes.data(), fat_cluster_sector(fs, c), fs->cluster_size) != fr_ok)
        return 0;
    const uint32_t after = after_last_entry(fs, bytes.data(), cluster_bytes(fs));
    const auto take = [&](uint32_t n) {
        guess->taken.insert(n);
        return n;
    };
    // A read error ends the guess: a failing card can take seconds a sector,
    // and the guess is worth less than getting on with the scan.
    for (const uint32_t n : {c + 1, after}) {
        if (!free_candidate(fs, start, n, guess))
            continue;
        const read_e r = read_plausible_cluster(fs, n, &bytes);
        if (r == read_e::failed)
            return 0;
        if (r == read_e::plausible)
            return take(n);
    }

    uint64_t searched = 0;
    for (uint32_t n = c + 2, steps = 0; n < fs->fat_entries && steps < search_steps; ++n, ++steps) {
        if (guess->search_steps_left == 0)
            break;
        --guess->search_steps_left;
        if (n == after || !free_candidate(fs, start, n, guess))
            continue;
        if (searched + cluster_bytes(fs) > search_bytes || guess->search_bytes_left < cluster_bytes(fs))
            break;
        searched += cluster_bytes(fs);
        guess->search_bytes_left -= cluster_bytes(fs);
        const read_e r = read_plausible_cluster(fs, n, &bytes);
        if (r == read_e::failed)
            return 0;
        if (r == read_e::plausible && first_data_follows(fs, bytes.data(), cluster_bytes(fs), after, n))
            return take(n);
    }
    return 0;
}
