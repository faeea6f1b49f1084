// A large scratch buffer backed by huge pages where the kernel gives them.
// Block caches of a megabyte or more are first touched page by page; on a
// virtual machine each such fault is dear, and a scan that fills several
// caches spent more time faulting than reading.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

class big_buffer_c {
public:
    big_buffer_c() = default;
    ~big_buffer_c();
    big_buffer_c(const big_buffer_c&) = delete;
    big_buffer_c& operator=(const big_buffer_c&) = delete;

    // Reserves size bytes (nothing is resident before it is touched).
    // Returns false when the memory cannot be had.
    bool allocate(size_t size);
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    void* map_ = nullptr;
    size_t map_size_ = 0;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace platform
