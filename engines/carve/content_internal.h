// What the content-name readers share: a bounded, cached reader over one
// carved file and the text conversions the formats need.
#pragma once

#include "engines/carve/content_name.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace carve::content {

// Reads the file through a few small windows, spending at most the name
// budget on the device. A read that would exceed the budget, or reach past
// the file, fails.
class reader_c {
public:
    reader_c(const content_read_fn& read, uint64_t size) : read_(read), size_(size) {}

    uint64_t size() const { return size_; }
    // Copies length bytes at offset; false when they cannot all be had.
    bool read(uint64_t offset, void* out, size_t length);
    // Up to length bytes at offset (fewer at the end or past the budget).
    std::string bytes(uint64_t offset, size_t length);

private:
    static constexpr size_t window_size = 16 * 1024;
    // The windows live inside the reader (on the caller's stack): a scan
    // names thousands of files, and fresh heap for each costs more than the
    // reading.
    struct window_s {
        uint64_t offset = UINT64_MAX;
        size_t length = 0;
        uint8_t data[window_size];
    };
    bool load(uint64_t offset, window_s* w);

    const content_read_fn& read_;
    uint64_t size_;
    size_t spent_ = 0;
    std::array<window_s, 4> windows_;
    size_t next_ = 0;
};

// Text in these encodings as UTF-8.
std::string latin1_to_utf8(const std::string& s);
std::string utf16_to_utf8(const std::string& s, bool big_endian);
void append_utf8(std::string* out, uint32_t code_point);
// Leading and trailing blanks (and NULs) removed.
std::string trim(const std::string& s);

// The readers, one per family.
content_name_s exif_name_jpeg(reader_c& r);
content_name_s exif_name_tiff(reader_c& r);
content_name_s exif_name_heic(reader_c& r);
content_name_s pdf_name(reader_c& r);
content_name_s zip_name(reader_c& r);
content_name_s id3_name(reader_c& r);

content_name_s video_name_isobmff(reader_c& r);
content_name_s video_name_matroska(reader_c& r);
// packet: 188 (ts) or 192 (AVCHD m2ts, lead 4: the arrival time first).
content_name_s video_name_mpegts(reader_c& r, size_t packet, size_t lead);
content_name_s mail_name(reader_c& r);
content_name_s rtf_name(reader_c& r);
content_name_s psd_name(reader_c& r);

// The camera as people call it, from Exif-style make and model.
std::string camera_name(const std::string& make, const std::string& model);
// A time as the name's leading "YYYY-MM-DD HH.MM.SS", in local time.
std::string local_stamp(int64_t unix_seconds);

// The text of the first <dc:title> element in xml, entities decoded.
std::string xml_title(const std::string& xml);

}  // namespace carve::content
