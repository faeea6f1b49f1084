// Whole reads and writes on a file descriptor: the system may hand over
// fewer bytes than asked, or be interrupted by a signal, at any call.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace platform {

// Writes all length bytes to fd. Returns false on a write error (or a write
// that makes no progress).
bool write_fully(int fd, const void* data, size_t length);

// Reads length bytes from fd unless the file ends first. Returns the count
// read, or -1 on a read error.
ssize_t read_fully(int fd, void* data, size_t length);

}  // namespace platform
