#include "engines/carve/carve_internal.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string.h>

namespace carve {

static_assert(source_c::slot_count % source_c::first_slots == 0 &&
                  std::has_single_bit(source_c::slot_count / source_c::first_slots),
              "slots grow by doubling up to slot_count");

source_c::source_c(const platform::byte_source_c& device, const std::atomic<int32_t>* stop)
    : device_(device), stop_(stop), size_(device.size()), slots_(slot_count), full_(slot_count, UINT64_MAX)
{
}

uint8_t* source_c::new_piece()
{
    // Never more pieces than slots, or than blocks the device has: a slot
    // keeps its piece through every growth, and no two slots hold the same
    // block. A small file (a deleted file being checked) so takes only what
    // it reads, not a huge page.
    const size_t pieces =
        static_cast<size_t>(std::min<uint64_t>(slot_count, size_ / block_size + (size_ % block_size != 0)));
    if (size_ < block_size) {
        // Less than a block (most deleted files being checked): just its
        // bytes, from the heap. A huge page for each such file cost more to
        // fault in than the file took to read.
        fallback_.resize(1);
        fallback_[0].reset(new uint8_t[std::max<size_t>(static_cast<size_t>(size_), 1)]);
        pieces_ = 1;
        return fallback_[0].get();
    }
    if (!memory_.data() && fallback_.empty() && !memory_.allocate(pieces * block_size))
        fallback_.resize(pieces);
    const size_t index = pieces_++;
    if (memory_.data())
        return memory_.data() + index * block_size;
    fallback_[index].reset(new uint8_t[block_size]);
    return fallback_[index].get();
}

// Block was read before and is missed: enough slots, doubling, for the reach
// back from the highest block read to it (all of them when it lies further).
void source_c::grow(uint64_t block)
{
    const uint64_t reach = highest_ - block + 1;
    size_t to = active_;
    while (to < slot_count && to < reach)
        to *= 2;
    if (to == active_)
        return;
    // Each held block moves to its slot under the new count, with its piece;
    // the pieces' bytes stay where they are.
    std::vector<slot_s> old(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(active_));
    std::fill(slots_.begin(), slots_.end(), slot_s{});
    for (const slot_s& s : old)
        if (s.data)
            slots_[s.block % to] = s;
    active_ = to;
}

const uint8_t* source_c::at(uint64_t offset, size_t* avail)
{
    if (offset >= size_ || stopped())
        return nullptr;
    const uint64_t block = offset / block_size;
    slot_s* slot = &slots_[block % active_];
    if (slot->block != block) {
        uint64_t& full = full_[block % slot_count];
        if (full == block && active_ < slot_count) {
            grow(block);
            slot = &slots_[block % active_];
        }
        full = block;
        highest_ = std::max(highest_, block);
        if (!slot->data)
            slot->data = new_piece();
        const uint64_t first = block * block_size;
        const uint64_t want = size_ - first < block_size ? size_ - first : block_size;
        const int64_t got = device_.read_at(first, slot->data, static_cast<size_t>(want));
        slot->block = block;
        ++refills_;
        // A short read inside the window is a device error, like a failed one.
        slot->failed = got != static_cast<int64_t>(want);
        slot->length = slot->failed ? 0 : static_cast<size_t>(want);
    }
    if (slot->failed)
        return nullptr;
    const size_t within = static_cast<size_t>(offset - slot->block * block_size);
    if (within >= slot->length)
        return nullptr;
    *avail = slot->length - within;
    return slot->data + within;
}

bool source_c::copy(uint64_t offset, void* out, size_t length)
{
    auto* dst = static_cast<uint8_t*>(out);
    while (length > 0) {
        size_t avail = 0;
        const uint8_t* p = at(offset, &avail);
        if (!p)
            return false;
        const size_t n = avail < length ? avail : length;
        std::memcpy(dst, p, n);
        dst += n;
        offset += n;
        length -= n;
    }
    return true;
}

uint64_t find_bytes(source_c& src, uint64_t from, uint64_t to, const void* needle, size_t length)
{
    if (length == 0 || length > 64)
        return not_found;
    if (to > src.size())
        to = src.size();
    const auto* want = static_cast<const uint8_t*>(needle);
    uint64_t pos = from;
    while (pos < to && to - pos >= length) {
        size_t avail = 0;
        const uint8_t* p = src.at(pos, &avail);
        if (!p)
            return unreadable;
        if (avail > to - pos)
            avail = static_cast<size_t>(to - pos);
        if (avail >= length) {
            const void* hit = memmem(p, avail, want, length);
            if (hit)
                return pos + static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - p);
        }
        // The needle may straddle the end of this piece: look at its last
        // length-1 bytes joined to what follows.
        const uint64_t piece_end = pos + avail;
        if (piece_end < to && length > 1) {
            const uint64_t seam = piece_end - (avail >= length - 1 ? length - 1 : avail);
            uint8_t join[128];
            const uint64_t join_end = piece_end + (length - 1) < to ? piece_end + (length - 1) : to;
            const size_t join_len = static_cast<size_t>(join_end - seam);
            if (join_len >= length) {
                if (!src.copy(seam, join, join_len))
                    return unreadable;
                const void* hit = memmem(join, join_len, want, length);
                if (hit)
                    return seam + static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - join);
            }
        }
        pos = piece_end;
    }
    return not_found;
}

}  // namespace carve
