// The carving engine's configuration file, Quarvel.conf.
#include "engines/carve/carve.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = ::memfd_create("Quarvel.conf", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    carve_load_config(("/proc/self/fd/" + std::to_string(fd)).c_str());
    return 0;
}
