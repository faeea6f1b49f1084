// The map of an image saved from a failing disk, in GNU ddrescue's mapfile
// format, so that either tool continues the other's run: comment lines, one
// line with the current position, phase and pass, then "pos size status"
// lines that cover the disk from its first byte without overlapping.
//
// Statuses: '?' not tried yet, '*' failed in a large read (its edges not yet
// read sector by sector), '/' the inside of such an area (not yet read
// sector by sector), '-' a sector that failed on its own, '+' rescued.
#pragma once

#include "platform/unreadable_map.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr char rescue_untried = '?';
inline constexpr char rescue_untrimmed = '*';
inline constexpr char rescue_unscraped = '/';
inline constexpr char rescue_bad = '-';
inline constexpr char rescue_done = '+';

struct rescue_block_s {
    uint64_t pos = 0;
    uint64_t size = 0;
    char status = rescue_untried;

    uint64_t end() const { return pos + size; }
};

class rescue_map_c {
public:
    // The whole of size bytes not tried yet.
    explicit rescue_map_c(uint64_t size = 0);

    uint64_t size() const { return size_; }
    // Marks [pos, pos + length), clipped to the map; neighbours with the same
    // status are merged.
    void set(uint64_t pos, uint64_t length, char status);
    char status_at(uint64_t pos) const;
    // The first block with status that ends after from, clipped to start at
    // from; false when there is none.
    bool next(char status, uint64_t from, rescue_block_s* out) const;
    // The last block with status that starts before to, clipped to end at to.
    bool previous(char status, uint64_t to, rescue_block_s* out) const;
    uint64_t bytes_with(char status) const;
    std::vector<rescue_block_s> blocks() const;

    // The line ddrescue keeps before the blocks: where the run was, in which
    // phase ('?' copying, '*' trimming, '/' scraping, '-' retrying, '+'
    // finished, 'F' and 'G' ddrescue's own) and pass.
    uint64_t current_pos = 0;
    char current_phase = rescue_untried;
    int current_pass = 1;

    // The mapfile's text; comment is put first, each of its lines after "# ".
    std::string to_text(const std::string& comment) const;

private:
    uint64_t size_ = 0;
    // By position; always covers [0, size_) without gaps.
    std::map<uint64_t, std::pair<uint64_t, char>> blocks_;
    uint64_t counts_[5] = {};
    void split_at(uint64_t pos);
    void merge_around(std::map<uint64_t, std::pair<uint64_t, char>>::iterator it);
    void count(char status, int64_t delta);
};

// Reads a mapfile's text. Everything in it is treated as hostile: lines,
// numbers and block counts are bounded, and a block that overlaps the one
// before is refused. A gap between blocks is taken as not tried. Returns an
// empty string, or one line saying what is wrong (with its line number).
std::string parse_rescue_map(std::string_view text, rescue_map_c* out);
// The same from a file (at most 64 MiB).
std::string read_rescue_map(const std::string& path, rescue_map_c* out);
// Writes the map beside path under a temporary name, flushes it and renames
// it over path, so a crash leaves the old map or the new one, whole.
std::string write_rescue_map(const std::string& path, const rescue_map_c& map, const std::string& comment);

// Whether a map parsed from map_path fits an image file of image_size bytes:
// it must cover it all, and an image cut short (ddrescue leaves the tail it
// could not read out) may miss only bytes the map does not mark rescued.
std::string rescue_map_misfit(const rescue_map_c& map, uint64_t image_size, const std::string& map_path,
                              const std::string& image_path);

// The map to read with image_file: the one chosen for it (quarvel-cli
// --map), else "<image_file>.map" when there is one, else empty.
void choose_rescue_map(const std::string& image_file, const std::string& map_path);
std::string rescue_map_for(const std::string& image_file);

// Marks every byte of [window_start, window_start + window_size) that the
// map of image_file does not mark rescued as never read in unreadable,
// shifted to the window's coordinates. Does nothing without a map; returns
// a one-line reason when the map cannot be read or does not fit the image.
std::string lay_rescue_map(const std::string& image_file, uint64_t window_start, uint64_t window_size,
                           unreadable_map_c* unreadable);

// Takes map_path as image_file's map (none given: the one beside it, if
// any) and reads it against the whole image now, so a map that cannot
// serve is refused when it is chosen rather than when a scan starts. An
// empty answer means the image may be read with the map (or without one).
std::string adopt_rescue_map(const std::string& image_file, const std::string& map_path);

}  // namespace platform
