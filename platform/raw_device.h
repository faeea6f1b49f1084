// Raw, read-mostly access to a drive or a volume by its device path.
//
// Accepted paths: a block device ("/dev/sdb", "/dev/sdb1"), an image file
// ("/home/ana/card.img"), and an image partition ("/home/ana/card.img:p2",
// ":p0" being the whole image). Every form becomes a byte window onto the
// underlying file; reads never leave the window.
#pragma once

#include "platform/byte_source.h"
#include "platform/device_access.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// The drive geometry the rest of the program expects, with the fields of the
// classic disk geometry record.
struct disk_geometry_s {
    int64_t cylinders = 0;
    uint32_t media_type = 12;  // fixed media
    uint32_t tracks_per_cylinder = 255;
    uint32_t sectors_per_track = 63;
    uint32_t bytes_per_sector = 512;
};

// read_write_exclusive: read_write_unbuffered, and a block device is claimed
// with O_EXCL, so the open fails while the kernel or another program holds it
// (a mounted partition of it, for one).
enum class open_mode { read, read_unbuffered, read_write_unbuffered, read_write_exclusive };

enum class reread_result { done, busy, not_supported, failed };

class raw_device_c final : public byte_source_c {
public:
    raw_device_c() = default;
    ~raw_device_c() override;
    raw_device_c(const raw_device_c&) = delete;
    raw_device_c& operator=(const raw_device_c&) = delete;
    raw_device_c(raw_device_c&& other) noexcept;
    raw_device_c& operator=(raw_device_c&& other) noexcept;

    // Returns 0, or -1 with a one-line reason available from error(). With
    // device_access::ask a block device this process is refused is opened
    // through udisks2 or the pkexec helper, which may ask for a password.
    int open(const std::string& path, open_mode mode = open_mode::read,
             device_access access = device_access::own_rights);
    void close();
    bool is_open() const { return fd_ >= 0; }

    // Reads up to length bytes at offset (relative to the window). Returns the
    // byte count read (short only at the end of the window), or -1 on error.
    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override;

    // Tells the kernel the window will be read from start to end, so its
    // read-ahead runs further. A hint only: nothing fails without it.
    void advise_sequential() const override;

    // Only with read_write_unbuffered. Returns bytes written or -1.
    int64_t write_at(uint64_t offset, const void* buffer, size_t length);

    // Flushes written data to the device. Returns 0 or -1.
    int sync();

    // Asks the kernel to read a block device's partition table again
    // (BLKRRPART). busy: a partition is in use, the old table stays in force
    // until the disk is replugged; not_supported: an image file, or a device
    // the kernel keeps no partitions for.
    reread_result reread_partition_table();

    uint64_t size() const override { return size_; }        // bytes in the window
    uint32_t sector_size() const override { return sector_size_; }  // logical sector size
    bool is_block_device() const { return block_device_; }
    const std::string& path() const { return path_; }
    const std::string& name() const override { return path_; }
    const std::string& error() const { return error_; }
    // Why the last open failed, by kind (none after a success).
    open_refusal_e refusal() const { return refusal_; }

    // Geometry of the device; cylinders computed from the size.
    disk_geometry_s geometry() const;

private:
    int64_t read_direct(uint64_t offset, void* buffer, size_t length) const;

    int fd_ = -1;
    int direct_fd_ = -1;  // O_DIRECT descriptor when the device takes it
    uint64_t base_ = 0;
    uint64_t size_ = 0;
    uint32_t sector_size_ = 512;
    uint32_t heads_ = 255;
    uint32_t sectors_per_track_ = 63;
    bool block_device_ = false;
    bool writable_ = false;
    std::string path_;
    std::string error_;
    open_refusal_e refusal_ = open_refusal_e::none;
};

// Splits "<image>:pN" into the image path and N. Returns false for any other
// form (a plain path, or a suffix that is not ":p" followed by digits).
bool split_image_volume_path(const std::string& path, std::string* image, int* partition);

// Whether the device still answers: a block device still reports a non-zero
// size; an image file still exists.
bool media_present(const std::string& device_path);

// Whether this process may open the device or image for reading: what being
// an administrator means here (root, or a member of the disk group).
bool can_read_device(const std::string& device_path);

// The disk's geometry: a block device's own; for a disk inside a container,
// which has none, the classic one for the source's size and sector size.
disk_geometry_s disk_geometry_of(const std::string& device_path, const byte_source_c& source);

}  // namespace platform
