// The carving run: one sequential pass over the device in large blocks,
// every candidate start looked up in a first-byte table that serves all types
// at once, and the read-back calls.
#include "engines/carve/carve.h"
#include "engines/carve/carve_internal.h"
#include "engines/carve/jpeg_decoder.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace carve {

namespace {

// The piece of the device the scan loop is in.
struct block_s {
    uint64_t pos;
    const uint8_t* data;
    size_t length;
};

// One signature the run is looking for, with what it needs to decide.
struct active_signature_s {
    const signature_s* signature;
    uint64_t max_size;  // the largest bound of the names its parser can report
};

class run_c {
public:
    run_c(const config_s& config, source_c& src, carve_control_s& control, carve_found_pieces_fn pieces)
        : config_(config), src_(src), control_(control), pieces_(pieces)
    {
        fragments_.cluster = std::max<uint64_t>(config_.cluster_size, config_.sector_size);
        fragments_.max_gap = config_.fragment_gap;
        fragments_.seconds_per_file = config_.fragment_seconds;
        seconds_left_ = config_.fragment_total_seconds;
        fragments_.seconds_left = &seconds_left_;
        for (const auto& s : builtin_signatures()) {
            uint64_t max = 0;
            for (const auto& t : builtin_types()) {
                if (std::string(t.format) != s.format)
                    continue;
                const auto it = config_.types.find(t.name);
                if (it != config_.types.end() && it->second.enabled && it->second.max_size > max)
                    max = it->second.max_size;
            }
            if (max > 0)
                add(&s, max);
        }
        for (const auto& user : config_.user_types) {
            user_signatures_.push_back({"user", 0, user.header, {}, parse_user, &user});
        }
        for (const auto& s : user_signatures_)
            add(&s, s.user->max_size);
        step_ = config_.byte_level ? 1 : config_.sector_size;
    }

    // Returns 0 at the device end, 1 when stopped.
    int run()
    {
        const uint64_t size = src_.size();
        uint64_t pos = 0;
        while (pos < size) {
            if (!wait_while_paused())
                return 1;
            control_.progress.store(static_cast<double>(pos) / static_cast<double>(size), std::memory_order_relaxed);
            size_t avail = 0;
            const uint8_t* data = src_.at(pos, &avail);
            if (!data) {
                if (src_.stopped())
                    return 1;
                // An unreadable block: go on after it.
                pos = align_up((pos / source_c::block_size + 1) * source_c::block_size);
                continue;
            }
            pos = step_ == 1 ? scan_bytes(pos, data, avail) : scan_sectors(pos, data, avail);
            if (src_.stopped())
                return 1;
        }
        control_.progress.store(1.0, std::memory_order_relaxed);
        return 0;
    }

private:
    void add(const signature_s* s, uint64_t max)
    {
        const size_t index = active_.size();
        active_.push_back({s, max});
        auto& table = s->key_offset == 0 ? first_byte_ : fifth_byte_;
        const uint8_t key = static_cast<uint8_t>(s->key[0]);
        const uint8_t mask = s->mask.empty() ? 0xFF : static_cast<uint8_t>(s->mask[0]);
        for (int b = 0; b < 256; ++b)
            if ((b & mask) == (key & mask))
                table[b].push_back(index);
        for (int b = 0; b < 256; ++b)
            any_[b] = !first_byte_[b].empty() || !fifth_byte_[b].empty();
        if (s->key_offset != 0)
            has_fifth_ = true;
        // Every key is at least two bytes long: the pair of bytes that can
        // begin it lets the byte-level search pass over most bytes at once.
        const uint8_t key1 = static_cast<uint8_t>(s->key[1]);
        const uint8_t mask1 = s->mask.empty() ? 0xFF : static_cast<uint8_t>(s->mask[1]);
        for (int b0 = 0; b0 < 256; ++b0) {
            if ((b0 & mask) != (key & mask))
                continue;
            for (int b1 = 0; b1 < 256; ++b1)
                if ((b1 & mask1) == (key1 & mask1))
                    pair_[static_cast<size_t>(b0 << 8 | b1)] = true;
        }
    }

    bool pair_may_begin_key(uint8_t b0, uint8_t b1) const { return pair_[static_cast<size_t>(b0 << 8 | b1)]; }

    uint64_t align_up(uint64_t offset) const
    {
        const uint64_t r = offset % step_;
        return r ? offset + (step_ - r) : offset;
    }

    // Sleeps while paused. Returns false once a stop was asked for.
    bool wait_while_paused()
    {
        while (control_.stop.load(std::memory_order_relaxed) == 0) {
            if (control_.pause.load(std::memory_order_relaxed) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // Candidate starts at every step_ in [pos, pos + avail). Returns where the
    // next block's search begins.
    uint64_t scan_sectors(uint64_t pos, const uint8_t* data, size_t avail)
    {
        const uint64_t end = pos + avail;
        const block_s block{pos, data, avail};
        const uint64_t refills = src_.refills();
        for (uint64_t q = pos; q < end; q += step_) {
            // A parser that read far ahead may have reused this block's
            // cache slot: the outer loop fetches it again.
            if (src_.refills() != refills && q != pos)
                return q;
            const size_t i = static_cast<size_t>(q - pos);
            uint64_t after = 0;
            if (!first_byte_[data[i]].empty() && try_at(q, first_byte_[data[i]], block, &after))
                return align_up(after);
            if (has_fifth_) {
                uint8_t b = 0;
                if (i + 4 < avail)
                    b = data[i + 4];
                else if (!src_.copy(q + 4, &b, 1))
                    continue;
                if (!fifth_byte_[b].empty() && try_at(q, fifth_byte_[b], block, &after))
                    return align_up(after);
            }
        }
        return align_up(end);
    }

    // Every byte of [pos, pos + avail) looked up in the first-byte table.
    uint64_t scan_bytes(uint64_t pos, const uint8_t* data, size_t avail)
    {
        const block_s block{pos, data, avail};
        const uint64_t refills = src_.refills();
        for (size_t i = 0; i < avail; ++i) {
            if (src_.refills() != refills && i != 0)
                return pos + i;
            const uint8_t b = data[i];
            if (!any_[b])
                continue;
            uint8_t next = 0;
            if (i + 1 < avail)
                next = data[i + 1];
            else if (!src_.copy(pos + i + 1, &next, 1))
                continue;
            if (!pair_may_begin_key(b, next))
                continue;
            const uint64_t q = pos + i;
            uint64_t after = 0;
            if (!first_byte_[b].empty() && try_at(q, first_byte_[b], block, &after))
                return std::max(after, q + 1);
            if (!fifth_byte_[b].empty() && q >= 4 && try_at(q - 4, fifth_byte_[b], block, &after))
                return std::max(after, q + 1);
        }
        return pos + avail;
    }

    // Tries every listed signature at start. Returns true when a file was
    // reported, with *after the first byte past it.
    bool try_at(uint64_t start, const std::vector<size_t>& candidates, const block_s& block, uint64_t* after)
    {
        uint8_t copied[72];
        const uint8_t* head = nullptr;
        size_t have = 0;
        if (start >= block.pos && start - block.pos < block.length) {
            head = block.data + (start - block.pos);
            have = block.length - static_cast<size_t>(start - block.pos);
        }
        for (size_t index : candidates) {
            const active_signature_s& a = active_[index];
            const signature_s& s = *a.signature;
            const size_t need = s.key_offset + s.key.size();
            if (need > have) {
                // The key runs into the next block (or starts before this one).
                if (start + need > src_.size() || !src_.copy(start, copied, need))
                    continue;
                head = copied;
                have = need;
            }
            if (!key_matches(s, head + s.key_offset))
                continue;
            const uint64_t limit = a.max_size > UINT64_MAX - start ? UINT64_MAX : start + a.max_size;
            parse_ctx_s ctx{src_, start, limit, s.user};
            parse_result_s r = s.parse(ctx);
            if (pieces_ && s.parse == parse_jpeg && (r.outcome == verdict::invalid || !r.type)) {
                // The structure walk lost its way: the file may go on elsewhere.
                uint64_t jpeg_after = 0;
                if (jpeg_in_pieces(start, limit, r, &jpeg_after)) {
                    *after = jpeg_after;
                    return true;
                }
                continue;
            }
            if (r.outcome == verdict::invalid || r.length == 0 || !r.type)
                continue;
            uint64_t length = r.length;
            if (length > src_.size() - start)
                length = src_.size() - start;  // never longer than the device
            if (!s.user) {
                const auto it = config_.types.find(r.type);
                if (it == config_.types.end() || !it->second.enabled || length > it->second.max_size)
                    continue;
            }
            // A file the walk found whole and that shows no sign of a cut is
            // kept without decoding it: decoding would only confirm it.
            if (pieces_ && s.parse == parse_jpeg &&
                !(r.outcome == verdict::complete && jpeg::ends_cleanly(src_, start, length, fragments_.cluster))) {
                uint64_t jpeg_after = 0;
                if (jpeg_in_pieces(start, limit, r, &jpeg_after)) {
                    *after = jpeg_after;
                    return true;
                }
            }
            if (control_.callback)
                control_.callback(control_.user, r.type, static_cast<int64_t>(start), static_cast<int64_t>(length));
            // A file cut by the device end may be a stray header: it must not
            // hide the files that lie inside what it claims.
            *after = r.outcome == verdict::truncated ? start + 1 : start + length;
            return true;
        }
        return false;
    }

    // Decodes the JPEG at start; reports it when it comes in pieces, or cut
    // short. walk is what the structure walk said; a file the walk found
    // whole and that cannot be put together otherwise is left to it, since
    // the decoder may be the one at fault. Returns true when reported, with
    // *after where the scan goes on: right after the first piece, so that
    // files in the gap are still found.
    bool jpeg_in_pieces(uint64_t start, uint64_t limit, const parse_result_s& walk, uint64_t* after)
    {
        const auto it = config_.types.find("jpg");
        if (it == config_.types.end() || !it->second.enabled)
            return false;
        const jpeg::jpeg_result_s j = jpeg::carve_jpeg(src_, start, limit, fragments_);
        using kind = jpeg::jpeg_result_s::kind;
        if (j.outcome == kind::whole || j.outcome == kind::unsupported || j.outcome == kind::broken)
            return false;
        if (j.outcome == kind::partial && walk.outcome == verdict::complete)
            return false;
        uint64_t total = 0;
        carve_extent_s extents[2] = {};
        const size_t count = std::min<size_t>(j.extents.size(), 2);
        for (size_t k = 0; k < count; ++k) {
            extents[k] = {static_cast<int64_t>(j.extents[k].first), static_cast<int64_t>(j.extents[k].second)};
            total += j.extents[k].second;
        }
        if (count == 0 || total > it->second.max_size)
            return false;
        pieces_(control_.user, "jpg", extents, static_cast<int32_t>(count), j.outcome == kind::partial ? 1 : 0);
        *after = j.extents[0].first + j.extents[0].second;
        return true;
    }

    static bool key_matches(const signature_s& s, const uint8_t* bytes)
    {
        for (size_t k = 0; k < s.key.size(); ++k) {
            const uint8_t mask = s.mask.empty() ? 0xFF : static_cast<uint8_t>(s.mask[k]);
            if ((bytes[k] & mask) != (static_cast<uint8_t>(s.key[k]) & mask))
                return false;
        }
        return true;
    }

    const config_s& config_;
    source_c& src_;
    carve_control_s& control_;
    carve_found_pieces_fn pieces_;
    jpeg::fragment_options_s fragments_;
    double seconds_left_ = 0;
    std::vector<signature_s> user_signatures_;
    std::vector<active_signature_s> active_;
    std::vector<size_t> first_byte_[256];
    std::vector<size_t> fifth_byte_[256];
    bool any_[256] = {};
    std::vector<bool> pair_ = std::vector<bool>(65536, false);
    bool has_fifth_ = false;
    uint64_t step_ = 512;
};

}  // namespace

}  // namespace carve

int carve_run(carve_control_s* control, const char* device_path) { return carve_run_pieces(control, device_path, nullptr); }

int carve_run_pieces(carve_control_s* control, const char* device_path, carve_found_pieces_fn pieces)
{
    using namespace carve;
    if (!control || !device_path)
        return -1;
    const config_s config = current_config();
    platform::raw_device_c device;
    if (device.open(device_path, platform::open_mode::read) != 0)
        return -1;
    source_c src(device, &control->stop);
    run_c run(config, src, *control, pieces);
    return run.run();
}

struct carve_handle_s {
    platform::raw_device_c device;
    uint64_t position = 0;
};

carve_handle_s* carve_open(const char* device_path)
{
    if (!device_path)
        return nullptr;
    auto* handle = new carve_handle_s;
    if (handle->device.open(device_path, platform::open_mode::read) != 0) {
        delete handle;
        return nullptr;
    }
    return handle;
}

int64_t carve_seek(carve_handle_s* handle, int64_t position, int origin)
{
    if (!handle || origin != 0 || position < 0 || static_cast<uint64_t>(position) > handle->device.size())
        return -1;
    handle->position = static_cast<uint64_t>(position);
    return position;
}

int64_t carve_read(carve_handle_s* handle, void* buffer, int64_t count)
{
    if (!handle || !buffer || count < 0)
        return -1;
    const int64_t got = handle->device.read_at(handle->position, buffer, static_cast<size_t>(count));
    if (got > 0)
        handle->position += static_cast<uint64_t>(got);
    return got;
}

void carve_close(carve_handle_s* handle) { delete handle; }
