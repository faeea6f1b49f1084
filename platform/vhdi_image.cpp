// VHD and VHDX virtual disks through libvhdi. The library's file handle is
// not safe across threads, so every read holds the lock.
#include "platform/container_library.h"
#include "platform/image_formats.h"

#include <libvhdi.h>

namespace platform {

namespace {

#define VHDI_FUNCTIONS(X)                                  \
    X(initialize, libvhdi_file_initialize)                 \
    X(close, libvhdi_file_close)                           \
    X(free, libvhdi_file_free)                             \
    X(media_size, libvhdi_file_get_media_size)             \
    X(read, libvhdi_file_read_buffer_at_offset)            \
    X(error_sprint, libvhdi_error_sprint)                  \
    X(error_free, libvhdi_error_free)                      \
    X(open, libvhdi_file_open)                             \
    X(disk_type, libvhdi_file_get_disk_type)               \
    X(bytes_per_sector, libvhdi_file_get_bytes_per_sector)

// libvhdi.so.1, loaded with its symbols kept to itself (container_library.h).
struct vhdi_library_s {
    static constexpr const char* soname = "libvhdi.so.1";
    QUARVEL_LIBRARY_FUNCTIONS(VHDI_FUNCTIONS)
};

}  // namespace

byte_source_ptr open_vhdi_image(const std::string& file, std::string* error)
{
    image_detail::container_c<vhdi_library_s> image(file, "a virtual disk", error);
    const auto& vhdi = image.api();
    if (!image.library_loaded() || !image.initialize() ||
        !image.opened(vhdi.open(image.handle(), file.c_str(), LIBVHDI_OPEN_READ, image.err()),
                      "it is damaged or cut short"))
        return nullptr;
    uint32_t type = 0;
    if (vhdi.disk_type(image.handle(), &type, nullptr) == 1 && type == LIBVHDI_DISK_TYPE_DIFFERENTIAL)
        return image.fail("it is a differencing disk, which holds only the changes to its parent; open the parent disk");
    uint64_t size = 0;
    if (!image.measure(&size))
        return nullptr;
    uint32_t sector_size = 0;
    if (vhdi.bytes_per_sector(image.handle(), &sector_size, nullptr) != 1)
        sector_size = 0;  // taken as 512
    return image.source(size, sector_size);
}

}  // namespace platform
