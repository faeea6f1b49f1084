// A JPEG decoder that only checks: it walks a file's markers and its
// Huffman-coded data (baseline, extended and progressive, 8-bit) the way a
// viewer would, without producing pixels, and says where the data stops
// making sense. Its state is a value that can be copied where the data
// crosses a cluster boundary and resumed from elsewhere on the device: that
// makes trying thousands of continuations of a broken file cheap.
#pragma once

#include "engines/carve/carve_internal.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace carve::jpeg {

// Coded data is given up on at this many zero bytes in a row, or printable
// ones of many values: an encoder writes neither.
inline constexpr uint32_t longest_coded_run = 1024;

// Bits looked at at once for an AC code and its value together; at most 11,
// so that no value found this way is longer than 10 bits, the most a valid
// coefficient has.
inline constexpr unsigned fast_ac_bits = 11;

// A Huffman table: a 9-bit lookup for the short codes and the canonical
// bounds for the rest.
struct huffman_s {
    std::array<uint16_t, 512> fast{};  // (length << 8) | symbol; 0: longer, or no code
    // An AC code and the value bits after it, when both fit in fast_ac_bits:
    // (run << 8) | (size << 4) | bits in all; 0 when they do not fit.
    std::array<uint16_t, 1u << fast_ac_bits> fast_ac{};
    std::array<int32_t, 18> max_code{};
    std::array<int32_t, 17> offset{};
    std::array<uint8_t, 256> symbols{};
    bool defined = false;
};

// DC tables 0-3 and AC tables 4-7. Shared between copies of a decoder and
// replaced, never changed, when a file defines a table again.
struct tables_s {
    std::array<huffman_s, 8> huffman;
};

struct component_s {
    uint8_t id = 0;
    uint8_t h = 1, v = 1;
    uint32_t blocks_wide = 0, blocks_high = 0;  // the component's own block grid
    uint32_t first_block = 0;                    // where its blocks start in the planes
};

struct frame_s {
    bool progressive = false;
    uint32_t width = 0, height = 0;
    uint8_t count = 0;
    std::array<component_s, 4> components{};
    uint8_t h_max = 1, v_max = 1;
    uint32_t mcus_wide = 0, mcus_high = 0;
    uint32_t blocks = 0;  // over every component's grid
};

// What a progressive file's refinement scans depend on: one bit per
// coefficient that is already non-zero. Every change is logged so a copy of
// the decoder can go back to an earlier point. Baseline files keep the DC
// value of the first component's blocks instead, to judge a seam.
class planes_c {
public:
    void reset(uint32_t blocks, bool progressive, uint32_t dc_blocks);
    // Off: nothing will be undone (a decode that only asks whether the file
    // is whole), so the log is only counted, not written: the counts, and
    // with them the bound on what a file may take, stay as with the log.
    void keep_log(bool keep) { keep_log_ = keep; }
    bool nonzero(uint32_t block, unsigned k) const { return (bits_[block] >> k) & 1u; }
    uint64_t nonzero_bits(uint32_t block) const { return bits_[block]; }
    void set_nonzero(uint32_t block, unsigned k)
    {
        const uint64_t bit = uint64_t(1) << k;
        if (bits_[block] & bit)
            return;
        bits_[block] |= bit;
        ++held_;
        if (keep_log_)
            log(block << 6 | k);
    }
    uint64_t log_size() const { return base_ + held_; }
    size_t log_held() const { return held_; }
    // The bits as they stand, to go back to in one copy from a decode that
    // kept no log.
    struct saved_s {
        std::vector<uint64_t> bits;
        size_t held = 0;
    };
    void save(saved_s* to) const
    {
        to->bits = bits_;
        to->held = held_;
    }
    void restore(const saved_s& from)
    {
        bits_ = from.bits;
        held_ = from.held;
    }
    // Puts back every bit set since the log held size entries.
    void undo_to(uint64_t size);
    // No undo will go back before size: the log may drop what lies before.
    void forget_before(uint64_t size);
    void set_dc(size_t index, int16_t value)
    {
        if (index < dc_.size())
            dc_[index] = value;
    }
    int16_t dc(size_t index) const { return index < dc_.size() ? dc_[index] : 0; }

private:
    // Out of line, so that set_nonzero stays small enough to be inlined.
    void log(uint32_t entry);

    std::vector<uint64_t> bits_;
    std::vector<uint32_t> log_;  // block << 6 | coefficient, for every bit set
    uint64_t base_ = 0;          // log entries dropped from the front
    size_t held_ = 0;            // entries since base_ (log_'s size when kept)
    bool keep_log_ = true;
    std::vector<int16_t> dc_;
};

enum class step {
    running,      // stopped where asked, all well so far
    finished,     // the end-of-image marker after a complete image
    broken,       // the data stopped making sense
    unsupported,  // a kind of JPEG this decoder does not check
};

// Where the decoder is in the coded data: everything that changes from one
// MCU to the next, so it can be saved before each MCU at no cost.
struct cursor_s {
    uint64_t pos = 0;                    // device offset of the next byte to read
    uint64_t splice_at = UINT64_MAX;     // reading reaches here: go on at splice_to
    uint64_t splice_to = 0;
    uint64_t bit_buffer = 0;
    unsigned bit_count = 0;
    bool marker_seen = false;            // the coded data ran into a marker
    uint8_t marker = 0;
    uint64_t mcu = 0;                    // MCUs of the current scan done
    uint32_t restarts_left = 0;
    uint8_t next_restart = 0;
    std::array<int32_t, 4> dc_pred{};
    uint32_t eob_run = 0;
    uint64_t log_size = 0;
    // Printable coded bytes in a row and the values among them; zero bytes
    // in a row.
    uint32_t text_run = 0;
    std::array<uint64_t, 2> text_values{};
    uint32_t zero_run = 0;
};

class decoder_c {
public:
    decoder_c(source_c& src, planes_c& planes, uint64_t start, uint64_t limit, uint64_t cluster);

    // Decodes on until the end of the file, until the data breaks, or (when
    // stop_at is below UINT64_MAX) until the bytes read reach stop_at at an
    // MCU's start. With snapshots, keeps there a copy of the decoder as it
    // was before the MCU in which the bytes read crossed each cluster
    // boundary inside coded data (the newest last, at most keep of them).
    step run(uint64_t stop_at, std::vector<decoder_c>* snapshots = nullptr, size_t keep = 0);

    // Once run has stopped at the start of a sequential scan's coded data
    // (stop_at there), goes on instead at at, the first byte after the
    // scan's restarts-th restart marker: nothing after such a marker depends
    // on the data before it but the runs note_coded counts, which are read
    // again from the bytes just before it. False when that cannot be done;
    // the decoder is then of no further use.
    bool resume_after_restart(uint64_t at, uint64_t restarts);

    // Before run: decodes only the scan whose coded data begins at scan_at
    // and, when ac_of is a component id (not -1), the AC scans of that
    // component, which a progressive file's later ones depend on; every
    // other scan is passed over to its end.
    void decode_only(uint64_t scan_at, int ac_of)
    {
        only_scan_at_ = scan_at;
        only_ac_of_ = ac_of;
    }

    // Whether the next bytes it reads are a scan's coded data, no marker
    // met yet: so is a snapshot taken inside an MCU.
    bool in_coded_data() const { return in_scan_ && !skip_scan_ && !cur_.marker_seen; }
    // The cluster boundary a snapshot stands before.
    uint64_t boundary() const { return boundary_; }
    // From the snapshot's boundary on, reads at offset: the file's next piece.
    void splice(uint64_t offset);
    uint64_t position() const { return cur_.pos; }
    // The first byte past the end-of-image marker once finished.
    uint64_t end() const { return end_; }
    // How far the data read once broken.
    uint64_t broken_at() const { return cur_.pos; }
    uint64_t mcu() const { return cur_.mcu; }
    bool progressive() const { return frame_.progressive; }
    // Where the planes' undo log stood at this point.
    uint64_t log_mark() const { return cur_.log_size; }
    // The mean DC jump between the first component's blocks decoded since
    // the MCU mcu_from (one row of MCUs at most) and the blocks right above
    // them; a negative value when it cannot be told (progressive files, a
    // row not yet decoded since).
    double seam_score(uint64_t mcu_from) const;
    bool seam_row_done(uint64_t mcu_from) const;

private:
    bool fetch(uint8_t* b);
    bool read_raw(uint8_t* out, size_t n);
    bool skip_raw(uint64_t n);
    bool fill_bits();
    bool get_bits(unsigned n, uint32_t* out);
    bool get_bit(uint32_t* out) { return get_bits(1, out); }
    bool skip_bits(unsigned n);
    bool skip_bits_slow(unsigned n);
    bool decode(const huffman_s& table, unsigned* symbol);
    bool decode_slow(const huffman_s& table, unsigned* symbol);

    void keep_if_crossed(const decoder_c& state, const cursor_s& before, std::vector<decoder_c>* snapshots,
                         size_t keep);
    step next_segment();
    step read_frame(uint8_t marker, uint16_t length);
    step read_huffman(uint16_t length);
    step read_scan(uint16_t length);
    step end_of_scan();
    step skip_coded();
    bool restart();
    bool decode_mcu();
    bool decode_baseline(unsigned c, size_t dc_index);
    bool decode_dc(unsigned c);
    bool decode_ac_first(uint32_t block);
    bool decode_ac_refine(uint32_t block);
    bool note_coded(uint8_t byte);
    bool runs_before(uint64_t marker);

    source_c* src_;
    planes_c* planes_;
    uint64_t start_;
    uint64_t limit_;
    uint64_t cluster_;
    uint64_t end_ = 0;
    uint64_t boundary_ = 0;

    // A window into the source; dropped whenever other reads may have moved
    // the source's cache.
    const uint8_t* window_ = nullptr;
    size_t window_left_ = 0;

    cursor_s cur_;
    std::shared_ptr<const tables_s> tables_;
    frame_s frame_;
    bool frame_seen_ = false;
    bool scan_seen_ = false;
    bool in_scan_ = false;
    uint32_t restart_interval_ = 0;
    uint32_t segments_ = 0;

    uint8_t scan_count_ = 0;
    std::array<uint8_t, 4> scan_components_{};
    std::array<uint8_t, 4> dc_table_{}, ac_table_{};
    uint8_t ss_ = 0, se_ = 63, ah_ = 0, al_ = 0;
    uint64_t mcus_total_ = 0;
    uint32_t mcus_per_row_ = 0;
    uint32_t dc_blocks_per_mcu_ = 0;  // first component's blocks per MCU, for the seam
    bool seam_scan_ = false;          // this scan carries the first component's DC
    uint64_t only_scan_at_ = UINT64_MAX;
    int only_ac_of_ = -1;
    bool skip_scan_ = false;          // this scan's coded data is passed over
};

// The outcome of carving the JPEG that starts at a candidate offset.
struct jpeg_result_s {
    enum class kind { unsupported, broken, whole, fragmented, partial } outcome = kind::unsupported;
    // The file's pieces on the device, in file order: offset, length.
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    // Seconds the search for a second piece took; negative when none ran.
    double search_seconds = -1;
    // The search gave up on its time or a stop, not on what it read.
    bool out_of_time = false;
};

struct fragment_options_s {
    uint64_t cluster = 4096;
    uint64_t max_gap = 4096;          // clusters; 0: no search
    double seconds_per_file = 2.0;
    double* seconds_left = nullptr;   // the run's total budget, spent here
    const std::atomic<int32_t>* stop = nullptr;  // non-zero: give up now
};

// Whether the JPEG the structure walk found at [start, start + length) shows
// none of the signs of a file cut and continued elsewhere (clusters counted
// from start): such a file is kept as the walk found it, undecoded.
bool ends_cleanly(source_c& src, uint64_t start, uint64_t length, uint64_t cluster);

// Whether carve_jpeg would find the JPEG at start whole, or not one it
// checks: then it leaves the file to the structure walk. No time limit
// enters this, so it may be asked ahead of time on another thread.
bool decodes_whole(source_c& src, uint64_t start, uint64_t limit, uint64_t cluster);

// Whether the last scan of the sequential JPEG at [start, end) decodes to
// its end from just after its restarts-th restart marker (at), its coded
// data beginning at scan_at: what decoding the whole file would say of the
// data after that marker, for the price of one restart interval.
bool decodes_after_restart(source_c& src, uint64_t start, uint64_t end, uint64_t cluster, uint64_t scan_at,
                           uint64_t at, uint64_t restarts);

// Whether the last scan of the progressive JPEG at [start, end), its coded
// data beginning at scan_at, decodes to the file's end when only the scans
// it depends on are decoded before it: those of the same component's AC
// coefficients (component ac_of; -1 when the last scan holds DC only).
bool decodes_last_scan(source_c& src, uint64_t start, uint64_t end, uint64_t cluster, uint64_t scan_at, int ac_of);

// Decodes the JPEG at start and, when it breaks, looks for its second piece.
jpeg_result_s carve_jpeg(source_c& src, uint64_t start, uint64_t limit, const fragment_options_s& options);

}  // namespace carve::jpeg
