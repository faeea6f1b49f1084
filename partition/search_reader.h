// Serves the partition search its 128 KiB blocks out of large, aligned,
// sequential reads.
//
// The search steps 255 sectors at a time, so its blocks overlap by a sector
// and sit at offsets no device likes; reading each one on its own costs a
// system call per block and, on an unbuffered block device, a small request
// that leaves the drive idle until the next one comes. Here the disk is read
// in chunks at aligned offsets and each block is a view into the chunk that
// holds it. A disk image goes through the page cache with the kernel's
// read-ahead, where chunks that fit the CPU's cache copy fastest; a block
// device is read unbuffered, where only large requests (which the kernel
// splits and sends together) keep the drive streaming.
//
// The source salvages what it can of a failed read (see byte_source.h), so
// a bad sector costs only itself. Where a chunk read fails outright or
// comes back short, the block is read alone, exactly as the search would
// read it, so the disk's end or a disk gone ends the search at that block.
#pragma once

#include "platform/byte_source.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace partition {

class search_reader_c {
public:
    static constexpr size_t image_read_bytes = size_t{1} << 20;   // 1 MiB
    static constexpr size_t device_read_bytes = size_t{1} << 24;  // 16 MiB
    static constexpr size_t align_bytes = 4096;

    // block_bytes: the size of every block asked for, at most a chunk.
    // block_device: the source is a block device read unbuffered.
    search_reader_c(const platform::byte_source_c& device, size_t block_bytes, bool block_device);
    ~search_reader_c();
    search_reader_c(const search_reader_c&) = delete;
    search_reader_c& operator=(const search_reader_c&) = delete;

    // Whether the buffer could be had.
    bool ready() const { return buffer_ != nullptr; }

    // The block at byte offset of the device. *got is what a plain read of
    // the block would have returned: block_bytes, fewer at the device's end,
    // or -1 on a read error. The pointer stays valid until the next call.
    const uint8_t* block_at(uint64_t offset, int64_t* got);

    // The length bytes at offset when the last read holds them all (they
    // stay valid until the next block_at), else null.
    const uint8_t* view(uint64_t offset, size_t length) const
    {
        if (offset < start_ || offset - start_ > filled_ || filled_ - (offset - start_) < length)
            return nullptr;
        return buffer_.get() + (offset - start_);
    }

private:
    struct free_deleter {
        void operator()(uint8_t* p) const;
    };

    const platform::byte_source_c& device_;
    size_t read_bytes_;   // one chunk
    size_t block_bytes_;
    std::unique_ptr<uint8_t, free_deleter> buffer_;
    uint64_t start_ = 0;   // device offset of buffer_[0]
    uint64_t filled_ = 0;  // bytes of buffer_ that hold the device's data
    // Chunk reads are not tried again below this offset after one failed:
    // on a failing drive every attempt may take seconds.
    uint64_t single_until_ = 0;
};

}  // namespace partition
