// Every carving validator: the engine searches the input as a small device,
// a file allowed to begin at any byte.
#include "engines/carve/carve.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

void ignore(void*, const char*, int64_t, int64_t) {}

int memory_file(const char* name, const void* data, size_t size)
{
    const int fd = ::memfd_create(name, 0);
    if (fd >= 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool configured = [] {
        // Plain text, off by default, is fuzzed too.
        const char conf[] = "byte_level on\ntype txt on\ntype csv on\ntype html on\ntype xml on\ntype json on\n"
                            "type c on\ntype py on\ntype sh on\n";
        const int fd = memory_file("Quarvel.conf", conf, std::strlen(conf));
        carve_load_config(("/proc/self/fd/" + std::to_string(fd)).c_str());
        return true;
    }();
    (void)configured;
    static const int fd = ::memfd_create("device.img", 0);
    if (size == 0 || fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    carve_control_s control;
    control.callback = &ignore;
    carve_run(&control, ("/proc/self/fd/" + std::to_string(fd)).c_str());
    return 0;
}
