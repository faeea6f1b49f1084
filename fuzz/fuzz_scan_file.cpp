// The scan result file loader, on any bytes, against a volume of 1 MiB.
//
// A scan file starts with a path, so a first byte of 1 or 2 is free to mean
// "grow this input": then 4 bytes give a length, and the rest is the file,
// padded with that many zero bytes (1) or followed by that many copies of its
// last record (2). Sizes and repeats that no mutation of the bytes would
// reach are tried that way.
#include "scan/raw/scan_file.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// Larger than the 1 MiB volume can hold records for, so the count bound is
// crossed as well as approached.
constexpr uint64_t most_padding = uint64_t(64) << 20;
constexpr uint32_t most_repeats = 1u << 16;

bool write_input(int fd, const uint8_t* data, size_t size)
{
    if (::ftruncate(fd, 0) != 0)
        return false;
    if (size < 5 || (data[0] != 1 && data[0] != 2))
        return ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size);
    const uint32_t amount = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24;
    const uint8_t* body = data + 5;
    const size_t body_size = size - 5;
    if (::pwrite(fd, body, body_size, 0) != static_cast<ssize_t>(body_size))
        return false;
    if (data[0] == 1)  // sparse zeros: the file system holds none of them
        return ::ftruncate(fd, static_cast<off_t>(body_size + amount % most_padding)) == 0;
    if (body_size < scan_file_header_bytes + scan_file_record_bytes)
        return true;
    const uint8_t* last = body + body_size - scan_file_record_bytes;
    std::vector<uint8_t> copies;
    const uint32_t repeats = amount % most_repeats;
    copies.reserve(size_t(repeats) * scan_file_record_bytes);
    for (uint32_t i = 0; i < repeats; ++i)
        copies.insert(copies.end(), last, last + scan_file_record_bytes);
    return ::pwrite(fd, copies.data(), copies.size(), static_cast<off_t>(body_size)) ==
           static_cast<ssize_t>(copies.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int fd = ::memfd_create("scan.sav", 0);
    if (fd < 0 || !write_input(fd, data, size))
        return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    scan_file_contents_s contents;
    const std::string refusal = read_scan_file(path, [](const std::string& device, uint64_t* bytes) {
        *bytes = 1 << 20;
        return !device.empty() && device[0] == '/';
    }, &contents);
    // What loads can never make a recovery write more than the volume.
    uint64_t total = 0;
    for (const raw_item_s& item : contents.records)
        total += static_cast<uint64_t>(item.size);
    if (refusal.empty() && total > (1 << 20))
        __builtin_trap();
    return 0;
}
