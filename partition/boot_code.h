// The master boot code the repair writes over bytes 0-439 of sector 0.
// Source: partition/boot/mbr.asm (regenerate the table with
// partition/boot/update_table.sh).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace partition {

inline constexpr size_t boot_code_size = 440;

// The assembled boot code.
extern const std::array<uint8_t, boot_code_size> master_boot_code;

// Sector offsets of the three locator bytes; each holds its message's offset
// in the sector less 256.
inline constexpr size_t locator_invalid_table = 437;
inline constexpr size_t locator_load_error = 438;
inline constexpr size_t locator_missing_os = 439;

}  // namespace partition
