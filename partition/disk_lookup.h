// Finding the drive record for a disk named on the command line.
#pragma once

#include "devices/volume_item.h"

#include <string>

namespace partition {

// The drive whose device_path is path: a whole disk of the drive table, or an
// image file (opened as a drive image when it is not one yet and open_image
// allows it; otherwise it must have been opened already). Rebuilds
// drive_list. Returns false with a one-line reason in *error otherwise (a
// partition, a missing file, a device that cannot be read).
bool find_disk(const std::string& path, drive_item_s* drive, std::string* error, bool open_image = true);

}  // namespace partition
