// A disk in memory whose chosen sectors fail as a dying medium's do: a read
// that touches one returns -1 with EIO, and every read is counted per sector
// so a test can tell how often the medium was asked.
#pragma once

#include "platform/byte_source.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace test_support {

class failing_source_c final : public platform::byte_source_c {
public:
    failing_source_c(std::vector<uint8_t> bytes, std::set<uint64_t> bad_sectors, uint32_t sector = 512)
        : bytes_(std::move(bytes)), bad_(std::move(bad_sectors)), sector_(sector), reads_(bytes_.size() / sector + 1)
    {
    }

    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        if (offset >= bytes_.size() || length == 0)
            return 0;
        length = std::min<size_t>(length, bytes_.size() - offset);
        for (uint64_t s = offset / sector_; s * sector_ < offset + length; ++s) {
            reads_[s].fetch_add(1);
            if (bad_.count(s)) {
                errno = EIO;
                return -1;
            }
        }
        std::memcpy(buffer, bytes_.data() + offset, length);
        return static_cast<int64_t>(length);
    }
    uint64_t size() const override { return bytes_.size(); }
    uint32_t sector_size() const override { return sector_; }
    const std::string& name() const override { return name_; }

    // How often sector s was part of a read.
    int reads_of(uint64_t s) const { return reads_[s].load(); }
    int most_reads_of_a_bad_sector() const
    {
        int most = 0;
        for (uint64_t s : bad_)
            most = std::max(most, reads_of(s));
        return most;
    }

private:
    std::vector<uint8_t> bytes_;
    std::set<uint64_t> bad_;
    uint32_t sector_;
    mutable std::vector<std::atomic<int>> reads_;
    std::string name_ = "failing";
};

}  // namespace test_support
