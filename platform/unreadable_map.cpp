#include "platform/unreadable_map.h"

#include <algorithm>

namespace platform {

namespace {

// The first range that ends after offset.
std::vector<unreadable_range_s>::const_iterator first_ending_after(const std::vector<unreadable_range_s>& ranges,
                                                                   uint64_t offset)
{
    return std::upper_bound(ranges.begin(), ranges.end(), offset,
                            [](uint64_t at, const unreadable_range_s& r) { return at < r.end(); });
}

}  // namespace

void unreadable_map_c::add(uint64_t offset, uint64_t length, int error)
{
    if (length == 0 || offset + length < offset)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    // Lay the new range into the gaps between the marked ones only, so a
    // byte keeps the cause it was first marked with.
    std::vector<unreadable_range_s> pieces;
    uint64_t at = offset;
    const uint64_t end = offset + length;
    for (auto it = first_ending_after(ranges_, offset); it != ranges_.end() && at < end; ++it) {
        if (it->offset >= end)
            break;
        if (it->offset > at)
            pieces.push_back({at, it->offset - at, error});
        at = std::max(at, it->end());
    }
    if (at < end)
        pieces.push_back({at, end - at, error});
    if (pieces.empty())
        return;
    uint64_t added = 0;
    for (const unreadable_range_s& p : pieces)
        added += p.length;
    ranges_.insert(ranges_.end(), pieces.begin(), pieces.end());
    std::sort(ranges_.begin(), ranges_.end(),
              [](const unreadable_range_s& a, const unreadable_range_s& b) { return a.offset < b.offset; });
    std::vector<unreadable_range_s> merged;
    merged.reserve(ranges_.size());
    for (const unreadable_range_s& r : ranges_) {
        if (!merged.empty() && merged.back().end() == r.offset && merged.back().error == r.error)
            merged.back().length += r.length;
        else
            merged.push_back(r);
    }
    ranges_.swap(merged);
    total_bytes_.fetch_add(added, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
}

void unreadable_map_c::add_slow(uint64_t offset, uint64_t length, uint32_t milliseconds)
{
    if (length == 0)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!slow_.empty() && slow_.back().offset + slow_.back().length == offset) {
        slow_.back().length += length;
        slow_.back().milliseconds = std::max(slow_.back().milliseconds, milliseconds);
    } else {
        slow_.push_back({offset, length, milliseconds});
    }
    generation_.fetch_add(1, std::memory_order_release);
}

std::vector<unreadable_range_s> unreadable_map_c::ranges_in(uint64_t offset, uint64_t length) const
{
    std::vector<unreadable_range_s> out;
    if (empty() || length == 0)
        return out;
    const uint64_t end = offset + length < offset ? UINT64_MAX : offset + length;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = first_ending_after(ranges_, offset); it != ranges_.end() && it->offset < end; ++it) {
        const uint64_t from = std::max(offset, it->offset);
        const uint64_t to = std::min(end, it->end());
        out.push_back({from, to - from, it->error});
    }
    return out;
}

bool unreadable_map_c::any_in(uint64_t offset, uint64_t length) const
{
    if (empty() || length == 0)
        return false;
    const uint64_t end = offset + length < offset ? UINT64_MAX : offset + length;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = first_ending_after(ranges_, offset);
    return it != ranges_.end() && it->offset < end;
}

uint64_t unreadable_map_c::bytes_in(uint64_t offset, uint64_t length) const
{
    uint64_t bytes = 0;
    for (const unreadable_range_s& r : ranges_in(offset, length))
        bytes += r.length;
    return bytes;
}

std::vector<unreadable_range_s> unreadable_map_c::all() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ranges_;
}

std::vector<slow_range_s> unreadable_map_c::slow() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return slow_;
}

}  // namespace platform
