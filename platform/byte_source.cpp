#include "platform/byte_source.h"
#include "platform/image_formats.h"
#include "platform/partitions.h"
#include "platform/raw_device.h"

#include <utility>

namespace platform {

source_window_c::source_window_c(byte_source_ptr under, uint64_t offset, uint64_t size, std::string name)
    : under_(std::move(under)), name_(std::move(name))
{
    const uint64_t total = under_ ? under_->size() : 0;
    offset_ = offset < total ? offset : total;
    size_ = size < total - offset_ ? size : total - offset_;
}

int64_t source_window_c::read_at(uint64_t offset, void* buffer, size_t length) const
{
    if (offset >= size_ || length == 0)
        return 0;
    if (length > size_ - offset)
        length = static_cast<size_t>(size_ - offset);
    return under_->read_at(offset_ + offset, buffer, length);
}

byte_source_ptr open_byte_source(const std::string& path, std::string* error, device_access access)
{
    std::string file = path;
    int partition = 0;
    if (!split_image_volume_path(path, &file, &partition))
        file = path;
    std::string why;
    if (byte_source_ptr disk = open_container(file, &why)) {
        // libblkid sees only the container's own bytes: its table is read
        // from the disk inside.
        if (partition == 0)
            return std::make_shared<source_window_c>(disk, 0, disk->size(), path);
        for (const partition_s& p : read_partitions(*disk))
            if (p.number == partition)
                return std::make_shared<source_window_c>(disk, p.start_bytes, p.size_bytes, path);
        if (error)
            *error = "there is no partition " + std::to_string(partition) + " on " + file;
        return nullptr;
    }
    if (!why.empty()) {
        if (error)
            *error = why;
        return nullptr;
    }
    auto device = std::make_shared<raw_device_c>();
    if (device->open(path, open_mode::read, access) != 0) {
        if (error)
            *error = device->error();
        return nullptr;
    }
    return device;
}

}  // namespace platform
