#include "platform/fd_io.h"

#include <cerrno>
#include <unistd.h>

namespace platform {

bool write_fully(int fd, const void* data, size_t length)
{
    const auto* at = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, at, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t read_fully(int fd, void* data, size_t length)
{
    auto* at = static_cast<char*>(data);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, at + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace platform
