// Which unreadable sectors a recovered file's copy met. A failing disk hands
// back zeros for the sectors it cannot read (see platform/byte_source.h);
// the copy of a file over them holds those zeros, so it is neither exact nor
// damaged content, and the person is told which sectors they were.
//
// Every scanner reads through the source the scan was given; that source is
// wrapped in a ledger source, which, while a read_ledger_c is open on the
// calling thread, notes the unreadable parts of each read into it. So a copy
// learns what it met whatever reader (FAT, exFAT, NTFS, carving) read it,
// without each reader tracking its clusters.
#pragma once

#include "platform/byte_source.h"
#include "platform/unreadable_map.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

// A row's flags bit, in every scanner's flags word: its copy met unreadable
// sectors, which came back as zeros. Set by the writer once a copy showed it.
inline constexpr int32_t row_unreadable_sectors = 0x4000;

// Whether a copy that reads extents (offset and length in bytes of source)
// would meet sectors source already knows it cannot read: how a scanner
// tags a file before it is copied. Costs nothing while no read has failed.
bool extents_meet_unreadable(const platform::byte_source_c& source,
                             const std::vector<std::pair<uint64_t, uint64_t>>& extents);

// Wraps source so that reads on a thread with an open read_ledger_c are
// noted; a source already wrapped, or null, is returned as it is.
platform::byte_source_ptr with_read_ledger(platform::byte_source_ptr source);

// Gathers, on the thread that opens it, the unreadable ranges the reads of
// ledger sources met, until it is closed. Ledgers nest: the innermost one
// open gathers. A read made while *cancel (when given) is non-zero fails
// with ECANCELED, so a copy under way ends at its next read.
class read_ledger_c {
public:
    explicit read_ledger_c(const std::atomic<int>* cancel = nullptr);
    ~read_ledger_c();
    read_ledger_c(const read_ledger_c&) = delete;
    read_ledger_c& operator=(const read_ledger_c&) = delete;

    // What the reads met, sorted and merged, in bytes of the source read.
    std::vector<platform::unreadable_range_s> ranges() const { return met_.all(); }
    bool met_any() const { return !met_.empty(); }
    // The sector size of the source read last (512 when none was read).
    uint32_t sector_bytes() const { return sector_bytes_; }
    // Whether a read was refused because of the cancel word.
    bool cancelled() const { return cancelled_; }
    // Whether a read failed outright (the source is gone, or cancelled).
    bool read_failed() const { return read_failed_; }

    // Called by the ledger source.
    void note(const platform::byte_source_c& source, uint64_t offset, uint64_t length);
    bool should_cancel();
    void note_failure() { read_failed_ = true; }

    // The innermost ledger open on the calling thread, or null.
    static read_ledger_c* current();

private:
    platform::unreadable_map_c met_;
    uint32_t sector_bytes_ = 512;
    const std::atomic<int>* cancel_ = nullptr;
    bool cancelled_ = false;
    bool read_failed_ = false;
    read_ledger_c* outer_ = nullptr;
};

// Stops the calling thread's ledger from noting reads while it lives: for
// reads that are not the copy's own (a check of other clusters first).
class ledger_pause_c {
public:
    ledger_pause_c();
    ~ledger_pause_c();
    ledger_pause_c(const ledger_pause_c&) = delete;
    ledger_pause_c& operator=(const ledger_pause_c&) = delete;

private:
    read_ledger_c* paused_ = nullptr;
};

// The unreadable sectors of one copy: ranges in bytes of the source, and
// that source's sector size.
struct unreadable_sectors_s {
    uint32_t sector_bytes = 512;
    std::vector<platform::unreadable_range_s> ranges;

    bool empty() const { return ranges.empty(); }
    uint64_t sector_count() const;
};

// "sectors 2048-2055 (Input/output error), 4096 (not read)": the ranges as
// sector numbers of the volume read, with the system's reason. Plain text
// (untranslated), for the CLI and the list beside the files.
QString unreadable_sectors_text(const unreadable_sectors_s& sectors);

// The list beside the recovered files of the files whose copies met
// unreadable sectors: written with zeros there, or skipped.
class unreadable_list_c {
public:
    // shown: the file as the person is told of it (its path under the
    // destination when written, its name when skipped).
    void add(const QString& shown, const unreadable_sectors_s& sectors, bool written);
    bool empty() const { return entries_.empty(); }
    size_t size() const { return entries_.size(); }

    // Writes the list into folder as a new file ("unreadable-sectors.txt",
    // numbered when that name is taken); nothing is replaced. Returns the
    // path written, or an empty string with the reason in *why. Writes
    // nothing (and returns empty, *why empty) when the list is empty.
    QString write_into(const QString& folder, QString* why) const;

private:
    struct entry_s {
        QString shown;
        unreadable_sectors_s sectors;
        bool written = true;
    };
    std::vector<entry_s> entries_;
};

// The file name of that list.
inline constexpr const char* unreadable_list_name = "unreadable-sectors.txt";
