// Copying found files out into a folder the user chose: the per-row routine
// shared by the recovery writer thread, the page's preview and quarvel-cli.
// Every file written is a new file with a unique name inside the folder; a
// row that fails leaves nothing behind and is counted.
#pragma once

#include "jobs/job.h"
#include "scan/recovery_base.h"
#include "scan/safe_name.h"
#include "scan/unreadable_sectors.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

// Bytes moved per read and write by copy_by_path.
inline constexpr int64_t copy_by_path_chunk = 131072;

// Copies the regular file at source into a new file at destination. Returns
// 0 when every byte was copied; recover_target_exists when something stands
// at destination (left alone); -1 otherwise, with nothing left at
// destination. A symbolic link at source is not followed.
int copy_by_path(const QString& source, const QString& destination);

// Most names tried for one row before it counts as failed.
inline constexpr int max_name_attempts = 10000;

// What recover_one returns besides 0 (written) and -1 (failed).
// The copy met unreadable sectors and the options said to skip such files:
// nothing was left.
inline constexpr int recover_skipped_unreadable = -3;
// The cancel word was set while the file was written: it was removed.
inline constexpr int recover_cancelled = -4;

struct recovery_options_s {
    // A file whose copy meets unreadable sectors is not written (the
    // all-or-nothing choice); by default it is written with zeros there.
    bool skip_unreadable = false;
    // Non-zero: the file being written is given up at its next read and
    // removed (a signal, a stop that may not wait for a large file).
    const std::atomic<int>* cancel = nullptr;
    // The destination's name rules when the caller knows them already; each
    // asking costs a look at the folder, per file.
    std::optional<name_rules_e> name_rules;
};

// Writes one row's file into destination under the row's name made safe,
// numbered ("a (2).txt") while the name is taken. Rows the scanner can read
// through the live file system are copied from there, all others are read
// back by the scanner. Holds the scanner's read-back lock throughout.
// Returns 0 or negative; *written, when given, receives the path written.
// Nothing is thrown: a copy cut short by an exception fails the row and
// leaves no file behind.
//
// The file is written under a partial name beside its final one
// ("a.txt.quarvel-partial", see partial_file_name) and given its final name,
// never replacing anything, only once it is complete: a copy cut short by a
// crash leaves only a file so named, which the next recovery of the same
// file into that folder removes.
int recover_one(recovery_base_c& scanner, const QDir& destination, const recovery_item_s& row,
                QString* written = nullptr, const recovery_options_s& options = {});

// Why the last recover_one on the calling thread failed, in one line; empty
// after a success.
QString last_recovery_failure();
// The unreadable sectors the last recover_one on the calling thread met
// (written with zeros there, or skipped); empty when none.
unreadable_sectors_s last_recovery_unreadable();
// Whether the last recover_one on the calling thread failed because the
// destination is full (ENOSPC, EDQUOT), not because of the source.
bool last_recovery_destination_full();

class recovery_tree_c;

// One file a recovery could not write: as the person knows it (its path
// below the destination, or its name) and why, in one line.
struct failed_file_s {
    QString name;
    QString reason;
};
// Most failed files a recovery keeps by name; beyond them only the count.
inline constexpr size_t max_failures_kept = 10000;

// Writes one row into the folder tree gives it (made as needed), as
// recover_one does; *written, when given, receives the path under the
// tree's destination.
int recover_in_tree(recovery_base_c& scanner, recovery_tree_c& tree, const found_row_s& row,
                    QString* written = nullptr, const recovery_options_s& options = {});

// How the writer finds the row of an id it was handed: its name, flags and
// the folder it was shown in. Called on the writer's thread.
using row_lookup_fn = std::function<bool(int64_t id, found_row_s* row)>;

// A running total of row sizes that stops at INT64_MAX rather than wrap.
inline int64_t selection_total(int64_t total, int64_t size)
{
    const int64_t add = size > 0 ? size : 0;
    return add > INT64_MAX - total ? INT64_MAX : total + add;
}

struct recovery_tally_s {
    int64_t written = 0;
    int64_t failed = 0;
    // Of written: files with zeros where sectors could not be read.
    int64_t unreadable = 0;
    // Files over unreadable sectors not written (skip_unreadable); not failed.
    int64_t skipped = 0;
    // Of failed: failures because the destination is full.
    int64_t destination_full = 0;
    // The run was stopped with a file under way, which was removed.
    bool cancelled = false;
    // Why nothing of the selection was written (a refusal of the whole of it).
    QString refusal;
    job_notes_t notes;  // where files went other than asked
};

// Counts one recover_one result (and the thread's last outcome) in tally,
// and notes a file over unreadable sectors in list under shown.
void count_recovery(int result, const QString& shown, recovery_tally_s* tally, unreadable_list_c* list);

// The recovery writer: copies a selection into a folder on its own thread.
// It works on a copy of the selection taken when it
// starts, so the page may open folders, tick, sort or filter meanwhile.
// Its progress is the share of rows done; a stop or pause takes effect
// between rows, keeping the files already written.
class recovery_file_c : public job_c {
    Q_OBJECT
public:
    explicit recovery_file_c(QObject* parent = nullptr);
    ~recovery_file_c() override;

    // Starts copying the rows of rows whose checked is non-zero into
    // destination, read back through scanner. Returns 0, or -1 when a
    // recovery is still running (the request is ignored).
    int start_recovery(recovery_base_c* scanner, const QDir& destination, const std::vector<recovery_item_s>& rows);
    // Starts copying a selection: row ids as the scanner's store knows
    // them, in the order given, each found through lookup on the writer's
    // thread. An id lookup does not know counts as failed. Returns 0, or -1
    // when a recovery is still running.
    int start_recovery(recovery_base_c* scanner, const QDir& destination, std::vector<int64_t> ids,
                       row_lookup_fn lookup);

    // Whether a selection spanning several folders keeps them (below the
    // deepest folder they share); false writes every file flat. Set before
    // a start.
    bool keep_tree = true;
    // How files over unreadable sectors are treated. Set before a start.
    recovery_options_s options;

    // The counts of the last recovery, final once the thread has finished.
    recovery_tally_s tally() const;
    // The folder of the last recovery.
    QDir destination() const { return destination_; }
    // The files of the last recovery whose copies met unreadable sectors,
    // and where their list was written (empty when none was, and then
    // list_failure() says why, unless there was nothing to list). Final
    // once the thread has finished.
    size_t unreadable_listed() const { return listed_; }
    QString unreadable_list_path() const { return list_path_; }
    QString unreadable_list_failure() const { return list_failure_; }
    // Ids of the rows whose copies met unreadable sectors, since last asked.
    std::vector<int64_t> take_unreadable_ids();
    // The files of the last recovery that were not written and why (at most
    // max_failures_kept; the tally counts them all), a refusal of the whole
    // selection as one entry. Final once the thread has finished.
    std::vector<failed_file_s> failures() const;

protected:
    void run_job() override;

private:
    recovery_base_c* scanner_ = nullptr;
    QDir destination_;
    std::vector<int64_t> ids_;
    row_lookup_fn lookup_;
    std::atomic<int64_t> written_{0};
    std::atomic<int64_t> failed_{0};
    std::atomic<int64_t> unreadable_{0};
    std::atomic<int64_t> skipped_{0};
    std::atomic<int64_t> full_{0};
    size_t listed_ = 0;
    QString list_path_;
    QString list_failure_;
    std::mutex unreadable_lock_;
    std::vector<int64_t> unreadable_ids_;
    mutable std::mutex failures_lock_;
    std::vector<failed_file_s> failures_;
};
