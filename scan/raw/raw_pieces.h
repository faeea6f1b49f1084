// Files the deep scan found in pieces (a JPEG whose second part lies a few
// clusters on), or only in part, and how a scan result file keeps them.
//
// Such a file has its plain 32-byte record like any other: its first byte
// and its whole length. Its pieces follow all plain records in the file, one
// 32-byte piece record each:
//
//   bytes 0-7    -1 - the index of the file's record (negative: no plain
//                record has a negative index)
//   bytes 8-15   the piece's offset on the device
//   bytes 16-23  its length
//   bytes 24-27  0x00 'P' 'C' flags (bit 0: the file is partial)
//   bytes 28-31  the piece's number, 0 for the first
//
// A file without piece records loads as before, and every older scan file
// has none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

struct raw_item_s;

struct raw_extent_s {
    int64_t offset = 0;
    int64_t size = 0;
};

struct raw_pieces_s {
    std::vector<raw_extent_s> extents;  // in file order
    bool partial = false;               // only the first part was found
};

// By record index, in index order.
using raw_pieces_t = std::map<int64_t, raw_pieces_s>;

// The row flag of a deep-scan file that is only a part of the file it was.
constexpr int32_t raw_row_partial = 0x1;

// The most pieces one file may have in a scan file.
constexpr size_t raw_max_pieces = 64;

// Whether extents describe a file the scanner can keep: at least one piece,
// every piece non-empty and within int64, the total within int64.
bool raw_pieces_sound(const raw_extent_s* extents, size_t count);

// Whether the 32 bytes at p are a piece record rather than a plain one.
bool raw_is_piece_record(const uint8_t* p);

// Appends the piece records of every file in pieces.
void raw_put_piece_records(const raw_pieces_t& pieces, std::vector<uint8_t>* out);

// Reads count piece records at p, which follow the plain records. Each must
// name a record, number its pieces 0, 1, ... in order, agree with the record
// on the first offset and on the total length, and lie within device_size
// when it is known (non-zero); files follow one another in index order.
// Returns false when any does not.
bool raw_read_piece_records(const uint8_t* p, size_t count, const std::vector<raw_item_s>& records,
                            uint64_t device_size, raw_pieces_t* out);
