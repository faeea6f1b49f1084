// What every reader reads through: a disk, a volume, a disk image or a window
// inside one. A reader is opened on a source plus an offset, never on a path;
// only platform/ (and the partition writer) opens a device by its path, so a
// new kind of image or a descriptor handed over by another process is added
// in one place.
#pragma once

#include "platform/device_access.h"
#include "platform/unreadable_map.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

    // What a read could not get from the medium and handed back as zeros, in
    // this source's own byte offsets, sorted. A source that salvages reads
    // (every one open_byte_source gives) keeps a map of them; the others have
    // none and never fail partly. Ask after the read: the map grows as reads
    // meet damage.
    virtual std::vector<unreadable_range_s> unreadable_in(uint64_t offset, uint64_t length) const;
    bool any_unreadable_in(uint64_t offset, uint64_t length) const { return !unreadable_in(offset, length).empty(); }
    std::vector<unreadable_range_s> unreadable_all() const { return unreadable_in(0, size()); }
    virtual std::vector<slow_range_s> slow_all() const { return {}; }
    // Grows whenever the map does; 0 for a source without one. Compare it
    // before and after a run of reads to learn whether they met damage.
    virtual uint64_t unreadable_generation() const { return 0; }
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
    std::vector<unreadable_range_s> unreadable_in(uint64_t offset, uint64_t length) const override;
    std::vector<slow_range_s> slow_all() const override;
    uint64_t unreadable_generation() const override { return under_->unreadable_generation(); }

    uint64_t offset() const { return offset_; }

private:
    byte_source_ptr under_;
    uint64_t offset_ = 0;
    uint64_t size_ = 0;
    std::string name_;
};

// How a salvaging source treats a failed read.
struct salvage_options_s {
    // Further tries of a sector that failed, within one run (rescue tools'
    // default is none: each try may cost the disk what is left of it).
    int retries = 0;
    // Consecutive unreadable sectors before the reader skips ahead; the
    // step starts at skip_sectors and doubles while the area stays bad, and
    // the far edge of each skip is then read back sector by sector.
    int errors_before_skip = 2;
    uint32_t skip_sectors = 8;
    uint32_t max_skip_sectors = 2048;
    // A read that takes this long marks its range as slow.
    uint32_t slow_read_ms = 500;
};

// Reads through another source and keeps going past a failed read: the read
// is split into sectors, the readable ones are returned, the unreadable ones
// come back as zeros and are marked in the map (and not read again). read_at
// fails only where the source under it is gone.
class salvage_source_c final : public byte_source_c {
public:
    salvage_source_c(byte_source_ptr under, salvage_options_s options = default_options(),
                     std::shared_ptr<unreadable_map_c> map = nullptr);

    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override;
    uint64_t size() const override { return under_->size(); }
    uint32_t sector_size() const override { return under_->sector_size(); }
    const std::string& name() const override { return under_->name(); }
    void advise_sequential() const override { under_->advise_sequential(); }
    std::vector<unreadable_range_s> unreadable_in(uint64_t offset, uint64_t length) const override;
    std::vector<slow_range_s> slow_all() const override { return map_->slow(); }
    uint64_t unreadable_generation() const override { return map_->generation(); }

    // Shared so that an imaging map can be laid in before the first read.
    const std::shared_ptr<unreadable_map_c>& map() const { return map_; }
    const byte_source_ptr& under() const { return under_; }

    // What every source open_byte_source makes starts with; the CLI's
    // --retries and the settings change it before anything is opened.
    static salvage_options_s default_options();
    static void set_default_options(const salvage_options_s& options);

private:
    int64_t salvage(uint64_t offset, uint8_t* buffer, size_t length) const;
    bool read_sector(uint64_t offset, uint8_t* buffer, size_t length, int* error) const;

    byte_source_ptr under_;
    salvage_options_s options_;
    std::shared_ptr<unreadable_map_c> map_;
    // One bad area at a time: two readers meeting it together (the deep
    // scan's workers) would each ask the medium for its sectors.
    mutable std::mutex salvage_mutex_;
};

// The text of an errno for a message ("Input/output error").
std::string read_error_text(int error);

// Opens a path read-only: a block device, a raw image, "<image>:pN" (N = 0
// for the whole image), behind a salvage_source_c so that a bad sector costs
// only itself. Returns nullptr with a one-line reason in *error.
// With device_access::ask a block device this process is refused is asked
// for (see device_access.h): only for what the person chose to read.
// *refusal, when given, receives why it could not be opened, by kind.
byte_source_ptr open_byte_source(const std::string& path, std::string* error,
                                 device_access access = device_access::own_rights,
                                 open_refusal_e* refusal = nullptr);

}  // namespace platform
