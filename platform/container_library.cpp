#include "platform/container_library.h"

#include <dlfcn.h>
#include <mutex>

namespace platform::image_detail {

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

}  // namespace platform::image_detail
