// Which bytes of a source could not be read. A failing disk hands back
// zeros for them, so every reader that cares whether its bytes are real (a
// boot sector, a FAT, a file's content) asks here about what it just read.
// Ranges are in bytes of the source that owns the map, sector aligned,
// sorted and never overlapping; neighbours with the same cause are merged.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {

// error: the errno of the failed read (EIO, ETIMEDOUT, ...), or 0 for bytes
// that were never read: skipped past inside a bad area, or marked unrescued
// by an imaging map.
struct unreadable_range_s {
    uint64_t offset = 0;
    uint64_t length = 0;
    int error = 0;

    uint64_t end() const { return offset + length; }
    bool operator==(const unreadable_range_s&) const = default;
};

// A stretch that answered, but slowly (a weak area about to fail).
struct slow_range_s {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint32_t milliseconds = 0;  // the slowest read seen in it
};

class unreadable_map_c {
public:
    // Safe from any thread. A range that covers bytes already marked keeps
    // the earlier cause for them.
    void add(uint64_t offset, uint64_t length, int error);
    void add_slow(uint64_t offset, uint64_t length, uint32_t milliseconds);

    // The marked parts of [offset, offset + length), clipped to it. Cheap
    // (one atomic load) while nothing is marked, which is every sound disk.
    std::vector<unreadable_range_s> ranges_in(uint64_t offset, uint64_t length) const;
    bool any_in(uint64_t offset, uint64_t length) const;
    // How many bytes of [offset, offset + length) are marked.
    uint64_t bytes_in(uint64_t offset, uint64_t length) const;

    std::vector<unreadable_range_s> all() const;
    std::vector<slow_range_s> slow() const;
    uint64_t total_bytes() const { return total_bytes_.load(std::memory_order_relaxed); }
    bool empty() const { return total_bytes() == 0; }
    // Grows by one at every change: a reader notes it before a read and
    // compares after, to learn cheaply whether the read met new damage.
    uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

private:
    mutable std::mutex mutex_;
    std::vector<unreadable_range_s> ranges_;
    std::vector<slow_range_s> slow_;
    std::atomic<uint64_t> total_bytes_{0};
    std::atomic<uint64_t> generation_{0};
};

}  // namespace platform
