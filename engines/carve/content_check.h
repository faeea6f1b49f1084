// Whether a file's bytes, read from wherever a file system reader thinks
// they lie, make a whole file of the type its name and first bytes say: the
// deep scan's validators turned on one file of known length. The undelete
// readers ask this of a deleted file's possible clusters and keep the ones
// that hold up. No Qt.
#pragma once

#include "platform/byte_source.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

namespace carve {

// Byte ranges of another source (offset, length) read one after the other
// as one file. Reads never leave the ranges.
using byte_extents_t = std::vector<std::pair<uint64_t, uint64_t>>;

class pieces_source_c final : public platform::byte_source_c {
public:
    pieces_source_c(const platform::byte_source_c& under, byte_extents_t pieces);

    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override;
    uint64_t size() const override { return size_; }
    uint32_t sector_size() const override { return under_.sector_size(); }
    const std::string& name() const override { return under_.name(); }

    // Reads fail from then on, and expired() says so: bounds the time a
    // check may take over a file whose size is hostile.
    void set_deadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
    // The same when *stop turns non-zero (a stop asked of the pass).
    void set_stop(const std::atomic<int32_t>* stop) { stop_ = stop; }
    bool expired() const { return expired_.load(std::memory_order_relaxed); }

private:
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    mutable std::atomic<bool> expired_{false};
    const std::atomic<int32_t>* stop_ = nullptr;
    const platform::byte_source_c& under_;
    byte_extents_t pieces_;
    std::vector<uint64_t> starts_;  // each piece's first byte in the file
    uint64_t size_ = 0;
};

struct content_check_s {
    enum class kind {
        unchecked,  // no validator for the type, or the name and the bytes disagree on it
        whole,      // valid to exactly its length (or followed only by padding)
        shorter,    // a whole file that ends early, with more after it: not judged
        broken,     // not valid
    } outcome = kind::unchecked;
    // For broken: how many bytes from the start are sound, when that can be
    // told (intact_known).
    uint64_t intact = 0;
    bool intact_known = false;
};

// Whether the extension (without its dot, any case) names a type a check
// exists for.
bool content_check_known(const char* extension);

// Checks file (the whole of it) as the type the extension names; the first
// bytes must carry that type's mark, else the file is broken at its start.
// cluster: the file system's cluster size, where a JPEG's break is counted.
content_check_s check_content(const platform::byte_source_c& file, const char* extension, uint64_t cluster);

// A JPEG that starts at start on device and is size bytes long, in two
// pieces cut at clusters counted from start: the pieces when the second was
// found and the whole file is exactly size bytes. The search reaches at
// most max_gap clusters past the cut and stops after seconds (and once
// *seconds_left, when given, is spent; it is charged what was used).
bool find_jpeg_two_pieces(const platform::byte_source_c& device, uint64_t start, uint64_t size, uint64_t cluster,
                          uint64_t max_gap, double seconds, double* seconds_left, byte_extents_t* pieces,
                          const std::atomic<int32_t>* stop = nullptr);

// What the undelete readers learn of a deleted file whose chain is gone.
struct deleted_verdict_s {
    enum class kind {
        unchecked,  // no validator, or none could tell: the copy stays as it was
        verified,   // the run from its first cluster is a whole file
        rebuilt,    // another choice of clusters is: chosen holds it
        damaged,    // no choice is whole
    } outcome = kind::unchecked;
    byte_extents_t chosen;   // for rebuilt: the file's bytes on the volume
    int intact_percent = -1; // for damaged: the share sound from the start; -1 unknown
};

// What one pass over a volume's deleted files may spend on the search for a
// JPEG's second piece.
struct check_budget_s {
    double seconds_per_file = 2.0;
    double seconds_left = 60.0;
    uint64_t max_gap = 4096;  // clusters
    // Non-zero ends the check of the file at once, leaving it unjudged:
    // a stop asked of the pass need not wait out the file's time.
    const std::atomic<int32_t>* stop = nullptr;
};

// Judges a deleted file of size bytes: run is its clusters as one run from
// its first, free_run the free clusters from its first on (empty when they
// are the run), and keep_free whether the copy reads free_run when nothing
// is whole. A JPEG is also looked for in two pieces from its first cluster.
deleted_verdict_s judge_deleted_file(const platform::byte_source_c& volume, const char* extension, uint64_t size,
                                     uint64_t cluster, const byte_extents_t& run, const byte_extents_t& free_run,
                                     bool keep_free, check_budget_s* budget);

}  // namespace carve

namespace carve {

// The check_deleted and check_time lines of the configuration last loaded,
// with its fragment_gap.
struct content_settings_s {
    bool enabled = true;
    check_budget_s budget;
};
content_settings_s content_check_settings();

}  // namespace carve
