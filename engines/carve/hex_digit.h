// One hexadecimal digit's value, for the configuration's escapes and the
// hexadecimal text inside carved files.
#pragma once

namespace carve {

// 0-15, or -1 for anything but 0-9, a-f and A-F (in every locale).
inline constexpr int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace carve
