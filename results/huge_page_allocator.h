// An allocator for the result index's few large arrays. A million rows fill
// tens of megabytes in one pass, and faulting that in 4 KiB at a time is a
// good share of the build; blocks of a few megabytes and up are mapped on
// 2 MiB boundaries and offered to the kernel for huge pages instead. Smaller
// blocks come from operator new.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace huge_pages {

inline constexpr size_t page = size_t(2) << 20;
inline constexpr size_t threshold = 2 * page;

inline void* allocate(size_t bytes)
{
    if (bytes < threshold)
        return ::operator new(bytes);
    const size_t length = (bytes + page - 1) / page * page;
    // One extra huge page of room to find the boundary in, then the ends cut off.
    void* raw = mmap(nullptr, length + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + page - 1) / page * page;
    if (aligned > start)
        munmap(raw, aligned - start);
    if (const size_t tail = page - (aligned - start))
        munmap(reinterpret_cast<void*>(aligned + length), tail);
    // Only the whole huge pages inside the block: the part of one its end
    // falls in would be taken whole on the first write there.
    if (const size_t whole = bytes / page * page)
        madvise(reinterpret_cast<void*>(aligned), whole, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

inline void deallocate(void* at, size_t bytes) noexcept
{
    if (bytes < threshold) {
        ::operator delete(at);
        return;
    }
    munmap(at, (bytes + page - 1) / page * page);
}

// Gives the system back the pages of a block from allocate() past its first
// used bytes (a vector's room to grow, and the rest of the huge page its
// last element is on); a write there later takes fresh pages.
inline void release_tail(void* at, size_t used, size_t bytes) noexcept
{
    if (bytes < threshold)
        return;
    const auto small = size_t(sysconf(_SC_PAGESIZE));
    const size_t from = (used + small - 1) / small * small;
    const size_t end = (bytes + page - 1) / page * page;
    if (from < end)
        madvise(static_cast<char*>(at) + from, end - from, MADV_DONTNEED);
}

}  // namespace huge_pages

template <typename T>
struct huge_page_allocator {
    using value_type = T;
    huge_page_allocator() = default;
    template <typename U>
    huge_page_allocator(const huge_page_allocator<U>&) noexcept
    {
    }
    T* allocate(size_t n) { return static_cast<T*>(huge_pages::allocate(n * sizeof(T))); }
    void deallocate(T* at, size_t n) noexcept { huge_pages::deallocate(at, n * sizeof(T)); }
    template <typename U>
    bool operator==(const huge_page_allocator<U>&) const noexcept
    {
        return true;
    }
};
