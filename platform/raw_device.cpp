#include "platform/raw_device.h"
#include "platform/image_formats.h"
#include "platform/partitions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Largest piece one unbuffered read moves through its bounce buffer.
constexpr size_t direct_chunk = 1u << 20;

int64_t pread_full(int fd, void* buffer, size_t length, uint64_t offset)
{
    size_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < length) {
        const ssize_t n = ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool is_regular_file(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_block_device_node(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

}  // namespace

bool split_image_volume_path(const std::string& path, std::string* image, int* partition)
{
    const size_t colon = path.rfind(":p");
    if (colon == std::string::npos || colon == 0 || colon + 2 >= path.size())
        return false;
    const std::string digits = path.substr(colon + 2);
    if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    // A file whose own name ends in ":p1" is that file, not a partition of another.
    if (is_regular_file(path))
        return false;
    if (image)
        *image = path.substr(0, colon);
    if (partition)
        *partition = std::atoi(digits.c_str());
    return true;
}

raw_device_c::~raw_device_c() { close(); }

raw_device_c::raw_device_c(raw_device_c&& other) noexcept { *this = std::move(other); }

raw_device_c& raw_device_c::operator=(raw_device_c&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = other.fd_;
        direct_fd_ = other.direct_fd_;
        base_ = other.base_;
        size_ = other.size_;
        sector_size_ = other.sector_size_;
        heads_ = other.heads_;
        sectors_per_track_ = other.sectors_per_track_;
        block_device_ = other.block_device_;
        writable_ = other.writable_;
        path_ = std::move(other.path_);
        error_ = std::move(other.error_);
        refusal_ = other.refusal_;
        other.fd_ = -1;
        other.direct_fd_ = -1;
    }
    return *this;
}

int raw_device_c::open(const std::string& path, open_mode mode, device_access access)
{
    close();
    path_ = path;
    error_.clear();
    // Every failure below is "other" unless it says it is about rights.
    refusal_ = open_refusal_e::other;
    std::string file = path;
    int partition = -1;
    std::string image;
    if (split_image_volume_path(path, &image, &partition))
        file = image;

    const bool want_write = mode == open_mode::read_write_unbuffered || mode == open_mode::read_write_exclusive;
    const int flags = (want_write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    // O_EXCL means "claim" only for block devices; an image is opened as always.
    const bool claim = mode == open_mode::read_write_exclusive && !is_regular_file(file);
    fd_ = ::open(file.c_str(), flags | (claim ? O_EXCL : 0));
    if (fd_ < 0 && (errno == EACCES || errno == EPERM) && access == device_access::ask && is_block_device_node(file)) {
        std::string why;
        fd_ = open_device_for_user(file, want_write ? descriptor_mode::read_write : descriptor_mode::read, &why,
                                   &refusal_);
        if (fd_ < 0) {
            error_ = why;
            return -1;
        }
        refusal_ = open_refusal_e::other;
    }
    if (fd_ < 0 && claim && errno == EBUSY) {
        error_ = "cannot open " + file + " for writing: it is in use (a partition of it is mounted or held)";
        return -1;
    }
    if (fd_ < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            refusal_ = open_refusal_e::denied;
        error_ = "cannot open " + file + ": " + std::strerror(error);
        return -1;
    }
    writable_ = want_write;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        error_ = "cannot examine " + file + ": " + std::strerror(errno);
        close();
        return -1;
    }
    uint64_t file_size = 0;
    if (S_ISBLK(st.st_mode)) {
        block_device_ = true;
        if (::ioctl(fd_, BLKGETSIZE64, &file_size) != 0)
            file_size = 0;
        int logical = 0;
        if (::ioctl(fd_, BLKSSZGET, &logical) == 0 && logical > 0)
            sector_size_ = static_cast<uint32_t>(logical);
        hd_geometry geo {};
        if (::ioctl(fd_, HDIO_GETGEO, &geo) == 0 && geo.heads && geo.sectors) {
            heads_ = geo.heads;
            sectors_per_track_ = geo.sectors;
        }
    } else if (S_ISREG(st.st_mode)) {
        file_size = static_cast<uint64_t>(st.st_size);
        // Its bytes are the container's, not the disk's: only a byte source
        // (open_byte_source) reads the disk inside.
        if (const image_format_e format = image_format_of(file); format != image_format_e::raw) {
            error_ = "cannot read " + file + " directly: it is a disk image in " + image_format_name(format) + " format";
            close();
            return -1;
        }
    } else {
        error_ = file + " is neither a disk nor a disk image";
        close();
        return -1;
    }

    base_ = 0;
    size_ = file_size;
    if (partition > 0) {
        bool found = false;
        for (const auto& p : read_partitions(file)) {
            if (p.number == partition) {
                base_ = p.start_bytes;
                size_ = p.size_bytes;
                found = true;
                break;
            }
        }
        if (!found) {
            error_ = "there is no partition " + std::to_string(partition) + " on " + file;
            close();
            return -1;
        }
    }
    // Never let a window reach past the end of what is there.
    if (base_ > file_size)
        base_ = file_size;
    if (size_ > file_size - base_)
        size_ = file_size - base_;

    if (block_device_ && mode != open_mode::read) {
        direct_fd_ = ::open(file.c_str(), flags | O_DIRECT);  // refused on some devices: stay buffered
    }
    refusal_ = open_refusal_e::none;
    return 0;
}

void raw_device_c::close()
{
    if (direct_fd_ >= 0)
        ::close(direct_fd_);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = direct_fd_ = -1;
    base_ = size_ = 0;
    sector_size_ = 512;
    heads_ = 255;
    sectors_per_track_ = 63;
    block_device_ = writable_ = false;
}

int64_t raw_device_c::read_at(uint64_t offset, void* buffer, size_t length) const
{
    if (fd_ < 0)
        return -1;
    if (offset >= size_ || length == 0)
        return 0;
    if (length > size_ - offset)
        length = static_cast<size_t>(size_ - offset);
    if (direct_fd_ >= 0) {
        const int64_t got = read_direct(offset, buffer, length);
        // Only a refusal of the unbuffered read itself is read again
        // buffered: a failing sector is not asked for twice.
        if (got >= 0 || errno != EINVAL)
            return got;
    }
    return pread_full(fd_, buffer, length, base_ + offset);
}

void raw_device_c::advise_sequential() const
{
    if (fd_ >= 0)
        ::posix_fadvise(fd_, static_cast<off_t>(base_), static_cast<off_t>(size_), POSIX_FADV_SEQUENTIAL);
}

// Reads through an aligned bounce buffer so callers need not align anything;
// a caller whose buffer, offset and length are aligned already is read into
// directly, which spares a copy on every large sequential read.
// Returns bytes read, or -1 when the device refused the unbuffered read.
int64_t raw_device_c::read_direct(uint64_t offset, void* buffer, size_t length) const
{
    const uint64_t align = sector_size_ < 512 ? 512 : sector_size_;
    const uint64_t memory_align = align < 4096 ? 4096 : align;
    if (reinterpret_cast<uintptr_t>(buffer) % memory_align == 0 && (base_ + offset) % align == 0 &&
        length % align == 0)
        return pread_full(direct_fd_, buffer, length, base_ + offset);
    void* bounce = nullptr;
    if (posix_memalign(&bounce, 4096, direct_chunk + 2 * align) != 0)
        return -1;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    int64_t result = 0;
    while (done < length) {
        const uint64_t absolute = base_ + offset + done;
        const uint64_t start = absolute - absolute % align;
        const uint64_t lead = absolute - start;
        size_t want = length - done;
        if (want > direct_chunk)
            want = direct_chunk;
        uint64_t span = lead + want;
        span = (span + align - 1) / align * align;
        const int64_t got = pread_full(direct_fd_, bounce, static_cast<size_t>(span), start);
        // A failure part way is a failure: a short count would read as the
        // end of the disk.
        if (got < 0) {
            result = -1;
            break;
        }
        if (static_cast<uint64_t>(got) <= lead)
            break;
        size_t usable = static_cast<size_t>(static_cast<uint64_t>(got) - lead);
        if (usable > want)
            usable = want;
        std::memcpy(out + done, static_cast<uint8_t*>(bounce) + lead, usable);
        done += usable;
        result = static_cast<int64_t>(done);
        if (usable < want)
            break;
    }
    const int error = errno;
    std::free(bounce);
    errno = error;
    return result;
}

int64_t raw_device_c::write_at(uint64_t offset, const void* buffer, size_t length)
{
    if (fd_ < 0 || !writable_) {
        error_ = "the device is not open for writing";
        return -1;
    }
    if (offset > size_ || length > size_ - offset) {
        error_ = "write past the end of the device";
        return -1;
    }
    size_t done = 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (done < length) {
        const ssize_t n = ::pwrite(fd_, in + done, length - done, static_cast<off_t>(base_ + offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = std::string("write failed: ") + std::strerror(errno);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

reread_result raw_device_c::reread_partition_table()
{
    if (fd_ < 0 || !block_device_)
        return reread_result::not_supported;
    ::sync();
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::ioctl(fd_, BLKRRPART) == 0)
            return reread_result::done;
        if (errno == EINVAL || errno == ENOTTY)
            return reread_result::not_supported;
        if (errno != EBUSY) {
            error_ = std::string("re-reading the partition table failed: ") + std::strerror(errno);
            return reread_result::failed;
        }
        ::usleep(200000);  // udev may still be probing the disk after our write
    }
    return reread_result::busy;
}

int raw_device_c::sync()
{
    if (fd_ < 0)
        return -1;
    if (::fsync(fd_) != 0)
        return -1;
    if (block_device_)
        ::ioctl(fd_, BLKFLSBUF, 0);
    return 0;
}

disk_geometry_s raw_device_c::geometry() const
{
    disk_geometry_s g;
    g.bytes_per_sector = sector_size_;
    g.tracks_per_cylinder = heads_;
    g.sectors_per_track = sectors_per_track_;
    g.media_type = block_device_ ? 12 : 11;  // fixed media, else removable
    const uint64_t per_cylinder = uint64_t(heads_) * sectors_per_track_ * sector_size_;
    g.cylinders = per_cylinder ? static_cast<int64_t>(size_ / per_cylinder) : 0;
    return g;
}

bool media_present(const std::string& device_path)
{
    std::string file = device_path;
    std::string image;
    if (split_image_volume_path(device_path, &image, nullptr))
        file = image;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return false;
    if (!S_ISBLK(st.st_mode))
        return S_ISREG(st.st_mode);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    uint64_t size = 0;
    const bool ok = ::ioctl(fd, BLKGETSIZE64, &size) == 0 && size > 0;
    ::close(fd);
    return ok;
}

bool can_read_device(const std::string& device_path)
{
    raw_device_c dev;
    return dev.open(device_path) == 0;
}

disk_geometry_s disk_geometry_of(const std::string& device_path, const byte_source_c& source)
{
    raw_device_c dev;
    if (dev.open(device_path) == 0)
        return dev.geometry();
    disk_geometry_s classic;
    classic.bytes_per_sector = source.sector_size();
    classic.media_type = 11;
    classic.cylinders = int64_t(source.size() / (uint64_t(classic.tracks_per_cylinder) * classic.sectors_per_track *
                                                 classic.bytes_per_sector));
    return classic;
}

}  // namespace platform
