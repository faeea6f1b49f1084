#include "cli/scanners.h"

#include "devices/enumerate.h"
#include "platform/drive_table.h"
#include "partition/disk_lookup.h"
#include "platform/volumes.h"
#include "scan/found_volume.h"

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace cli {

bool volume_for_argument(const std::string& argument, volume_item_s* out)
{
    // "<image>:pN" names a partition of an image that need not have been
    // opened with --image yet.
    std::string image;
    int partition = -1;
    if (platform::split_image_volume_path(argument, &image, &partition) && QFileInfo(from_utf8(image)).isFile() &&
        platform::open_disk_image(image) != 0)
        return false;
    platform::platform_volume_s v;
    if (!platform::find_volume(argument, &v))
        return false;
    out->dos_device = from_utf8(v.dos_device);
    out->device_path = from_utf8(v.device_path);
    out->label = from_utf8(v.label);
    out->file_system = from_utf8(v.file_system);
    out->root_path = from_utf8(v.root_path);
    out->total_bytes = v.total_bytes;
    out->free_bytes = v.free_bytes;
    out->free_space_known = v.free_space_known;
    out->partition_number = v.partition_number;
    out->disk_number = v.disk_number;
    out->locked = v.locked;
    return true;
}

bool parse_sector(const std::string& text, uint64_t* sector)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || value > uint64_t(INT64_MAX))
        return false;
    *sector = value;
    return true;
}

bool volume_for_command(const std::string& argument, bool at_given, uint64_t at, bool deep, volume_item_s* out,
                        std::string* error)
{
    if (!at_given) {
        if (volume_for_argument(argument, out))
            return true;
        drive_item_s disk;
        std::string ignored;
        if (deep && partition::find_disk(argument, &disk, &ignored)) {
            *out = whole_disk_volume(disk);
            return true;
        }
        *error = "no volume \"" + argument + "\" (see quarvel-cli volumes)";
        return false;
    }
    drive_item_s disk;
    if (!partition::find_disk(argument, &disk, error))
        return false;
    *out = found_volume(disk, at, 0);
    return true;
}

std::vector<found_row_s> sorted_found_rows(const recovery_base_c& scanner)
{
    auto rows = scanner.found_rows();
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.folder != b.folder ? a.folder < b.folder : a.item.name < b.item.name;
    });
    return rows;
}

std::string local_time_text(int64_t seconds)
{
    if (seconds == 0)
        return "-";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[32];
    if (!localtime_r(&t, &tm) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm) == 0)
        return "-";
    return text;
}

void print_found_rows(const std::vector<found_row_s>& rows, bool json, row_flags_e reading)
{
    std::vector<std::string> columns{"id", "folder", "name", "size", "date1", "date2", "flags", "state"};
    if (json)
        columns.push_back("intact");
    table_c table(columns);
    // On FAT and exFAT the share of a damaged file that is intact sits in the
    // row's top bits; printed there it would make flags a number above 2^31
    // that a reader taking 32-bit integers refuses. It gets its own field
    // (-1: not known), and flags keeps every other bit as it was.
    // A damaged NTFS row holds it in place of the engine's bit, which every
    // such file has.
    const bool ntfs = reading == row_flags_e::ntfs;
    const bool share_bits = reading == row_flags_e::attributes || reading == row_flags_e::exfat || ntfs;
    for (const auto& r : rows) {
        const bool shared = share_bits && (!ntfs || (r.item.flags & row_content_damaged));
        const int share = shared ? row_content_share(r.item.flags) : -1;
        uint64_t flags = static_cast<uint32_t>(shared ? r.item.flags & ~row_content_share_mask : r.item.flags);
        if (ntfs && shared)
            flags |= ntfs_engine::flag_engine_extract;
        const std::string state = row_state_name(row_state(reading, r.item.flags), r.item.flags);
        if (json)
            table.add_row({r.item.id, utf8(r.folder), utf8(r.item.name), r.item.size, r.item.date1, r.item.date2, flags,
                           state, int64_t(share)});
        else
            table.add_row({r.item.id, utf8(r.folder), utf8(r.item.name), utf8(format_size(uint64_t(r.item.size))),
                           local_time_text(r.item.date1), local_time_text(r.item.date2), flags, state});
    }
    table.print(json);
}

}  // namespace cli
