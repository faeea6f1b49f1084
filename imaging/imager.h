// Saves a disk, a partition or an image into an image file, reading a
// failing medium the way rescue tools do: the sound areas first in large
// reads, skipping ahead past errors; then the edges of each failed area
// sector by sector (trimming); then what is left inside them (scraping);
// then, if asked, further passes over the sectors that failed. Each sector
// is read as few times as that allows. The map of what was rescued is kept
// in GNU ddrescue's mapfile format, so a stopped run (ours or ddrescue's)
// is continued where it stopped.
#pragma once

#include "platform/byte_source.h"
#include "platform/rescue_map.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace imaging {

enum class phase_e { copying, trimming, scraping, retrying, finished };

// "copying", "trimming", ... for a message.
const char* phase_name(phase_e phase);

inline constexpr uint32_t default_read_timeout_ms = 30000;

struct imaging_options_s {
    // Passes over the sectors that failed, after scraping.
    int retries = 0;
    // The size of the large reads of the first phase.
    uint32_t cluster_bytes = 64 * 1024;
    // How far the first pass jumps after an error; doubles while errors
    // follow, up to a hundredth of the disk (at most 1 GiB).
    uint64_t first_skip_bytes = 64 * 1024;
    // The map is written at least this often, and at every phase's end.
    int map_seconds = 10;
    // A read that has not answered after this long is given up as
    // unreadable (ETIMEDOUT) and the run goes on; 0: wait for the system.
    // -1: default_read_timeout_ms on a disk, none on an image file (a file
    // does not hang as a dying drive behind a USB bridge does, and handing
    // each read to a helper thread costs a busy machine its time).
    int64_t read_timeout_ms = -1;
};

struct imaging_progress_s {
    phase_e phase = phase_e::copying;
    int pass = 1;
    uint64_t size = 0;
    uint64_t rescued = 0;      // '+'
    uint64_t unreadable = 0;   // '-': sectors read alone that failed
    uint64_t pending = 0;      // '*' and '/': inside failed areas, still to read sector by sector
    uint64_t untried = 0;      // '?'
    uint64_t position = 0;
    uint64_t read_errors = 0;  // failed reads in this run
    double rate = 0;           // bytes rescued a second, over the last seconds
    int64_t seconds_left = -1; // -1: not known yet
};

// Reads on a thread of its own so that a read that hangs can be given up.
class timed_reader_c;

class imager_c {
public:
    imager_c();
    ~imager_c();

    // Opens source_path read-only (a disk, a partition, "<image>:pN", a raw
    // image or an image in a container) and prepares dest_path and its map
    // (map_path, or "<dest_path>.map" when empty): a map there, ours or
    // ddrescue's, is continued; a destination that exists without one is
    // refused. Returns an empty string, or one line saying why not.
    std::string open(const std::string& source_path, const std::string& dest_path, const std::string& map_path,
                     const imaging_options_s& options);
    // The same over a source already open; source_path is what the
    // destination is checked against (it must not lie on it).
    std::string open(platform::byte_source_ptr source, const std::string& source_path, const std::string& dest_path,
                     const std::string& map_path, const imaging_options_s& options);

    // Runs the phases until the end or until stop_point (called between
    // reads; it may wait while paused) answers true. The map is written on
    // the way and on every return. Returns an empty string, or why the run
    // could not go on (the destination full, the source gone).
    std::string run(const std::function<bool()>& stop_point);

    imaging_progress_s progress() const;
    const std::string& map_path() const { return map_path_; }
    const std::string& dest_path() const { return dest_path_; }
    // Whether the last run continued a map that was there already.
    bool resumed() const { return resumed_; }
    // The map as the run left it; read it only when run has returned.
    const platform::rescue_map_c& map() const { return map_; }

private:
    enum class read_e { ok, failed, gone };
    read_e read(uint64_t pos, uint64_t length, int* error);
    bool save(uint64_t pos, const uint8_t* data, uint64_t length);
    void mark(uint64_t pos, uint64_t length, char status);
    bool write_map(bool force);
    void enter(phase_e phase, int pass);

    bool copy_pass(int pass, bool backward, bool skipping, const std::function<bool()>& stop_point);
    bool trim(const std::function<bool()>& stop_point);
    bool sector_pass(char status, phase_e phase, int pass, const std::function<bool()>& stop_point);

    platform::byte_source_ptr source_;
    std::string source_path_;
    std::string dest_path_;
    std::string map_path_;
    imaging_options_s options_;
    int dest_fd_ = -1;
    bool fresh_dest_ = false;
    bool resumed_ = false;
    uint64_t sector_ = 512;
    std::unique_ptr<timed_reader_c> reader_;
    std::string failure_;

    mutable std::mutex mutex_;  // map_ and progress_, between the run and progress()
    platform::rescue_map_c map_;
    imaging_progress_s progress_;
    std::chrono::steady_clock::time_point last_map_write_;
    std::chrono::steady_clock::time_point started_;
    uint64_t settled_at_start_ = 0;
    uint64_t rescued_at_start_ = 0;
    // Rescued bytes a few seconds back, for the rate.
    std::chrono::steady_clock::time_point rate_since_;
    uint64_t rate_bytes_since_ = 0;
};

}  // namespace imaging
