// The carving engine: finds files on a raw device by their structure and
// reads byte ranges of a device back. No Qt; strings are 8-bit, NUL-terminated
// (device paths in the local 8-bit encoding, UTF-8 here).
#pragma once

#include "platform/byte_source.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

// Called once per found file, on the thread that runs carve_run, with the
// control block's user pointer, the type name (a usual file extension), the
// file's first byte on the device and its length.
using carve_found_fn = void (*)(void* user, const char* type_name, int64_t offset, int64_t size);

// The 32-byte block a caller hands to carve_run. Progress is written by the
// engine; pause and stop by the user interface while the run goes on, so all
// three are atomics (relaxed ordering is enough: each is a single value).
struct carve_control_s {
    void* user = nullptr;                 // bytes 0-7
    std::atomic<double> progress{0.0};    // bytes 8-15, fraction of the device searched
    std::atomic<int32_t> pause{0};        // bytes 16-19, non-zero: the engine waits
    std::atomic<int32_t> stop{0};         // bytes 20-23, non-zero: the engine returns
    carve_found_fn callback = nullptr;    // bytes 24-31

    // Back to all zeros.
    void clear()
    {
        user = nullptr;
        progress.store(0.0, std::memory_order_relaxed);
        pause.store(0, std::memory_order_relaxed);
        stop.store(0, std::memory_order_relaxed);
        callback = nullptr;
    }
};
static_assert(sizeof(carve_control_s) == 32, "the control block is 32 bytes");
static_assert(offsetof(carve_control_s, progress) == 8 && offsetof(carve_control_s, pause) == 16 &&
                  offsetof(carve_control_s, stop) == 20 && offsetof(carve_control_s, callback) == 24,
              "the control block's fields sit where its callers expect them");
static_assert(std::atomic<double>::is_always_lock_free && std::atomic<int32_t>::is_always_lock_free,
              "progress, pause and stop must be plain single values");

// Loads the configuration file (see data/Quarvel.conf for its line format).
// Every load starts again from the built-in defaults; a missing or unreadable
// file leaves the defaults and a line that cannot be understood is skipped.
// Returns 0 when the file was read, -1 when it could not be (the caller may
// ignore the result).
int carve_load_config(const char* path);

// Switches a built-in type on in the configuration now loaded, until the
// next carve_load_config: for a run the user asked to find more than the
// file turns on (plain text above all). Returns 0, or -1 for a name no
// built-in type has (nothing changes then).
int carve_enable_type(const char* type_name);

// The index-th built-in type found as plain text (txt, csv, ...), in the
// type table's order; null past the last. These are off unless asked for.
const char* carve_text_type(int32_t index);

// Searches the whole device in one sequential pass. Returns 0 when the device
// was searched to its end, 1 when stop became non-zero, -1 when the device
// could not be opened. Calls control->callback once per found file, keeps
// control->progress current and waits while control->pause is non-zero.
int carve_run(carve_control_s* control, const char* device_path);

// One piece of a file found in several: its offset on the device and length.
struct carve_extent_s {
    int64_t offset;
    int64_t size;
};

// Called instead of the found-file callback for a file that is not one run
// of bytes: extents lists its pieces in file order (count of them), and
// partial is non-zero when only its first piece was found (the file is cut
// there and is not whole).
using carve_found_pieces_fn = void (*)(void* user, const char* type_name, const carve_extent_s* extents,
                                       int32_t count, int32_t partial);

// carve_run that also puts broken files back together: a JPEG whose data
// stops decoding at a cluster boundary is searched for its second piece
// (the configuration's cluster_size, fragment_gap and fragment_time lines
// bound the search). Such files, and those whose second piece was not found,
// go to pieces; files in one piece still go to control->callback. With a
// null pieces this is carve_run.
int carve_run_pieces(carve_control_s* control, const char* device_path, carve_found_pieces_fn pieces);
// carve_run_pieces over a source the caller opened; -1 only for a null
// control. The workers read it from several threads at once.
int carve_run_source(carve_control_s* control, const platform::byte_source_c& source, carve_found_pieces_fn pieces);

struct carve_handle_s;

// Opens a device for reading back. Returns null on failure.
carve_handle_s* carve_open(const char* device_path);
// A handle reading a source the caller opened. Returns null for a null source.
carve_handle_s* carve_open_source(platform::byte_source_ptr source);
// Moves the read position to position bytes from the start of the device
// (origin 0; other origins are refused). Returns the new position, or -1.
int64_t carve_seek(carve_handle_s* handle, int64_t position, int origin);
// Reads up to count bytes at the read position and advances it. Returns the
// number of bytes placed in buffer; 0 at the end of the device, -1 on error.
int64_t carve_read(carve_handle_s* handle, void* buffer, int64_t count);
// Closes a handle from carve_open; null is accepted.
void carve_close(carve_handle_s* handle);
