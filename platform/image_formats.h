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

namespace image_detail {
// The library's message as one line, after "cannot open FILE as a FORMAT image".
std::string one_line(const char* text);

// libewf, libvhdi and libvmdk each carry and export their own copies of the
// same helper libraries, of other versions. Linked into one program, every
// call of one of them would go to the first copy loaded. Each is loaded
// instead, once, with its symbols kept local, so that its calls bind to its
// own copies. Null with the reason in *error when it cannot be loaded.
void* load_library(const char* soname, std::string* error);
// A function of a library load_library gave (or of a library it uses).
void* library_symbol(void* library, const char* name);

// A container opened by its library, as a byte source: reads go through
// read_some (the library's read at an offset: bytes read, 0 at the end, < 0
// on a damaged part), one at a time since the libraries keep state per
// handle; close frees the handle once, when the source goes.
using container_read_f = std::function<ssize_t(void* buffer, size_t length, uint64_t offset)>;
byte_source_ptr make_container_source(uint64_t size, uint32_t sector_size, std::string name,
                                      container_read_f read_some, std::function<void()> close);
}  // namespace image_detail

// Inside a struct: a pointer for the library function name, of its type.
#define QUARVEL_LIBRARY_POINTER(name) decltype(&::name) name = nullptr;
// Inside a loader with the struct `loaded`, void* library and bool
// complete: binds the pointer.
#define QUARVEL_LIBRARY_BIND(name)                                                                              \
    loaded.name = reinterpret_cast<decltype(&::name)>(::platform::image_detail::library_symbol(library, #name)); \
    complete = complete && loaded.name != nullptr;

}  // namespace platform
