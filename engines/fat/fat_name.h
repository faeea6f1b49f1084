// Names on a FAT volume: the OEM code page 936 (through iconv, both ways),
// 8.3 short names and their checksum, and case folding for long names.
#pragma once

#include <cstdint>

// Unicode of an OEM code (a single byte, or lead byte << 8 | trail byte).
// Returns 0 when the code page has no character for it.
char16_t oem_to_unicode(uint16_t code);

// OEM code of a Unicode character (single byte, or lead << 8 | trail).
// Returns 0 when the code page cannot express it.
uint16_t unicode_to_oem(char16_t unit);

// Converts the 11 name bytes and the case flags (entry byte 12) of a
// directory entry to "NAME.EXT" in out, NUL-terminated (at most 12 units).
// A byte pair that forms one double-byte code becomes one character; a code
// the table lacks becomes "?". A first byte 0xE5 (the deletion mark) pairs
// only with a second byte of 0x80 or above.
void fat_short_name_to_utf16(const uint8_t name[11], uint8_t case_flags, char16_t out[13]);

// The long-name checksum of 11 short-name bytes.
uint8_t fat_short_name_checksum(const uint8_t name[11]);

// Upper case of a character, for comparing long names without regard to case.
char16_t fat_upper(char16_t unit);

// Whether a byte may stand first in a short name on disk.
bool fat_valid_short_name_byte(uint8_t byte);
