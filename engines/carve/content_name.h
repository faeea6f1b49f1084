// Names for carved files from what they say about themselves: a photo's
// date and camera, a document's title, a song's artist and title. Every byte
// comes from the disk, so every length and offset is checked, and no file
// costs more than name_read_budget bytes read. No Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace carve {

// The most a file's name may read of it.
inline constexpr size_t name_read_budget = 256 * 1024;

// Reads up to length bytes at offset into the carved file (not the device).
// Returns how many were placed in out; fewer at the file's end or on error.
using content_read_fn = std::function<size_t(uint64_t offset, void* out, size_t length)>;

struct content_name_s {
    std::string name;      // UTF-8 as the file gives it, before cleaning; empty: none
    bool has_time = false;
    int64_t time = 0;      // seconds since 1970, when has_time
};

// What the file of this type (an engine type name: jpg, tif, nef, pdf, docx,
// mp3, ...) and size says about itself. An empty name for types without a
// reader and for files that say nothing usable.
content_name_s content_name(const std::string& type, uint64_t size, const content_read_fn& read);

// A name fit to show and to write: valid UTF-8 (bad bytes dropped), no "/"
// ("_" instead), control characters and runs of blanks as one blank, no
// blank or dot at either end, at most max_bytes bytes without splitting a
// character. Empty when nothing is left, or when only "." or ".." would be.
std::string clean_content_name(const std::string& name, size_t max_bytes);

}  // namespace carve
