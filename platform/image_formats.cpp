#include "platform/image_formats.h"

#include <cerrno>
#include <dlfcn.h>
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

namespace image_detail {

namespace {

class container_source_c final : public byte_source_c {
public:
    container_source_c(uint64_t size, uint32_t sector_size, std::string name, container_read_f read_some,
                       std::function<void()> close)
        : size_(size), sector_size_(sector_size), name_(std::move(name)), read_some_(std::move(read_some)),
          close_(std::move(close))
    {
    }
    ~container_source_c() override
    {
        if (close_)
            close_();
    }
    container_source_c(const container_source_c&) = delete;
    container_source_c& operator=(const container_source_c&) = delete;

    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        if (offset >= size_ || length == 0)
            return 0;
        if (length > size_ - offset)
            length = static_cast<size_t>(size_ - offset);
        std::lock_guard guard(lock_);
        size_t done = 0;
        auto* out = static_cast<uint8_t*>(buffer);
        while (done < length) {
            const ssize_t n = read_some_(out + done, length - done, offset + done);
            if (n < 0)
                return -1;  // a damaged part: the reader counts it as unreadable
            if (n == 0)
                break;
            done += static_cast<size_t>(n);
        }
        return static_cast<int64_t>(done);
    }
    uint64_t size() const override { return size_; }
    uint32_t sector_size() const override { return sector_size_; }
    const std::string& name() const override { return name_; }

private:
    uint64_t size_ = 0;
    uint32_t sector_size_ = 512;
    std::string name_;
    container_read_f read_some_;
    std::function<void()> close_;
    mutable std::mutex lock_;
};

}  // namespace

byte_source_ptr make_container_source(uint64_t size, uint32_t sector_size, std::string name,
                                      container_read_f read_some, std::function<void()> close)
{
    return std::make_shared<container_source_c>(size, sector_size, std::move(name), std::move(read_some),
                                                std::move(close));
}

std::string one_line(const char* text)
{
    std::string line;
    for (const char* p = text; *p; ++p)
        line += (*p == '\n' || *p == '\r') ? ' ' : *p;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line.empty() ? std::string("the library gave no reason") : line;
}

void* load_library(const char* soname, std::string* error)
{
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library && error) {
        const char* why = ::dlerror();
        *error = std::string(soname) + " cannot be loaded (" + (why ? why : "no reason given") + ")";
    }
    return library;
}

void* library_symbol(void* library, const char* name) { return library ? ::dlsym(library, name) : nullptr; }

}  // namespace image_detail

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
