#include "scan/fat/fat_volume_map.h"

#include "platform/drive_table.h"
#include "platform/raw_device.h"
#include "platform/volumes.h"
#include "scan/fat/fat_disk.h"

#include <array>
#include <mutex>

namespace {
std::mutex map_mutex;
std::array<volume_map_s, fat_max_volumes> volume_map;
}  // namespace

int fat_map_volume(const std::string& path)
{
    std::string volume_path = path;
    if (!volume_path.empty() && (volume_path.back() == '/' || volume_path.back() == '\\'))
        volume_path.pop_back();

    int partition = -1;
    int disk = -1;
    uint64_t start_bytes = 0;
    if (platform::locate_volume(volume_path, &partition, &disk, &start_bytes) != 0)
        return -1;
    if (partition < 0 || partition > 255 || disk < 0 || disk >= platform::max_drives)
        return -1;
    if (start_bytes % 512 != 0 || start_bytes / 512 > UINT32_MAX)
        return -1;

    // The disk layer numbers drives as the drive table did when it last
    // enumerated; an image opened since then is not in it yet.
    const auto entry = platform::drive_at(disk);
    if (!entry)
        return -1;
    if (disk_device_path(static_cast<uint8_t>(disk)) != entry->device_path)
        disk_rescan();
    if (disk_device_path(static_cast<uint8_t>(disk)) != entry->device_path)
        return -1;

    // The volume's own extent bounds every read of the file-system layer.
    platform::raw_device_c window;
    if (window.open(volume_path) != 0)
        return -1;

    volume_map_s entry0;
    entry0.drive = static_cast<uint8_t>(disk);
    entry0.partition = static_cast<uint8_t>(partition);
    entry0.first_sector = static_cast<uint32_t>(start_bytes / 512);
    entry0.sector_count = window.size() / 512;
    std::lock_guard lock(map_mutex);
    volume_map[0] = entry0;
    return 0;
}

volume_map_s fat_volume_map(int n)
{
    std::lock_guard lock(map_mutex);
    if (n < 0 || n >= fat_max_volumes)
        return {};
    return volume_map[n];
}
