#include "partition/search_reader.h"

#include <cstdlib>

namespace partition {

void search_reader_c::free_deleter::operator()(uint8_t* p) const { std::free(p); }

search_reader_c::search_reader_c(const platform::byte_source_c& device, size_t block_bytes, bool block_device)
    : device_(device), read_bytes_(block_device ? device_read_bytes : image_read_bytes),
      block_bytes_(block_bytes < read_bytes_ ? block_bytes : read_bytes_),
      buffer_(static_cast<uint8_t*>(std::aligned_alloc(align_bytes, read_bytes_)))
{
    device_.advise_sequential();
}

search_reader_c::~search_reader_c() = default;

const uint8_t* search_reader_c::block_at(uint64_t offset, int64_t* got)
{
    uint8_t* buffer = buffer_.get();
    if (!buffer) {
        *got = -1;
        return nullptr;
    }
    if (offset >= start_ && offset - start_ <= filled_ && filled_ - (offset - start_) >= block_bytes_) {
        *got = int64_t(block_bytes_);
        return buffer + (offset - start_);
    }
    if (offset >= single_until_) {
        const uint64_t chunk = offset - offset % align_bytes;
        const int64_t n = device_.read_at(chunk, buffer, read_bytes_);
        if (n >= 0 && uint64_t(n) >= offset - chunk + block_bytes_) {
            start_ = chunk;
            filled_ = uint64_t(n);
            *got = int64_t(block_bytes_);
            return buffer + (offset - chunk);
        }
        // Short where the disk ends is normal; otherwise the chunk holds a
        // place that cannot be read, and the blocks up to it go one by one.
        if (n < 0 || chunk + uint64_t(n) < device_.size())
            single_until_ = chunk + read_bytes_;
    }
    filled_ = 0;
    *got = device_.read_at(offset, buffer, block_bytes_);
    return buffer;
}

}  // namespace partition
