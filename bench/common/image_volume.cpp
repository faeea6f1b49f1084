#include "bench/common/image_volume.h"

#include "platform/drive_table.h"

#include <cstdio>

namespace bench {

bool open_image_volume(const char* program, const std::string& image, int partition, const std::string& file_system,
                       platform::platform_volume_s* found, volume_item_s* volume)
{
    platform::set_block_devices_enabled(false);
    std::string error;
    if (platform::open_disk_image(image, &error) != 0) {
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
        return false;
    }
    const std::string volume_path = image + ":p" + std::to_string(partition);
    if (!platform::find_volume(volume_path, found)) {
        std::fprintf(stderr, "%s: no volume %s\n", program, volume_path.c_str());
        return false;
    }
    if (!file_system.empty() && found->file_system != file_system) {
        std::fprintf(stderr, "%s: %s is not an %s volume\n", program, volume_path.c_str(), file_system.c_str());
        return false;
    }
    volume->device_path = QString::fromStdString(found->device_path);
    volume->root_path = QString::fromStdString(found->root_path);
    volume->file_system = QString::fromStdString(found->file_system);
    return true;
}

}  // namespace bench
