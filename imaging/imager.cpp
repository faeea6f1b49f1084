#include "imaging/imager.h"
#include "imaging/timed_reader.h"

#include "platform/image_formats.h"
#include "platform/invoking_user.h"
#include "platform/output_guard.h"
#include "platform/partitions.h"
#include "platform/raw_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imaging {

namespace {

// A source that is gone (unplugged, its descriptor revoked) would read as a
// disk of bad sectors: the run stops instead, its map intact.
bool source_gone(int error) { return error == ENODEV || error == ENXIO || error == EBADF; }

// Reads given up in a row before the source counts as no longer answering.
constexpr int most_hung_reads = 3;

bool all_zero(const uint8_t* data, size_t length)
{
    return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

char phase_mark(phase_e phase)
{
    switch (phase) {
    case phase_e::copying: return platform::rescue_untried;
    case phase_e::trimming: return platform::rescue_untrimmed;
    case phase_e::scraping: return platform::rescue_unscraped;
    case phase_e::retrying: return platform::rescue_bad;
    case phase_e::finished: return platform::rescue_done;
    }
    return platform::rescue_untried;
}

platform::byte_source_ptr open_source(const std::string& path, std::string* error)
{
    std::string file = path;
    int partition = 0;
    if (!platform::split_image_volume_path(path, &file, &partition))
        file = path;
    std::string why;
    if (platform::byte_source_ptr disk = platform::open_container(file, &why)) {
        if (partition == 0)
            return disk;
        for (const platform::partition_s& p : platform::read_partitions(*disk))
            if (p.number == partition)
                return std::make_shared<platform::source_window_c>(disk, p.start_bytes, p.size_bytes, path);
        *error = "there is no partition " + std::to_string(partition) + " on " + file;
        return nullptr;
    }
    if (!why.empty()) {
        *error = why;
        return nullptr;
    }
    // Unbuffered where the device takes it: the kernel's read-ahead would
    // read past a bad sector again and again.
    auto device = std::make_shared<platform::raw_device_c>();
    if (device->open(path, platform::open_mode::read_unbuffered, platform::device_access::ask) != 0) {
        *error = platform::with_way_out(device->error(), device->refusal());
        return nullptr;
    }
    return device;
}

}  // namespace

const char* phase_name(phase_e phase)
{
    switch (phase) {
    case phase_e::copying: return "copying";
    case phase_e::trimming: return "trimming";
    case phase_e::scraping: return "scraping";
    case phase_e::retrying: return "retrying";
    case phase_e::finished: return "finished";
    }
    return "";
}

imager_c::imager_c() = default;

imager_c::~imager_c()
{
    reader_.reset();
    if (dest_fd_ >= 0)
        ::close(dest_fd_);
}

std::string imager_c::open(const std::string& source_path, const std::string& dest_path, const std::string& map_path,
                           const imaging_options_s& options)
{
    std::string why;
    platform::byte_source_ptr source = open_source(source_path, &why);
    if (!source)
        return why;
    imaging_options_s chosen = options;
    if (chosen.read_timeout_ms < 0) {
        std::string file = source_path;
        if (!platform::split_image_volume_path(source_path, &file, nullptr))
            file = source_path;
        struct stat st {};
        chosen.read_timeout_ms = ::stat(file.c_str(), &st) == 0 && S_ISBLK(st.st_mode) ? default_read_timeout_ms : 0;
    }
    return open(std::move(source), source_path, dest_path, map_path, chosen);
}

std::string imager_c::open(platform::byte_source_ptr source, const std::string& source_path,
                           const std::string& dest_path, const std::string& map_path, const imaging_options_s& options)
{
    source_ = std::move(source);
    source_path_ = source_path;
    dest_path_ = dest_path;
    map_path_ = map_path.empty() ? dest_path + ".map" : map_path;
    options_ = options;
    options_.retries = std::max(0, options_.retries);
    sector_ = std::max<uint32_t>(512, source_->sector_size());
    options_.cluster_bytes = static_cast<uint32_t>(
        std::max<uint64_t>(sector_, options_.cluster_bytes / sector_ * sector_));
    options_.first_skip_bytes = std::max<uint64_t>(sector_, options_.first_skip_bytes);
    const uint64_t size = source_->size();
    if (size == 0)
        return source_path + " holds no bytes to save";

    for (const std::string& target : {dest_path_, map_path_})
        if (std::string refusal = platform::output_refusal(target, source_path); !refusal.empty())
            return refusal;
    struct stat dest_st {};
    struct stat map_st {};
    const bool dest_exists = ::stat(dest_path_.c_str(), &dest_st) == 0;
    const bool map_exists = ::stat(map_path_.c_str(), &map_st) == 0;
    if (dest_path_ == map_path_ ||
        (dest_exists && map_exists && dest_st.st_dev == map_st.st_dev && dest_st.st_ino == map_st.st_ino))
        return "the image and its map must be two files";

    platform::rescue_map_c map(size);
    if (map_exists) {
        if (std::string unreadable = platform::read_rescue_map(map_path_, &map); !unreadable.empty())
            return unreadable;
        if (map.size() != size)
            return "the map " + map_path_ + " covers " + std::to_string(map.size()) + " bytes but " + source_path +
                   " holds " + std::to_string(size) + ": it is the map of another disk";
        if (!dest_exists)
            return "the map " + map_path_ + " is there but the image " + dest_path_ +
                   " is not: move the map away to start anew";
        resumed_ = true;
    } else if (dest_exists && dest_st.st_size > 0) {
        return dest_path_ + " exists and there is no map " + map_path_ +
               " to continue it: choose a new file, or name its map";
    }

    dest_fd_ = ::open(dest_path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (dest_fd_ < 0)
        return "cannot open " + dest_path_ + " for writing: " + std::strerror(errno);
    if (std::string refusal = platform::open_output_refusal(dest_fd_, dest_path_, source_path); !refusal.empty())
        return refusal;
    if (!dest_exists)
        platform::hand_to_invoking_user(dest_fd_);
    fresh_dest_ = !dest_exists || dest_st.st_size == 0;
    struct stat st {};
    // Sparse: what is never rescued stays a hole of zeros.
    if (::fstat(dest_fd_, &st) != 0 ||
        (static_cast<uint64_t>(st.st_size) < size && ::ftruncate(dest_fd_, static_cast<off_t>(size)) != 0))
        return "cannot make " + dest_path_ + " " + std::to_string(size) + " bytes long: " + std::strerror(errno);

    const auto timeout = static_cast<uint32_t>(std::clamp<int64_t>(options_.read_timeout_ms, 0, int64_t{86400} * 1000));
    reader_ = std::make_unique<timed_reader_c>(source_, timeout,
                                               std::max<size_t>(options_.cluster_bytes, sector_));
    std::lock_guard<std::mutex> lock(mutex_);
    map_ = std::move(map);
    progress_ = {};
    progress_.size = size;
    started_ = rate_since_ = std::chrono::steady_clock::now();
    mark(0, 0, platform::rescue_done);  // fills the counts
    progress_.position = map_.current_pos;
    return {};
}

imaging_progress_s imager_c::progress() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    imaging_progress_s p = progress_;
    // Until a first window of a few seconds has passed: the run's average.
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (p.rate == 0 && elapsed > 0.2 && p.rescued > rescued_at_start_)
        p.rate = static_cast<double>(p.rescued - rescued_at_start_) / elapsed;
    return p;
}

// Called with mutex_ held or from the run's thread before others look.
void imager_c::mark(uint64_t pos, uint64_t length, char status)
{
    map_.set(pos, length, status);
    progress_.rescued = map_.bytes_with(platform::rescue_done);
    progress_.unreadable = map_.bytes_with(platform::rescue_bad);
    progress_.pending = map_.bytes_with(platform::rescue_untrimmed) + map_.bytes_with(platform::rescue_unscraped);
    progress_.untried = map_.bytes_with(platform::rescue_untried);
    progress_.position = pos + length;

    const auto now = std::chrono::steady_clock::now();
    const double since = std::chrono::duration<double>(now - rate_since_).count();
    if (since >= 2.0) {
        progress_.rate = static_cast<double>(progress_.rescued - std::min(progress_.rescued, rate_bytes_since_)) / since;
        rate_since_ = now;
        rate_bytes_since_ = progress_.rescued;
        // What is left to read, at the pace this run has settled bytes so far.
        const uint64_t left = progress_.untried + progress_.pending;
        const uint64_t settled = progress_.size - left;
        const double elapsed = std::chrono::duration<double>(now - started_).count();
        if (settled > settled_at_start_ && elapsed > 0)
            progress_.seconds_left = static_cast<int64_t>(
                static_cast<double>(left) / (static_cast<double>(settled - settled_at_start_) / elapsed));
    }
}

void imager_c::enter(phase_e phase, int pass)
{
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.phase = phase;
    progress_.pass = pass;
    map_.current_phase = phase_mark(phase);
    map_.current_pass = pass;
}

imager_c::read_e imager_c::read(uint64_t pos, uint64_t length, int* error)
{
    *error = 0;
    const uint8_t* data = reader_->read(pos, static_cast<size_t>(length), error);
    if (data) {
        if (!save(pos, data, length))
            return read_e::gone;
        std::lock_guard<std::mutex> lock(mutex_);
        map_.current_pos = pos;
        mark(pos, length, platform::rescue_done);
        return read_e::ok;
    }
    if (source_gone(*error) || reader_->hung_in_a_row() >= most_hung_reads) {
        failure_ = source_path_ + " stopped answering (" + platform::read_error_text(*error) + ")";
        return read_e::gone;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++progress_.read_errors;
    map_.current_pos = pos;
    return read_e::failed;
}

bool imager_c::save(uint64_t pos, const uint8_t* data, uint64_t length)
{
    // A fresh image is all holes: zeros need not be written to read as zeros.
    if (fresh_dest_ && all_zero(data, static_cast<size_t>(length)))
        return true;
    uint64_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(dest_fd_, data + done, static_cast<size_t>(length - done),
                                   static_cast<off_t>(pos + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failure_ = "cannot write " + dest_path_ + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<uint64_t>(n);
    }
    return true;
}

bool imager_c::write_map(bool force)
{
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - last_map_write_ < std::chrono::seconds(options_.map_seconds))
        return true;
    last_map_write_ = now;
    // The map may only claim what the image holds for certain.
    if (::fdatasync(dest_fd_) != 0) {
        failure_ = "cannot write " + dest_path_ + ": " + std::strerror(errno);
        return false;
    }
    std::string text_error;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const platform::rescue_map_c copy = map_;
        text_error = platform::write_rescue_map(map_path_, copy, "Rescue map written by Quarvel Undelete\nSource: " +
                                                                     source_path_ + "\nImage: " + dest_path_);
    }
    if (!text_error.empty()) {
        failure_ = text_error;
        return false;
    }
    // Each write is a new file (renamed over the old one): hand each over.
    platform::hand_to_invoking_user(map_path_);
    return true;
}

std::string imager_c::run(const std::function<bool()>& stop_point)
{
    failure_.clear();
    started_ = rate_since_ = std::chrono::steady_clock::now();
    last_map_write_ = started_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        settled_at_start_ = progress_.size - progress_.untried - progress_.pending;
        rate_bytes_since_ = rescued_at_start_ = progress_.rescued;
        progress_.read_errors = 0;
        progress_.rate = 0;
        progress_.seconds_left = -1;
    }
    auto left = [this](char status) { return map_.bytes_with(status) > 0; };
    bool going = true;
    if (left(platform::rescue_untried))
        going = copy_pass(1, false, true, stop_point);
    if (going && left(platform::rescue_untried))
        going = copy_pass(2, true, true, stop_point);
    if (going && left(platform::rescue_untried))
        going = copy_pass(3, false, false, stop_point);
    if (going && left(platform::rescue_untrimmed))
        going = trim(stop_point);
    if (going && left(platform::rescue_unscraped))
        going = sector_pass(platform::rescue_unscraped, phase_e::scraping, 1, stop_point);
    for (int pass = 1; going && pass <= options_.retries && left(platform::rescue_bad); ++pass)
        going = sector_pass(platform::rescue_bad, phase_e::retrying, pass, stop_point);
    if (going) {
        enter(phase_e::finished, 1);
        std::lock_guard<std::mutex> lock(mutex_);
        progress_.seconds_left = 0;
        map_.current_pos = 0;
    }
    // A failure's own reason goes first; the map is written regardless.
    const std::string failure = failure_;
    write_map(true);
    return failure.empty() ? failure_ : failure;
}

bool imager_c::copy_pass(int pass, bool backward, bool skipping, const std::function<bool()>& stop_point)
{
    enter(phase_e::copying, pass);
    const uint64_t cluster = options_.cluster_bytes;
    const uint64_t most_skip =
        std::clamp<uint64_t>(map_.size() / 100 / sector_ * sector_, options_.first_skip_bytes, uint64_t{1} << 30);
    uint64_t skip = options_.first_skip_bytes;
    uint64_t pos = backward ? map_.size() : 0;
    platform::rescue_block_s block;
    while (backward ? map_.previous(platform::rescue_untried, pos, &block)
                    : map_.next(platform::rescue_untried, pos, &block)) {
        if (stop_point() || !write_map(false))
            return false;
        uint64_t from;
        uint64_t to;
        if (backward) {
            to = block.end();
            from = std::max(block.pos, (to - 1) / cluster * cluster);
        } else {
            from = block.pos;
            to = std::min(block.end(), (from / cluster + 1) * cluster);
        }
        int error = 0;
        const read_e result = read(from, to - from, &error);
        if (result == read_e::gone)
            return false;
        if (result == read_e::ok) {
            skip = options_.first_skip_bytes;
            pos = backward ? from : to;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            mark(from, to - from, platform::rescue_untrimmed);
        }
        if (!skipping) {
            pos = backward ? from : to;
            continue;
        }
        // Past the bad area for now; what is skipped stays untried for the
        // next pass, which comes at it from the other side.
        if (backward)
            pos = from > skip ? (from - skip) / sector_ * sector_ : 0;
        else
            pos = std::min(map_.size(), (to + skip + sector_ - 1) / sector_ * sector_);
        skip = std::min(skip * 2, most_skip);
        if (pos == 0 && backward)
            break;
    }
    return write_map(true);
}

bool imager_c::trim(const std::function<bool()>& stop_point)
{
    enter(phase_e::trimming, 1);
    uint64_t pos = 0;
    platform::rescue_block_s block;
    while (map_.next(platform::rescue_untrimmed, pos, &block)) {
        uint64_t front = block.pos;
        uint64_t back = block.end();
        // From the near edge forward until a sector fails...
        while (front < back) {
            if (stop_point() || !write_map(false))
                return false;
            const uint64_t to = std::min(back, (front / sector_ + 1) * sector_);
            int error = 0;
            const read_e result = read(front, to - front, &error);
            if (result == read_e::gone)
                return false;
            if (result == read_e::failed) {
                std::lock_guard<std::mutex> lock(mutex_);
                mark(front, to - front, platform::rescue_bad);
            }
            front = to;
            if (result == read_e::failed)
                break;
        }
        // ...then from the far edge back.
        while (back > front) {
            if (stop_point() || !write_map(false))
                return false;
            const uint64_t from = std::max(front, (back - 1) / sector_ * sector_);
            int error = 0;
            const read_e result = read(from, back - from, &error);
            if (result == read_e::gone)
                return false;
            if (result == read_e::failed) {
                std::lock_guard<std::mutex> lock(mutex_);
                mark(from, back - from, platform::rescue_bad);
            }
            back = from;
            if (result == read_e::failed)
                break;
        }
        if (back > front) {
            std::lock_guard<std::mutex> lock(mutex_);
            mark(front, back - front, platform::rescue_unscraped);
        }
        pos = block.end();
    }
    return write_map(true);
}

bool imager_c::sector_pass(char status, phase_e phase, int pass, const std::function<bool()>& stop_point)
{
    enter(phase, pass);
    uint64_t pos = 0;
    platform::rescue_block_s block;
    while (map_.next(status, pos, &block)) {
        if (stop_point() || !write_map(false))
            return false;
        const uint64_t to = std::min(block.end(), (block.pos / sector_ + 1) * sector_);
        int error = 0;
        const read_e result = read(block.pos, to - block.pos, &error);
        if (result == read_e::gone)
            return false;
        if (result == read_e::failed) {
            std::lock_guard<std::mutex> lock(mutex_);
            mark(block.pos, to - block.pos, platform::rescue_bad);
        }
        pos = to;
    }
    return write_map(true);
}

}  // namespace imaging
