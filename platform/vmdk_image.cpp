// VMDK virtual disks through libvmdk: a sparse disk with its descriptor
// inside, or a descriptor file naming its extents beside it. The library's
// handle is not safe across threads, so every read holds the lock.
#include "platform/image_formats.h"

#include "ondisk/byte_order.h"

#include <libvmdk.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

namespace platform {

namespace {

using platform::le32;
using platform::le64;

std::string take_error(libvmdk_error_t** error)
{
    char text[1024] = {};
    if (*error) {
        libvmdk_error_sprint(*error, text, sizeof text);
        libvmdk_error_free(error);
    }
    return image_detail::one_line(text);
}

class vmdk_image_c final : public byte_source_c {
public:
    vmdk_image_c(libvmdk_handle_t* handle, uint64_t size, std::string name)
        : handle_(handle), size_(size), name_(std::move(name))
    {
    }
    ~vmdk_image_c() override
    {
        libvmdk_handle_close(handle_, nullptr);
        libvmdk_handle_free(&handle_, nullptr);
    }
    vmdk_image_c(const vmdk_image_c&) = delete;
    vmdk_image_c& operator=(const vmdk_image_c&) = delete;

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
            const ssize_t n = libvmdk_handle_read_buffer_at_offset(handle_, out + done, length - done,
                                                                   static_cast<off64_t>(offset + done), nullptr);
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            done += static_cast<size_t>(n);
        }
        return static_cast<int64_t>(done);
    }
    uint64_t size() const override { return size_; }
    // The format has no other sector size.
    uint32_t sector_size() const override { return 512; }
    const std::string& name() const override { return name_; }

private:
    libvmdk_handle_t* handle_ = nullptr;
    uint64_t size_ = 0;
    std::string name_;
    mutable std::mutex lock_;
};

// A sparse extent's grain directory and tables, where its grains lie.
namespace sparse {
inline constexpr size_t capacity = 12;          // u64, sectors
inline constexpr size_t grain_size = 20;        // u64, sectors
inline constexpr size_t entries_per_table = 44; // u32
inline constexpr size_t directory_at = 56;      // u64, sector; all ones: at the end (streamed)
}  // namespace sparse

// Whether every table and grain a monolithic sparse file points at lies
// inside the file. libvmdk reads a grain past the end of a file cut short as
// zeros, so a lost tail would pass for an empty disk area.
bool sparse_extent_complete(const std::string& file)
{
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    const uint64_t file_size = uint64_t(std::max<std::streamoff>(0, in.tellg()));
    auto read = [&](uint64_t offset, std::vector<uint8_t>& out) {
        in.seekg(std::streamoff(offset));
        in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
        return in.gcount() == std::streamsize(out.size());
    };
    std::vector<uint8_t> header(512);
    if (!read(0, header) || std::memcmp(header.data(), "KDMV", 4) != 0)
        return true;  // not a sparse extent: nothing of ours to check
    const uint64_t capacity = le64(header.data() + sparse::capacity);
    const uint64_t grain = le64(header.data() + sparse::grain_size);
    const uint32_t per_table = le32(header.data() + sparse::entries_per_table);
    const uint64_t directory = le64(header.data() + sparse::directory_at);
    if (directory == ~uint64_t{0})
        return true;  // streamed: its tables are in a footer libvmdk checks
    if (grain == 0 || grain > 1u << 16 || per_table == 0 || per_table > 1u << 16 || capacity == 0)
        return false;
    const uint64_t tables = (capacity / grain + per_table - 1) / per_table;
    if (tables > (uint64_t{1} << 22) || directory > file_size / 512)
        return false;
    std::vector<uint8_t> dir(size_t(tables) * 4), table(size_t(per_table) * 4);
    if (!read(directory * 512, dir))
        return false;
    for (uint64_t t = 0; t < tables; ++t) {
        const uint64_t table_at = le32(dir.data() + t * 4);
        if (table_at == 0)
            continue;
        if (table_at * 512 + table.size() > file_size || !read(table_at * 512, table))
            return false;
        for (uint32_t e = 0; e < per_table; ++e) {
            const uint64_t grain_at = le32(table.data() + size_t(e) * 4);
            if (grain_at > 1 && (grain_at + grain) * 512 > file_size)  // 1: a grain of zeros
                return false;
        }
    }
    return true;
}

}  // namespace

byte_source_ptr open_vmdk_image(const std::string& file, std::string* error)
{
    const std::string prefix = "cannot open " + file + " as a VMDK disk: ";
    auto fail = [&](const std::string& reason) {
        if (error)
            *error = prefix + reason;
        return nullptr;
    };
    libvmdk_error_t* err = nullptr;
    libvmdk_handle_t* handle = nullptr;
    if (libvmdk_handle_initialize(&handle, &err) != 1)
        return fail(take_error(&err));
    auto close = [&] {
        libvmdk_handle_close(handle, nullptr);
        libvmdk_handle_free(&handle, nullptr);
    };
    if (libvmdk_handle_open(handle, file.c_str(), LIBVMDK_OPEN_READ, &err) != 1) {
        libvmdk_handle_free(&handle, nullptr);
        return fail("it is damaged or cut short (" + take_error(&err) + ")");
    }
    // A descriptor names its extent files relative to its own folder.
    const size_t slash = file.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : file.substr(0, slash);
    if (libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), &err) != 1 ||
        libvmdk_handle_open_extent_data_files(handle, &err) != 1) {
        const std::string reason = "an extent file is missing or damaged (" + take_error(&err) + ")";
        close();
        return fail(reason);
    }
    if (!sparse_extent_complete(file)) {
        close();
        return fail("it is cut short or damaged (its grain tables point past the end of the file)");
    }
    size64_t size = 0;
    if (libvmdk_handle_get_media_size(handle, &size, &err) != 1 || size == 0) {
        const std::string reason = err ? take_error(&err) : std::string("it holds no data");
        close();
        return fail(reason);
    }
    return std::make_shared<vmdk_image_c>(handle, size, file);
}

}  // namespace platform
