#include "scan/content_pass.h"

#include "engines/carve/carve.h"
#include "platform/fd_io.h"
#include "platform/folders.h"
#include "scan/recovery_base.h"
#include "scan/safe_name.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <vector>

bool content_pass_budget_c::load()
{
    carve_load_config(platform::program_data_file("Quarvel.conf").c_str());
    settings_ = carve::content_check_settings();
    began_ = std::chrono::steady_clock::now();
    total_ = settings_.budget.seconds_left;
    return settings_.enabled;
}

bool content_pass_budget_c::next_file()
{
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
    settings_.budget.seconds_left = total_ - spent;
    return spent < total_;
}

void content_queue_c::clear()
{
    order_.clear();
    next_ = 0;
    waiting_.clear();
    total_.store(0, std::memory_order_relaxed);
    left_.store(0, std::memory_order_relaxed);
    std::lock_guard lock(out_mutex_);
    out_.clear();
}

void content_queue_c::fill(std::vector<int64_t> ids, const carve::check_budget_s& budget)
{
    clear();
    order_ = std::move(ids);
    waiting_.insert(order_.begin(), order_.end());
    one_file_ = budget;
    one_file_.seconds_left = budget.seconds_per_file;
    total_.store(int64_t(waiting_.size()), std::memory_order_relaxed);
    left_.store(int64_t(waiting_.size()), std::memory_order_relaxed);
}

bool content_queue_c::next(int64_t* id)
{
    // A file judged out of turn (a copy asked for it) is not judged again.
    while (next_ < order_.size()) {
        const int64_t at = order_[next_++];
        if (waiting_.count(at)) {
            *id = at;
            return true;
        }
    }
    return false;
}

void content_queue_c::judged(int64_t id, int32_t flags)
{
    if (waiting_.erase(id) == 0)
        return;
    left_.store(int64_t(waiting_.size()), std::memory_order_relaxed);
    std::lock_guard lock(out_mutex_);
    out_.emplace_back(id, flags);
}

content_queue_c::verdicts_t content_queue_c::take()
{
    std::lock_guard lock(out_mutex_);
    verdicts_t taken;
    taken.swap(out_);
    return taken;
}

carve::check_budget_s content_queue_c::one_file_budget() const
{
    return one_file_;
}

int write_pieces(const platform::byte_source_c& source, const carve::byte_extents_t& pieces, uint64_t size,
                 const QString& destination)
{
    uint64_t total = 0;
    for (const auto& piece : pieces)
        total += piece.second;
    if (total != size)
        return -1;
    const int fd = open_recovery_target(destination);
    if (fd < 0)
        return errno == EEXIST ? recover_target_exists : -1;
    constexpr uint64_t chunk_bytes = 256 * 1024;
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(chunk_bytes, std::max<uint64_t>(size, 1))));
    bool ok = true;
    for (const auto& [offset, length] : pieces) {
        for (uint64_t done = 0; ok && done < length;) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), length - done));
            ok = source.read_at(offset + done, chunk.data(), want) == static_cast<int64_t>(want) &&
                 platform::write_fully(fd, chunk.data(), want);
            done += want;
        }
    }
    if (::close(fd) != 0)
        ok = false;
    if (ok)
        return 0;
    // A short copy is a failure, and a failure leaves no file behind.
    remove_created_target(destination);
    return -1;
}
