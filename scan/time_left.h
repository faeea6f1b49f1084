// How long a pass has left, from how far it has got and how long that took.
#pragma once

#include <chrono>
#include <cstdint>

class time_left_c {
public:
    // Seconds left at this progress (0 to 1), or -1 while it is too early to
    // tell. A progress that goes back (a pass that begins a second stage)
    // starts the reckoning again.
    int64_t seconds_left(double progress)
    {
        const auto now = std::chrono::steady_clock::now();
        if (first_ < 0 || progress + 0.01 < last_) {
            first_ = progress;
            since_ = now;
        }
        last_ = progress;
        const double done = progress - first_;
        const double elapsed = std::chrono::duration<double>(now - since_).count();
        if (done < 0.01 || elapsed < 2.0)
            return -1;
        return int64_t(elapsed * (1.0 - progress) / done + 0.5);
    }
    void restart() { first_ = -1; }

private:
    double first_ = -1;
    double last_ = 0;
    std::chrono::steady_clock::time_point since_{};
};
