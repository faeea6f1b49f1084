#include "platform/image_formats.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

namespace platform {

namespace {

bool starts_with(const uint8_t* bytes, const char* magic, size_t length)
{
    return std::memcmp(bytes, magic, length) == 0;
}

}  // namespace

image_format_e image_format_of(const std::string& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return image_format_e::raw;
    struct stat st {};
    uint8_t head[512] = {};
    uint8_t tail[512] = {};
    bool have_head = false, have_tail = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 512) {
        have_head = ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head);
        have_tail = ::pread(fd, tail, sizeof tail, st.st_size - 512) == ssize_t(sizeof tail);
    }
    ::close(fd);
    if (!have_head)
        return image_format_e::raw;
    if (starts_with(head, "EVF\x09\x0d\x0a\xff\x00", 8) || starts_with(head, "EVF2\x0d\x0a\x81\x00", 8))
        return image_format_e::ewf;
    if (starts_with(head, "vhdxfile", 8))
        return image_format_e::vhdx;
    // A fixed VHD is the raw disk with a footer after it; a dynamic one keeps
    // a copy of the footer at the start too.
    if (starts_with(head, "conectix", 8) || (have_tail && starts_with(tail, "conectix", 8)))
        return image_format_e::vhd;
    if (starts_with(head, "KDMV", 4) || starts_with(head, "COWD", 4) || starts_with(head, "# Disk DescriptorFile", 21))
        return image_format_e::vmdk;
    return image_format_e::raw;
}

const char* image_format_name(image_format_e format)
{
    switch (format) {
    case image_format_e::ewf: return "E01";
    case image_format_e::vhd: return "VHD";
    case image_format_e::vhdx: return "VHDX";
    case image_format_e::vmdk: return "VMDK";
    case image_format_e::raw: break;
    }
    return "";
}

namespace {

// Containers whose data was found whole, by path, size and modification
// time: the volume list opens the same image several times over.
struct checked_s {
    std::mutex lock;
    std::set<std::tuple<std::string, int64_t, int64_t>> whole;
};

checked_s& checked()
{
    static checked_s c;
    return c;
}

std::tuple<std::string, int64_t, int64_t> identity_of(const std::string& file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return {file, -1, -1};
    return {file, int64_t(st.st_size), int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

byte_source_ptr open_container(const std::string& file, std::string* error)
{
    byte_source_ptr source;
    switch (image_format_of(file)) {
    case image_format_e::raw:
        if (error)
            error->clear();
        return nullptr;
    case image_format_e::ewf: source = open_ewf_image(file, error); break;
    case image_format_e::vhd:
    case image_format_e::vhdx: source = open_vhdi_image(file, error); break;
    case image_format_e::vmdk: source = open_vmdk_image(file, error); break;
    }
    if (!source)
        return nullptr;
    // A container cut short or missing a segment often still opens, its
    // tables being at the start; the loss shows where the data should be.
    // One sector every 1/4096 of the disk (at least every MiB) and the last
    // finds a lost tail at the cost of a few thousand small reads; a gap that
    // slips through gives read errors later, which the readers count.
    const auto identity = identity_of(file);
    {
        std::lock_guard guard(checked().lock);
        if (checked().whole.count(identity))
            return source;
    }
    const uint64_t sector = source->sector_size();
    const uint64_t step = std::max<uint64_t>(uint64_t{1} << 20, source->size() / 4096 / sector * sector);
    std::vector<uint8_t> buffer(sector);
    for (uint64_t at = 0;; at += step) {
        const uint64_t where = std::min(at, source->size() - std::min(source->size(), sector));
        const int64_t want = int64_t(std::min(sector, source->size() - where));
        if (source->read_at(where, buffer.data(), size_t(want)) != want) {
            if (error)
                *error = "cannot read " + file + ": the " + image_format_name(image_format_of(file)) +
                         " image is cut short or damaged (its data at byte " + std::to_string(where) +
                         " cannot be read)";
            return nullptr;
        }
        if (at >= source->size())
            break;
    }
    std::lock_guard guard(checked().lock);
    checked().whole.insert(identity);
    return source;
}

}  // namespace platform
