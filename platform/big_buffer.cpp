#include "platform/big_buffer.h"

#include <sys/mman.h>

namespace platform {

namespace {
constexpr size_t huge_page = 2u << 20;
}

big_buffer_c::~big_buffer_c()
{
    if (map_)
        ::munmap(map_, map_size_);
}

bool big_buffer_c::allocate(size_t size)
{
    if (map_)
        ::munmap(map_, map_size_);
    map_ = nullptr;
    data_ = nullptr;
    size_ = map_size_ = 0;
    if (size == 0 || size > SIZE_MAX - huge_page)
        return false;
    // One huge page more, so that the buffer can start on a huge-page edge.
    void* map = ::mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return false;
    map_ = map;
    map_size_ = size + huge_page;
    const auto at = reinterpret_cast<uintptr_t>(map);
    data_ = reinterpret_cast<uint8_t*>((at + huge_page - 1) & ~(uintptr_t{huge_page} - 1));
    size_ = size;
    ::madvise(data_, size_, MADV_HUGEPAGE);  // a hint: refused, the pages are small
    return true;
}

}  // namespace platform
