// Disk images inside a container: forensic images (E01/Ex01, one file or a
// set of segments) and virtual disks (VHD, VHDX, VMDK). Each opens as a byte
// source of the disk it holds, read-only. Which one a file is comes from its
// signature, never from its name.
#pragma once

#include "platform/byte_source.h"

#include <functional>
#include <string>
#include <sys/types.h>

namespace platform {

enum class image_format_e { raw, ewf, vhd, vhdx, vmdk };

// The container format of a regular file by its first (and, for VHD, last)
// bytes; raw for anything else, a block device or a file that cannot be read.
image_format_e image_format_of(const std::string& file);

// "E01", "VHD", ... for messages; empty for raw.
const char* image_format_name(image_format_e format);

// Each returns nullptr with a one-line reason in *error. The first segment
// of a segmented E01 opens the whole set.
byte_source_ptr open_ewf_image(const std::string& file, std::string* error);
byte_source_ptr open_vhdi_image(const std::string& file, std::string* error);
byte_source_ptr open_vmdk_image(const std::string& file, std::string* error);

// The container FILE holds, whole, or nullptr with a reason; for a raw
// file nullptr with an empty reason.
byte_source_ptr open_container(const std::string& file, std::string* error);

}  // namespace platform
