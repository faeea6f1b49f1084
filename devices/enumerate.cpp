#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "platform/drive_table.h"
#include "platform/raw_device.h"
#include "platform/volumes.h"

#include <algorithm>
#include <unistd.h>

namespace {

QString from_local(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

}  // namespace

void enumerate_volumes()
{
    volume_list.clear();
    // A volume this user may not read yet is offered too, locked: choosing
    // it asks for the password (udisks2 or the helper), not a restart as root.
    std::vector<platform::platform_volume_s> kept = platform::list_volumes();
    std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
        return from_local(a.root_path) < from_local(b.root_path);  // UTF-16 code unit order
    });

    volume_list.emplace_back();  // header row
    for (const auto& v : kept) {
        volume_item_s item;
        item.dos_device = from_local(v.dos_device);
        item.device_path = from_local(v.device_path);
        item.label = from_local(v.label);
        item.file_system = from_local(v.file_system);
        item.other_signatures = from_local(v.other_signatures);
        item.root_path = from_local(v.root_path);
        item.total_bytes = v.total_bytes;
        item.free_bytes = v.free_bytes;
        item.free_space_known = v.free_space_known;
        item.locked = v.locked;
        if (query_volume_location(item.device_path, &item.partition_number, &item.disk_number) != 0)
            continue;
        volume_list.push_back(std::move(item));
    }
}

namespace {
std::vector<QString>& skipped_list()
{
    static std::vector<QString> skipped;
    return skipped;
}
}  // namespace

const std::vector<QString>& skipped_drives() { return skipped_list(); }

int enumerate_drives()
{
    std::vector<QString>& skipped = skipped_list();
    skipped.clear();
    drive_list.clear();
    drive_list.emplace_back();  // header row
    for (int n = 0; n < platform::max_drives; ++n) {
        const auto entry = platform::drive_at(n);
        if (!entry)
            break;
        const platform::byte_source_ptr source = platform::open_byte_source(entry->device_path, nullptr);
        if (!source && !entry->is_image && ::access(entry->device_path.c_str(), F_OK) == 0) {
            // Not ours to read yet: offered locked, with what sysfs says.
            drive_item_s item;
            item.device_path = from_local(entry->device_path);
            item.size_bytes = platform::block_device_size_from_sysfs(entry->name);
            platform::disk_geometry_s classic;
            classic.bytes_per_sector = platform::block_device_sector_size_from_sysfs(entry->name);
            const uint64_t per_cylinder =
                uint64_t(classic.tracks_per_cylinder) * classic.sectors_per_track * classic.bytes_per_sector;
            classic.cylinders = int64_t(item.size_bytes / per_cylinder);
            item.geometry = std::make_shared<platform::disk_geometry_s>(classic);
            item.locked = true;
            drive_list.push_back(std::move(item));
            continue;
        }
        if (!source) {
            // A disk this user may not read, or an image that is gone, is
            // passed over rather than hiding every drive after it.
            skipped.push_back(from_local(entry->device_path));
            continue;
        }
        auto geometry = std::make_shared<platform::disk_geometry_s>(
            platform::disk_geometry_of(entry->device_path, *source));
        drive_item_s item;
        item.device_path = from_local(entry->device_path);
        // The device's own byte count: whole cylinders would round a small
        // image down to nothing and hide up to 8 MB of any disk.
        item.size_bytes = source->size();
        item.geometry = std::move(geometry);
        drive_list.push_back(std::move(item));
    }
    return 0;
}

int query_volume_location(const QString& volume_path, int32_t* partition_number, int32_t* disk_number)
{
    QString path = volume_path;
    if (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    int partition = -1;
    int disk = -1;
    if (platform::locate_volume(path.toLocal8Bit().toStdString(), &partition, &disk) != 0)
        return -1;
    *partition_number = partition;
    *disk_number = disk;
    return 0;
}

QString format_size(uint64_t bytes)
{
    constexpr uint64_t kib = 1024, mib = kib * 1024, gib = mib * 1024;
    if (bytes > gib)
        return QString::asprintf("%.2fG", static_cast<double>(bytes) / static_cast<double>(gib));
    if (bytes > mib)
        return QString::asprintf("%.2fM", static_cast<double>(bytes) / static_cast<double>(mib));
    if (bytes > kib)
        return QString::asprintf("%.2fK", static_cast<double>(bytes) / static_cast<double>(kib));
    return QString::asprintf("%llu", static_cast<unsigned long long>(bytes)) + QLatin1Char('B');
}
