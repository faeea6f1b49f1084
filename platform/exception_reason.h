// The one-line reason for an exception that reached a thread's entry, for
// the threads that end their job as a failure instead of letting it end the
// program.
#pragma once

#include <cxxabi.h>
#include <string>

namespace platform {

// Call only inside a catch handler. task names what was running ("the
// scan"): "the scan ran out of memory and was stopped", or "... was stopped
// by an internal error (what())". Never throws; under memory pressure the
// text may lose its detail.
std::string current_exception_reason(const char* task) noexcept;

// Runs job and returns true; when an exception escapes it, returns false
// with *reason from current_exception_reason(task). A thread being
// cancelled goes on unwinding.
template <typename Job>
bool run_catching(const char* task, Job&& job, std::string* reason)
{
    try {
        job();
        return true;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        *reason = current_exception_reason(task);
        return false;
    }
}

}  // namespace platform
