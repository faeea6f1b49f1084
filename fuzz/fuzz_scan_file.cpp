// The scan result file loader, on any bytes, against a volume of 1 MiB.
#include "scan/raw/scan_file.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = ::memfd_create("scan.sav", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    scan_file_contents_s contents;
    read_scan_file(path, [](const std::string& device, uint64_t* bytes) {
        *bytes = 1 << 20;
        return !device.empty() && device[0] == '/';
    }, &contents);
    return 0;
}
