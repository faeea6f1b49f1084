// Opening the volume a file-system benchmark scans: a disk image added as the
// program's only disk (no block devices), and its volume IMAGE:pN.
#pragma once

#include "devices/volume_item.h"
#include "platform/volumes.h"

#include <string>

namespace bench {

// Finds volume partition of image (an absolute path) and, where file_system
// is not empty, checks that it holds that file system. Fills *found and the
// scanner's record (device path, root path, file system). On failure prints
// "program: reason" to stderr and returns false.
bool open_image_volume(const char* program, const std::string& image, int partition, const std::string& file_system,
                       platform::platform_volume_s* found, volume_item_s* volume);

}  // namespace bench
