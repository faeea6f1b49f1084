#include "platform/exception_reason.h"

#include <exception>
#include <new>

namespace platform {

std::string current_exception_reason(const char* task) noexcept
{
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            return std::string(task) + " ran out of memory and was stopped";
        } catch (const std::exception& e) {
            return std::string(task) + " was stopped by an internal error (" + e.what() + ")";
        } catch (...) {
            return std::string(task) + " was stopped by an internal error";
        }
    } catch (...) {
        // Not even the text fits in memory: the caller's string stays empty
        // only if this one cannot be built either, so keep it short.
        try {
            return "out of memory";
        } catch (...) {
            return {};
        }
    }
}

}  // namespace platform
