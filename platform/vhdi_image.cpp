// VHD and VHDX virtual disks through libvhdi. The library's file handle is
// not safe across threads, so every read holds the lock.
#include "platform/image_formats.h"

#include <libvhdi.h>

#include <mutex>

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

class vhdi_image_c final : public byte_source_c {
public:
    vhdi_image_c(libvhdi_file_t* file, uint64_t size, uint32_t sector_size, std::string name)
        : file_(file), size_(size), sector_size_(sector_size), name_(std::move(name))
    {
    }
    ~vhdi_image_c() override
    {
        vhdi().libvhdi_file_close(file_, nullptr);
        vhdi().libvhdi_file_free(&file_, nullptr);
    }
    vhdi_image_c(const vhdi_image_c&) = delete;
    vhdi_image_c& operator=(const vhdi_image_c&) = delete;

    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        if (offset >= size_ || length == 0)
            return 0;
        if (length > size_ - offset)
            length = static_cast<size_t>(size_ - offset);
        std::lock_guard guard(lock_);
        size_t done = 0;
        auto* out = static_cast<uint8_t*>(buffer);
        while (done < length) {
            const ssize_t n = vhdi().libvhdi_file_read_buffer_at_offset(file_, out + done, length - done,
                                                                 static_cast<off64_t>(offset + done), nullptr);
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            done += static_cast<size_t>(n);
        }
        return static_cast<int64_t>(done);
    }
    uint64_t size() const override { return size_; }
    uint32_t sector_size() const override { return sector_size_; }
    const std::string& name() const override { return name_; }

private:
    libvhdi_file_t* file_ = nullptr;
    uint64_t size_ = 0;
    uint32_t sector_size_ = 512;
    std::string name_;
    mutable std::mutex lock_;
};

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
    return std::make_shared<vhdi_image_c>(handle, size, sector_size, file);
}

}  // namespace platform
