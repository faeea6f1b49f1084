// Reads of a source that may hang: a failing disk behind a USB bridge can
// leave one read waiting for minutes while the bridge retries. Each read
// runs on a helper thread; when it has not answered within the timeout it
// is given up (ETIMEDOUT) and a fresh helper takes the next read, while the
// hung one finishes, or not, on its own. Several hung reads in a row mean
// the source has stopped answering.
#pragma once

#include "platform/byte_source.h"

#include <cstdint>
#include <memory>

namespace imaging {

class timed_reader_c {
public:
    // timeout_ms 0: every read runs on the caller's thread, unbounded.
    timed_reader_c(platform::byte_source_ptr source, uint32_t timeout_ms, size_t largest_read);
    ~timed_reader_c();
    timed_reader_c(const timed_reader_c&) = delete;
    timed_reader_c& operator=(const timed_reader_c&) = delete;

    // Reads length bytes (at most largest_read) at pos. Returns the bytes,
    // valid until the next read, or nullptr with *error set: the system's
    // errno, or ETIMEDOUT for a read given up.
    const uint8_t* read(uint64_t pos, size_t length, int* error);

    // Reads given up in a row, without an answer in between.
    int hung_in_a_row() const { return hung_in_a_row_; }

private:
    struct worker_s;
    std::shared_ptr<worker_s> start_worker();

    platform::byte_source_ptr source_;
    uint32_t timeout_ms_;
    size_t largest_read_;
    std::shared_ptr<worker_s> worker_;
    int hung_in_a_row_ = 0;
};

}  // namespace imaging
