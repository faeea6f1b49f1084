// The scan result file (*.sav): a 256-byte header holding the scanned
// device's path (UTF-8, NUL-terminated, zero-padded), then one 32-byte record
// per carved file (index, offset and size as little-endian int64, the type
// name in 8 NUL-padded bytes). No magic number: a file is recognised by its
// shape, and since anyone can hand one to the program, every byte of it is
// checked against the device it names before anything is kept.
#pragma once

#include "scan/raw/raw_pieces.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One carved file, exactly as it is stored in a scan result file.
struct raw_item_s {
    int64_t index = 0;   // position in the record array when it was added
    int64_t offset = 0;  // first byte on the device
    int64_t size = 0;    // length in bytes
    char type[8] = {};   // type name, NUL-padded; 8 bytes have no terminator
};
static_assert(sizeof(raw_item_s) == 32, "a record is 32 bytes in the scan result file");

inline constexpr size_t scan_file_header_bytes = 256;
inline constexpr size_t scan_file_record_bytes = 32;
// The shortest file the carving engine reports: no signature it matches is
// shorter, and a file cut by the device's end keeps its whole signature.
inline constexpr uint64_t scan_file_smallest_carved_bytes = 2;

// Answers whether device_path names a volume the program offers now (exactly,
// character for character), and if so its size in bytes.
using scan_file_volume_fn = std::function<bool(const std::string& device_path, uint64_t* size_bytes)>;

struct scan_file_contents_s {
    std::string device_path;
    std::vector<raw_item_s> records;
    raw_pieces_t pieces;  // files in pieces, from the piece records (raw_pieces.h)
};

// Reads a scan result file. Returns an empty string and fills *contents, or
// returns a one-line reason and leaves *contents alone. Refused: anything but
// a regular file (a FIFO or a device is refused without waiting on it), a
// file of the wrong shape, a device path that names no offered volume, more
// records than the volume can hold files of the shortest carved size, and any
// record of size 0, whose index names no record or does not follow the one
// before it, or whose bytes lie outside the volume; records whose sizes add
// up to more than the volume, or whose bytes (their pieces where they have
// them) overlap; piece records that are not all after the plain ones or do
// not agree with them.
std::string read_scan_file(const std::string& path, const scan_file_volume_fn& volume_size,
                           scan_file_contents_s* contents);

// Writes the file to an already opened descriptor. Returns an empty string,
// or a one-line reason.
std::string write_scan_file(int fd, const std::string& device_path, const std::vector<raw_item_s>& records,
                            const raw_pieces_t& pieces = {});

// The volume check against the platform's current volume list: volumes of
// drives already in the drive table only, so a scan file cannot make the
// program open a file it names.
bool offered_volume_size(const std::string& device_path, uint64_t* size_bytes);
