#include "imaging/timed_reader.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace imaging {

namespace {

struct aligned_free_s {
    void operator()(uint8_t* p) const { std::free(p); }
};
using aligned_buffer = std::unique_ptr<uint8_t, aligned_free_s>;

// Page aligned, so an unbuffered device reads straight into it.
aligned_buffer make_buffer(size_t length)
{
    void* p = nullptr;
    if (posix_memalign(&p, 4096, length < 4096 ? 4096 : length) != 0)
        throw std::bad_alloc();
    return aligned_buffer(static_cast<uint8_t*>(p));
}

}  // namespace

// Owned jointly by the reader and its thread, so a thread left hanging in
// a read still has its buffer and its source when the read returns.
struct timed_reader_c::worker_s {
    platform::byte_source_ptr source;
    aligned_buffer buffer;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable answered;
    bool has_request = false;
    bool done = false;
    bool quit = false;
    uint64_t pos = 0;
    size_t length = 0;
    int64_t got = 0;
    int error = 0;
    std::thread thread;

    void serve()
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            wake.wait(lock, [this] { return has_request || quit; });
            if (quit)
                return;
            has_request = false;
            const uint64_t at = pos;
            const size_t n = length;
            lock.unlock();
            errno = 0;
            const int64_t result = source->read_at(at, buffer.get(), n);
            const int why = errno != 0 ? errno : EIO;
            lock.lock();
            got = result;
            error = why;
            done = true;
            answered.notify_all();
        }
    }
};

timed_reader_c::timed_reader_c(platform::byte_source_ptr source, uint32_t timeout_ms, size_t largest_read)
    : source_(std::move(source)), timeout_ms_(timeout_ms), largest_read_(largest_read)
{
    worker_ = start_worker();
}

timed_reader_c::~timed_reader_c()
{
    {
        std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->quit = true;
    }
    worker_->wake.notify_all();
    if (worker_->thread.joinable())
        worker_->thread.join();
}

std::shared_ptr<timed_reader_c::worker_s> timed_reader_c::start_worker()
{
    auto worker = std::make_shared<worker_s>();
    worker->source = source_;
    worker->buffer = make_buffer(largest_read_);
    if (timeout_ms_ > 0)
        worker->thread = std::thread([keep = worker] { keep->serve(); });
    return worker;
}

const uint8_t* timed_reader_c::read(uint64_t pos, size_t length, int* error)
{
    if (length > largest_read_) {
        *error = EINVAL;
        return nullptr;
    }
    if (timeout_ms_ == 0) {
        errno = 0;
        const int64_t got = source_->read_at(pos, worker_->buffer.get(), length);
        if (got == static_cast<int64_t>(length))
            return worker_->buffer.get();
        *error = errno != 0 ? errno : EIO;
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(worker_->mutex);
    worker_->pos = pos;
    worker_->length = length;
    worker_->done = false;
    worker_->has_request = true;
    worker_->wake.notify_all();
    if (!worker_->answered.wait_for(lock, std::chrono::milliseconds(timeout_ms_), [this] { return worker_->done; })) {
        // Left to finish on its own; it quits when it next looks.
        worker_->quit = true;
        lock.unlock();
        worker_->thread.detach();
        worker_ = start_worker();
        ++hung_in_a_row_;
        *error = ETIMEDOUT;
        return nullptr;
    }
    hung_in_a_row_ = 0;
    if (worker_->got == static_cast<int64_t>(length))
        return worker_->buffer.get();
    *error = worker_->error;
    return nullptr;
}

}  // namespace imaging
