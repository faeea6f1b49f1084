#include "engines/exfat/exfat_harvest.h"

#include "engines/exfat/exfat_entry.h"

#include <algorithm>
#include <vector>

namespace exfat {

namespace {

constexpr uint64_t read_bytes = uint64_t{1} << 20;
// A folder's cluster above this is not looked at: no camera or computer
// makes one, and each would need its own buffer.
constexpr uint64_t largest_cluster = uint64_t{32} << 20;
constexpr int64_t max_read_errors = 256;

// Types a directory's slot may carry, in use or deleted: the bitmap, up-case
// and label entries, the GUID and padding entries, file sets and the vendor
// entries.
bool directory_type(uint8_t type)
{
    switch (type & ~entry_in_use) {
    case 0x00:  // unused, or (in use) never written
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x05:
    case 0x20:
    case 0x21:
    case 0x22:
    case 0x40:
    case 0x41:
    case 0x60:
    case 0x61:
        return true;
    default:
        return false;
    }
}

bool all_bytes(const uint8_t* bytes, size_t length, uint8_t value)
{
    return std::all_of(bytes, bytes + length, [value](uint8_t b) { return b == value; });
}

}  // namespace

bool harvest_cluster_is_folder(const uint8_t* bytes, size_t length)
{
    bool any_set = false;
    for (size_t at = 0; at + entry_bytes <= length; at += entry_bytes)
        if (!directory_type(bytes[at]))
            return false;
    for (size_t at = 0; at + entry_bytes <= length && !any_set; at += entry_bytes) {
        if (bytes[at] != type_file && bytes[at] != type_file_deleted)
            continue;
        entry_set_s set;
        any_set = parse_entry_set(bytes + at, length - at, &set) == set_result::ok;
    }
    return any_set;
}

bool free_clusters_hold_data(volume_c& fs)
{
    const boot_s& boot = fs.boot();
    if (boot.cluster_count < 2)
        return false;
    constexpr uint32_t samples = 256;
    std::vector<uint8_t> sector(boot.sector_bytes());
    int used = 0;
    for (uint32_t i = 0; i < samples; ++i) {
        const uint64_t index = i < 64 ? i : (i - 64) * uint64_t{boot.cluster_count - 1} / (samples - 64);
        const uint32_t c = static_cast<uint32_t>(index + first_cluster);
        if (!boot.valid_cluster(c) || fs.cluster_in_use(c))
            continue;
        cluster_map_s one;
        one.extents.push_back({c, 1});
        if (fs.read_mapped(one, 0, sector.data(), sector.size()) != sector.size())
            continue;
        if (!all_bytes(sector.data(), sector.size(), 0) && !all_bytes(sector.data(), sector.size(), 0xFF))
            ++used;
    }
    return used >= 2;
}

harvest_pass_s harvest_pass(volume_c& fs, const std::function<bool(double)>& keep_going,
                            const std::function<bool(uint32_t)>& skip,
                            const std::function<void(uint32_t, const uint8_t*, size_t)>& found)
{
    harvest_pass_s pass;
    const boot_s& boot = fs.boot();
    const uint64_t cluster_bytes = boot.cluster_bytes();
    if (boot.cluster_count == 0 || cluster_bytes > largest_cluster)
        return pass;
    const uint32_t per_read = static_cast<uint32_t>(std::max<uint64_t>(1, read_bytes / cluster_bytes));
    std::vector<uint8_t> buffer(per_read * cluster_bytes);
    for (uint64_t index = 0; index < boot.cluster_count; index += per_read) {
        if (!keep_going(double(index) / double(boot.cluster_count))) {
            pass.stopped = true;
            return pass;
        }
        const uint32_t first = static_cast<uint32_t>(index + first_cluster);
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(per_read, boot.cluster_count - index));
        // Stretches the bitmap calls wholly in use hold live data: not read.
        bool any_free = false;
        for (uint32_t i = 0; i < count && !any_free; ++i)
            any_free = !fs.cluster_in_use(first + i) && !skip(first + i);
        if (!any_free)
            continue;
        cluster_map_s run;
        run.extents.push_back({first, count});
        const size_t want = static_cast<size_t>(count * cluster_bytes);
        if (fs.read_mapped(run, 0, buffer.data(), want) != want) {
            if (++pass.read_errors >= max_read_errors)
                return pass;
            continue;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t c = first + i;
            const uint8_t* bytes = buffer.data() + i * cluster_bytes;
            if (!directory_type(bytes[0]) || bytes[0] == 0 || fs.cluster_in_use(c) || skip(c))
                continue;
            if (harvest_cluster_is_folder(bytes, static_cast<size_t>(cluster_bytes)))
                found(c, bytes, static_cast<size_t>(cluster_bytes));
        }
    }
    keep_going(1.0);
    return pass;
}

}  // namespace exfat
