// The superblocks of the file systems we have no reader for, as far as the
// partition search needs them: a magic that says which one it is, and the
// size field that says how long the volume is. Which file system a volume
// really holds (and its label) is libblkid's word; these only keep it from
// being asked at every candidate and give the length it does not.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ondisk {

enum class other_fs { none, ext, xfs, btrfs, hfsplus, swap };

struct other_fs_s {
    other_fs kind = other_fs::none;
    uint64_t bytes = 0;  // the volume's length; 0 when the size field is unusable
};

// Bytes from a volume's start a recognition may look at: Btrfs's superblock
// lies at 64 KiB, a swap header's mark at the end of a page of up to 64 KiB.
inline constexpr size_t other_fs_head_bytes = 0x10000 + 0x1000;

// Which of ext2/3/4, XFS, Btrfs, HFS+ and Linux swap the bytes at a
// volume's start (available of them, other_fs_head_bytes for all the tests)
// carry, with the length their size field states.
other_fs_s recognise_other_fs(const uint8_t* head, size_t available);

}  // namespace ondisk
