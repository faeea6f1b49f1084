// What the check of deleted files by their content adds to a FAT or exFAT
// row's flags, above the bits each scanner already uses there, and how a
// front end turns it off.
#pragma once

#include "engines/carve/content_check.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <utility>
#include <vector>

// The run from its first cluster is a whole file of its type.
inline constexpr int32_t row_content_verified = 0x400000;
// Other clusters than that run make it whole; the copy reads them.
inline constexpr int32_t row_content_rebuilt = 0x800000;
// No choice of clusters makes it whole.
inline constexpr int32_t row_content_damaged = 0x1000000;
// For a damaged file: the share sound from its start, in percent plus one
// (0: not known), in the top seven bits.
inline constexpr int row_content_share_shift = 25;
inline constexpr int32_t row_content_share_mask = int32_t(0x7Fu << row_content_share_shift);
inline constexpr int32_t row_content_bits =
    row_content_verified | row_content_rebuilt | row_content_damaged | row_content_share_mask;

// The bits for a verdict.
inline int32_t row_content_flags(const carve::deleted_verdict_s& verdict)
{
    using kind = carve::deleted_verdict_s::kind;
    switch (verdict.outcome) {
    case kind::verified: return row_content_verified;
    case kind::rebuilt: return row_content_rebuilt;
    case kind::damaged: {
        const uint32_t share = verdict.intact_percent < 0 ? 0u : uint32_t(verdict.intact_percent) + 1;
        return row_content_damaged | int32_t(share << row_content_share_shift);
    }
    default: return 0;
    }
}

// The intact share of a damaged row, -1 when not known.
inline int row_content_share(int32_t flags)
{
    const uint32_t share = (uint32_t(flags) >> row_content_share_shift) & 0x7Fu;
    return share == 0 ? -1 : int(share) - 1;
}

#include <QByteArray>
#include <QString>

// A file name's extension, what the content check goes by ("jpg" of
// "IMG_0001.JPG"); empty when it has none.
inline QByteArray content_extension(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QByteArray() : name.mid(dot + 1).toUtf8();
}

// The settings of one pass over a volume's deleted files, read from the
// configuration as the pass starts, and the pass's time shared out file by
// file.
class content_pass_budget_c {
public:
    // False when the check is switched off.
    bool load();
    // Before each file: false once the pass's time is spent; otherwise
    // budget() holds what is left of it.
    bool next_file();
    carve::check_budget_s* budget() { return &settings_.budget; }

private:
    carve::content_settings_s settings_;
    std::chrono::steady_clock::time_point began_;
    double total_ = 0.0;
};

// The deleted files a scan left for the check by their content, in the
// order they are judged, and the verdicts (a row id and the row's flags
// after it) the window has not yet taken. The scanner calls everything but
// take() and the counts under its read-back lock; take() has a lock of its
// own, so that the window never waits on a file being checked.
class content_queue_c {
public:
    using verdicts_t = std::vector<std::pair<int64_t, int32_t>>;

    void clear();
    // ids in the order to judge them; budget's time for one file bounds
    // the check of one judged out of turn (for a copy that cannot wait).
    void fill(std::vector<int64_t> ids, const carve::check_budget_s& budget);
    // The next file still waiting; false when none is.
    bool next(int64_t* id);
    bool waiting(int64_t id) const { return waiting_.count(id) != 0; }
    // Takes id off the queue with the row's flags as judged.
    void judged(int64_t id, int32_t flags);
    // The verdicts since the last call, oldest first.
    verdicts_t take();

    int64_t total() const { return total_.load(std::memory_order_relaxed); }
    int64_t left() const { return left_.load(std::memory_order_relaxed); }
    // What judging one file out of turn may spend.
    carve::check_budget_s one_file_budget() const;

private:
    std::vector<int64_t> order_;
    size_t next_ = 0;
    std::unordered_set<int64_t> waiting_;
    std::atomic<int64_t> total_{0};
    std::atomic<int64_t> left_{0};
    carve::check_budget_s one_file_;
    std::mutex out_mutex_;
    verdicts_t out_;
};

// Writes the size bytes that pieces (byte ranges of source, in file order)
// hold to destination as a new file, as recover_file does: 0 when written
// whole, recover_target_exists when the name is taken, -1 otherwise (and
// nothing is left behind).
int write_pieces(const platform::byte_source_c& source, const carve::byte_extents_t& pieces, uint64_t size,
                 const QString& destination);
