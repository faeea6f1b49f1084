#include "ondisk/fs_superblocks.h"

#include "ondisk/byte_order.h"

#include <cstring>

namespace ondisk {

using platform::be32;
using platform::be64;
using platform::le16;
using platform::le32;
using platform::le64;

namespace {
namespace ext {
constexpr size_t at = 1024;
constexpr size_t blocks_lo = 4, log_block_size = 24, magic = 56, incompat = 96, blocks_hi = 0x150;
constexpr uint16_t magic_value = 0xEF53;
constexpr uint32_t incompat_64bit = 0x80;
}  // namespace ext
namespace xfs {
constexpr size_t block_size = 4, data_blocks = 8;
}
namespace btrfs {
constexpr size_t at = 0x10000;
constexpr size_t self = 0x30;  // u64, where this copy lies: at = the primary, others are mirrors
constexpr size_t magic = 0x40, device_bytes = 0xC9 + 0x08;  // the device item's total_bytes
}  // namespace btrfs
namespace hfsplus {
constexpr size_t at = 1024;
constexpr size_t block_size = 0x28, total_blocks = 0x2C;
}  // namespace hfsplus
namespace swap {
constexpr size_t last_page = 1024 + 4;
}

// n * unit, or 0 where it would not fit 64 bits.
uint64_t times(uint64_t n, uint64_t unit) { return unit != 0 && n > UINT64_MAX / unit ? 0 : n * unit; }

bool power_of_two_in(uint64_t v, uint64_t low, uint64_t high) { return v >= low && v <= high && (v & (v - 1)) == 0; }
}  // namespace

other_fs_s recognise_other_fs(const uint8_t* h, size_t available)
{
    other_fs_s out;
    if (available >= ext::at + 1024 && le16(h + ext::at + ext::magic) == ext::magic_value) {
        const uint8_t* sb = h + ext::at;
        const uint32_t log = le32(sb + ext::log_block_size);
        uint64_t blocks = le32(sb + ext::blocks_lo);
        if (le32(sb + ext::incompat) & ext::incompat_64bit)
            blocks |= uint64_t{le32(sb + ext::blocks_hi)} << 32;
        out.kind = other_fs::ext;
        out.bytes = log <= 6 ? times(blocks, uint64_t{1024} << log) : 0;
        return out;
    }
    if (available >= 16 && std::memcmp(h, "XFSB", 4) == 0) {
        const uint32_t block = be32(h + xfs::block_size);
        out.kind = other_fs::xfs;
        out.bytes = power_of_two_in(block, 512, 65536) ? times(be64(h + xfs::data_blocks), block) : 0;
        return out;
    }
    if (available >= hfsplus::at + 0x30 && (std::memcmp(h + hfsplus::at, "H+", 2) == 0 ||
                                            std::memcmp(h + hfsplus::at, "HX", 2) == 0)) {
        const uint32_t block = be32(h + hfsplus::at + hfsplus::block_size);
        out.kind = other_fs::hfsplus;
        out.bytes = power_of_two_in(block, 512, 1 << 20) ? times(be32(h + hfsplus::at + hfsplus::total_blocks), block) : 0;
        return out;
    }
    for (size_t page = 4096; page <= 65536; page *= 2) {
        if (available < page)
            break;
        if (std::memcmp(h + page - 10, "SWAPSPACE2", 10) == 0 || std::memcmp(h + page - 10, "SWAP-SPACE", 10) == 0) {
            out.kind = other_fs::swap;
            out.bytes = times(uint64_t{le32(h + swap::last_page)} + 1, page);
            return out;
        }
    }
    // A mirror copy (64 MiB and 256 GiB into the volume) is no volume's start.
    if (available >= btrfs::at + 0x100 && std::memcmp(h + btrfs::at + btrfs::magic, "_BHRfS_M", 8) == 0 &&
        le64(h + btrfs::at + btrfs::self) == btrfs::at) {
        out.kind = other_fs::btrfs;
        out.bytes = le64(h + btrfs::at + btrfs::device_bytes);
        return out;
    }
    return out;
}

}  // namespace ondisk
