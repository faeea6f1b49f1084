#include "platform/byte_source.h"
#include "platform/image_formats.h"
#include "platform/partitions.h"
#include "platform/raw_device.h"
#include "platform/rescue_map.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

namespace platform {

std::vector<unreadable_range_s> byte_source_c::unreadable_in(uint64_t, uint64_t) const
{
    return {};
}

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

std::vector<unreadable_range_s> source_window_c::unreadable_in(uint64_t offset, uint64_t length) const
{
    if (offset >= size_ || length == 0)
        return {};
    length = std::min<uint64_t>(length, size_ - offset);
    std::vector<unreadable_range_s> ranges = under_->unreadable_in(offset_ + offset, length);
    for (unreadable_range_s& r : ranges)
        r.offset -= offset_;
    return ranges;
}

std::vector<slow_range_s> source_window_c::slow_all() const
{
    std::vector<slow_range_s> inside;
    for (slow_range_s r : under_->slow_all()) {
        const uint64_t from = std::max(r.offset, offset_);
        const uint64_t to = std::min(r.offset + r.length, offset_ + size_);
        if (from >= to)
            continue;
        inside.push_back({from - offset_, to - from, r.milliseconds});
    }
    return inside;
}

namespace {

std::mutex default_options_mutex;
salvage_options_s default_salvage_options;

// The source under is gone (unplugged, its descriptor revoked): salvaging
// would only hand back a disk of zeros.
bool source_gone(int error)
{
    return error == ENODEV || error == ENXIO || error == EBADF;
}

}  // namespace

salvage_options_s salvage_source_c::default_options()
{
    std::lock_guard<std::mutex> lock(default_options_mutex);
    return default_salvage_options;
}

void salvage_source_c::set_default_options(const salvage_options_s& options)
{
    std::lock_guard<std::mutex> lock(default_options_mutex);
    default_salvage_options = options;
}

salvage_source_c::salvage_source_c(byte_source_ptr under, salvage_options_s options,
                                   std::shared_ptr<unreadable_map_c> map)
    : under_(std::move(under)), options_(options), map_(map ? std::move(map) : std::make_shared<unreadable_map_c>())
{
    options_.retries = std::max(0, options_.retries);
    options_.errors_before_skip = std::max(1, options_.errors_before_skip);
    options_.skip_sectors = std::max<uint32_t>(1, options_.skip_sectors);
    options_.max_skip_sectors = std::max(options_.skip_sectors, options_.max_skip_sectors);
}

std::vector<unreadable_range_s> salvage_source_c::unreadable_in(uint64_t offset, uint64_t length) const
{
    return map_->ranges_in(offset, length);
}

int64_t salvage_source_c::read_at(uint64_t offset, void* buffer, size_t length) const
{
    const uint64_t total = size();
    if (offset >= total || length == 0)
        return 0;
    if (length > total - offset)
        length = static_cast<size_t>(total - offset);
    if (!map_->any_in(offset, length)) {
        const auto start = std::chrono::steady_clock::now();
        errno = 0;
        const int64_t got = under_->read_at(offset, buffer, length);
        const int error = errno;
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (options_.slow_read_ms > 0 && took.count() >= options_.slow_read_ms)
            map_->add_slow(offset, length, static_cast<uint32_t>(took.count()));
        if (got == static_cast<int64_t>(length))
            return got;
        if (got < 0 && source_gone(error))
            return -1;
        if (got > 0) {
            // Short inside the source: the rest failed.
            const int64_t rest = salvage(offset + static_cast<uint64_t>(got), static_cast<uint8_t*>(buffer) + got,
                                         length - static_cast<size_t>(got));
            return rest < 0 ? rest : got + rest;
        }
    }
    return salvage(offset, static_cast<uint8_t*>(buffer), length);
}

bool salvage_source_c::read_sector(uint64_t offset, uint8_t* buffer, size_t length, int* error) const
{
    for (int attempt = 0; attempt <= options_.retries; ++attempt) {
        errno = 0;
        if (under_->read_at(offset, buffer, length) == static_cast<int64_t>(length))
            return true;
        *error = errno != 0 ? errno : EIO;
        if (source_gone(*error))
            break;
    }
    return false;
}

// Sector by sector, as rescue tools read a bad area: after a few unreadable
// sectors in a row the reader jumps ahead (further each time the area stays
// bad), then reads back towards the jump from both of its ends, so a bad
// area costs a few reads at each edge rather than one per sector.
int64_t salvage_source_c::salvage(uint64_t offset, uint8_t* buffer, size_t length) const
{
    std::lock_guard<std::mutex> lock(salvage_mutex_);
    const uint64_t sector = std::max<uint32_t>(512, sector_size());
    const uint64_t end = offset + length;
    auto sector_start = [&](uint64_t at) { return at / sector * sector; };
    auto sector_end = [&](uint64_t at) { return std::min(end, sector_start(at) + sector); };
    auto mark = [&](uint64_t at, int error) {
        const uint64_t from = sector_start(at);
        map_->add(from, std::min<uint64_t>(sector, size() - from), error);
    };

    int consecutive = 0;
    uint64_t step = options_.skip_sectors;
    uint64_t at = offset;
    while (at < end) {
        const uint64_t next = sector_end(at);
        uint8_t* out = buffer + (at - offset);
        int error = 0;
        if (map_->any_in(at, next - at)) {
            std::memset(out, 0, next - at);
            ++consecutive;
        } else if (read_sector(at, out, next - at, &error)) {
            consecutive = 0;
            step = options_.skip_sectors;
        } else {
            if (source_gone(error))
                return -1;
            std::memset(out, 0, next - at);
            mark(at, error);
            ++consecutive;
        }
        at = next;
        if (consecutive < options_.errors_before_skip || at >= end)
            continue;

        const uint64_t skip_end = std::min(end, at + step * sector);
        step = std::min<uint64_t>(step * 2, options_.max_skip_sectors);
        std::memset(buffer + (at - offset), 0, skip_end - at);
        // Trim: forward from the near edge, then back from the far one.
        uint64_t front = at;
        while (front < skip_end) {
            const uint64_t to = sector_end(front);
            if (map_->any_in(front, to - front))
                break;
            if (!read_sector(front, buffer + (front - offset), to - front, &error)) {
                if (source_gone(error))
                    return -1;
                std::memset(buffer + (front - offset), 0, to - front);
                mark(front, error);
                front = to;
                break;
            }
            front = to;
            consecutive = 0;
        }
        uint64_t back = skip_end;
        while (back > front) {
            const uint64_t from = std::max(front, sector_start(back - 1));
            if (map_->any_in(from, back - from))
                break;
            if (!read_sector(from, buffer + (from - offset), back - from, &error)) {
                if (source_gone(error))
                    return -1;
                std::memset(buffer + (from - offset), 0, back - from);
                mark(from, error);
                back = from;
                break;
            }
            back = from;
        }
        if (back > front)
            map_->add(front, back - front, 0);  // between the trimmed edges: never read
        at = skip_end;
    }
    return static_cast<int64_t>(length);
}

std::string read_error_text(int error)
{
    if (error == 0)
        return "not read";
    char text[256] = {};
    // GNU strerror_r may return a static string instead of filling text.
    const char* said = strerror_r(error, text, sizeof text);
    return said ? said : "error " + std::to_string(error);
}

byte_source_ptr open_byte_source(const std::string& path, std::string* error, device_access access,
                                 open_refusal_e* refusal)
{
    if (refusal)
        *refusal = open_refusal_e::other;
    std::string file = path;
    int partition = 0;
    if (!split_image_volume_path(path, &file, &partition))
        file = path;
    std::string why;
    if (byte_source_ptr disk = open_container(file, &why)) {
        // libblkid sees only the container's own bytes: its table is read
        // from the disk inside.
        disk = std::make_shared<salvage_source_c>(disk);
        if (refusal)
            *refusal = open_refusal_e::none;
        if (partition == 0)
            return std::make_shared<source_window_c>(disk, 0, disk->size(), path);
        for (const partition_s& p : read_partitions(*disk))
            if (p.number == partition)
                return std::make_shared<source_window_c>(disk, p.start_bytes, p.size_bytes, path);
        if (error)
            *error = "there is no partition " + std::to_string(partition) + " on " + file;
        if (refusal)
            *refusal = open_refusal_e::other;
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
        if (refusal)
            *refusal = device->refusal();
        return nullptr;
    }
    auto salvaged = std::make_shared<salvage_source_c>(device);
    // An image saved from a failing disk: what its map does not mark rescued
    // is zeros standing for sectors never read, and reads as unreadable.
    if (!device->is_block_device() && !rescue_map_for(file).empty()) {
        uint64_t start = 0;
        if (partition > 0)
            for (const partition_s& p : read_partitions(file))
                if (p.number == partition)
                    start = p.start_bytes;
        if (std::string misfit = lay_rescue_map(file, start, device->size(), salvaged->map().get()); !misfit.empty()) {
            if (error)
                *error = misfit;
            return nullptr;
        }
    }
    if (refusal)
        *refusal = open_refusal_e::none;
    return salvaged;
}

}  // namespace platform
