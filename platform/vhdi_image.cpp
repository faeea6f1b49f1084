// VHD and VHDX virtual disks through libvhdi. The library's file handle is
// not safe across threads, so every read holds the lock.
#include "platform/image_formats.h"

#include <libvhdi.h>


namespace platform {

namespace {

#define VHDI_FUNCTIONS(X) \
    X(libvhdi_error_free) \
    X(libvhdi_error_sprint) \
    X(libvhdi_file_close) \
    X(libvhdi_file_free) \
    X(libvhdi_file_get_bytes_per_sector) \
    X(libvhdi_file_get_disk_type) \
    X(libvhdi_file_get_media_size) \
    X(libvhdi_file_initialize) \
    X(libvhdi_file_open) \
    X(libvhdi_file_read_buffer_at_offset)

// libvhdi.so.1, loaded with its symbols kept to itself (image_formats.h).
struct vhdi_api_s {
    VHDI_FUNCTIONS(QUARVEL_LIBRARY_POINTER)
    std::string error;  // why it cannot be used; empty when it can
};

const vhdi_api_s& vhdi()
{
    static const vhdi_api_s api = [] {
        vhdi_api_s loaded;
        void* library = image_detail::load_library("libvhdi.so.1", &loaded.error);
        bool complete = library != nullptr;
        VHDI_FUNCTIONS(QUARVEL_LIBRARY_BIND)
        if (library && !complete)
            loaded.error = "libvhdi.so.1 lacks a function this program calls";
        return loaded;
    }();
    return api;
}

std::string take_error(libvhdi_error_t** error)
{
    char text[1024] = {};
    if (*error) {
        vhdi().libvhdi_error_sprint(*error, text, sizeof text);
        vhdi().libvhdi_error_free(error);
    }
    return image_detail::one_line(text);
}

}  // namespace

byte_source_ptr open_vhdi_image(const std::string& file, std::string* error)
{
    const std::string prefix = "cannot open " + file + " as a virtual disk: ";
    auto fail = [&](const std::string& reason) {
        if (error)
            *error = prefix + reason;
        return nullptr;
    };
    if (!vhdi().error.empty())
        return fail(vhdi().error);
    libvhdi_error_t* err = nullptr;
    libvhdi_file_t* handle = nullptr;
    if (vhdi().libvhdi_file_initialize(&handle, &err) != 1)
        return fail(take_error(&err));
    if (vhdi().libvhdi_file_open(handle, file.c_str(), LIBVHDI_OPEN_READ, &err) != 1) {
        vhdi().libvhdi_file_free(&handle, nullptr);
        return fail("it is damaged or cut short (" + take_error(&err) + ")");
    }
    auto close = [&] {
        vhdi().libvhdi_file_close(handle, nullptr);
        vhdi().libvhdi_file_free(&handle, nullptr);
    };
    uint32_t type = 0;
    if (vhdi().libvhdi_file_get_disk_type(handle, &type, nullptr) == 1 && type == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
        close();
        return fail("it is a differencing disk, which holds only the changes to its parent; open the parent disk");
    }
    size64_t size = 0;
    uint32_t sector_size = 0;
    if (vhdi().libvhdi_file_get_media_size(handle, &size, &err) != 1 || size == 0) {
        const std::string reason = err ? take_error(&err) : std::string("it holds no data");
        close();
        return fail(reason);
    }
    if (vhdi().libvhdi_file_get_bytes_per_sector(handle, &sector_size, nullptr) != 1 || sector_size < 512 ||
        sector_size > 4096 || (sector_size & (sector_size - 1)))
        sector_size = 512;
    return image_detail::make_container_source(
        size, sector_size, file,
        [handle](void* out, size_t length, uint64_t offset) {
            return vhdi().libvhdi_file_read_buffer_at_offset(handle, out, length, static_cast<off64_t>(offset),
                                                             nullptr);
        },
        [handle]() mutable {
            vhdi().libvhdi_file_close(handle, nullptr);
            vhdi().libvhdi_file_free(&handle, nullptr);
        });
}

}  // namespace platform
