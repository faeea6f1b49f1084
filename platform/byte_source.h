// What every reader reads through: a disk, a volume, a disk image or a window
// inside one. A reader is opened on a source plus an offset, never on a path;
// only platform/ (and the partition writer) opens a device by its path, so a
// new kind of image or a descriptor handed over by another process is added
// in one place.
#pragma once

#include "platform/device_access.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class byte_source_c {
public:
    virtual ~byte_source_c() = default;

    // Reads up to length bytes at offset. Returns the byte count read (short
    // only at the end of the source), or -1 on a read error. Safe to call from
    // several threads at once.
    virtual int64_t read_at(uint64_t offset, void* buffer, size_t length) const = 0;

    virtual uint64_t size() const = 0;

    // The logical sector size the medium reports (512 to 4096); readers check
    // their own boot sector's figure against it.
    virtual uint32_t sector_size() const = 0;

    // What to call the source in a message: its path as the person gave it.
    virtual const std::string& name() const = 0;

    // A hint that the source will be read from start to end.
    virtual void advise_sequential() const {}
};

using byte_source_ptr = std::shared_ptr<const byte_source_c>;

// A byte range of another source: a partition inside an image container, a
// volume inside a disk. Reads never leave the range.
class source_window_c final : public byte_source_c {
public:
    // The range is clipped to what the source under it holds.
    source_window_c(byte_source_ptr under, uint64_t offset, uint64_t size, std::string name);

    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override;
    uint64_t size() const override { return size_; }
    uint32_t sector_size() const override { return under_->sector_size(); }
    const std::string& name() const override { return name_; }
    void advise_sequential() const override { under_->advise_sequential(); }

    uint64_t offset() const { return offset_; }

private:
    byte_source_ptr under_;
    uint64_t offset_ = 0;
    uint64_t size_ = 0;
    std::string name_;
};

// Opens a path read-only: a block device, a raw image, "<image>:pN" (N = 0
// for the whole image). Returns nullptr with a one-line reason in *error.
// With device_access::ask a block device this process is refused is asked
// for (see device_access.h): only for what the person chose to read.
byte_source_ptr open_byte_source(const std::string& path, std::string* error,
                                 device_access access = device_access::own_rights);

}  // namespace platform
