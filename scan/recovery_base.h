// The scan-thread base every scanner derives from, its status block, the
// file-table row, and the inert scanner the recovery page holds before any
// scan has been chosen.
#pragma once

#include "devices/volume_item.h"
#include "jobs/job.h"
#include "platform/byte_source.h"
#include "scan/content_pass.h"
#include "scan/read_damage.h"

#include <QMetaType>
#include <QString>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// What recover_file returns besides 0 (written) and -1 (failed): the target
// already exists. Nothing was written and nothing there was touched; the
// caller may try another name.
inline constexpr int recover_target_exists = -2;

// The status block a scanner shares with the page: the job's.
using scan_status_s = job_status_s;

// One row of the file table. What id means is private to the scanner that
// produced the row; it is handed back to recover_file and get_full_path.
struct recovery_item_s {
    QString name;
    int64_t size = 0;
    int64_t date1 = 0;   // last modified, seconds since 1970 (0: the disk gives none)
    int64_t date2 = 0;   // created, seconds since 1970 (0: the disk gives none)
    int64_t id = 0;
    int32_t flags = 0;
    int32_t checked = 0; // set by the table model
};
Q_DECLARE_METATYPE(recovery_item_s)

// Registers recovery_item_s with the meta-type system under its own name.
// Safe to call more than once.
void register_scan_types();

// Takes the rows of one folder one at a time; each row is valid during the
// call only.
using row_visit_fn = std::function<void(const recovery_item_s& row)>;

// A folder of the result tree as the scanner hands it out: its name and the
// scanner's own record of it, which only that scanner interprets.
struct result_folder_s {
    QString name;
    const void* node = nullptr;
};

// One row of the file table with the folder of the result tree it is shown
// in ("/" for the top, "/a/b" below).
struct found_row_s {
    recovery_item_s item;
    QString folder;
};

// One folder above a recovered file, named as the disk holds it, with its
// modification time in seconds since 1970 (0 when the disk gives none).
struct written_folder_s {
    QString name;
    int64_t time = 0;
};

class recovery_base_c : public job_c {
    Q_OBJECT
public:
    explicit recovery_base_c(QObject* parent = nullptr) : job_c("the scan", parent) {}

    virtual void set_volume(const volume_item_s& volume) = 0;
    // The bytes of the volume at device_path, opened once by the scan
    // service for the next scan; the scanner reads nothing else.
    void set_source(const QString& device_path, platform::byte_source_ptr source);
    // The path set_source was given: what recovered files must not land on.
    const QString& source_path() const { return source_path_; }
    // Zeroes the status block and empties the result store.
    virtual void reset() = 0;
    // Writes the found file with this id to destination, which must not
    // exist: it is created as a new file and never replaces anything.
    // Returns 0 when every byte was written; recover_target_exists when
    // something already stands at destination; -1 on any other failure,
    // and then nothing is left at destination.
    virtual int recover_file(int64_t id, const QString& destination) = 0;
    // Replaces *path with the item's full path under the volume's root.
    // Returns 0, or -1 when the id or one of its ancestors is not in the store.
    virtual int get_full_path(int64_t id, QString* path);

    // Whether the row's file is read through the mounted file system rather
    // than by the scanner; then *source receives its path there (empty when
    // it cannot be told, and the copy fails).
    virtual bool live_source(const recovery_item_s& row, QString* source);

    // The name the row's file is written under: what the disk holds. The
    // table marks a deleted entry's first character with "#"; where the
    // disk still knows that character (a surviving long name, a live entry
    // inside a deleted folder) it is written whole. The row's name unless
    // the scanner knows better.
    virtual QString written_name(const recovery_item_s& row) const;
    // The folders from below the top down to the one the row is shown in,
    // named as the disk holds them and with their times: what a recovery
    // that keeps the tree creates. By default the components of
    // row.folder, without times.
    virtual std::vector<written_folder_s> written_folders(const found_row_s& row) const;
    // Where the row's file's data starts, in bytes of the scanned volume
    // (the first cluster its entry or record names), for the deep scan to
    // know a carved file by; false when the scanner cannot tell.
    virtual bool data_offset(int64_t id, uint64_t* offset);

    // The finished scan's result tree, read only after the thread has
    // finished. top_folder gives the record of the tree's top ("/"); false
    // when the store has none (nothing found). sub_folders and folder_rows
    // append the folders shown under a folder and the file-table rows of
    // one, in the store's order.
    virtual bool top_folder(const void** node) const;
    virtual void sub_folders(const void* folder, std::vector<result_folder_s>* out) const;
    virtual void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const;
    // The rows of folder_rows handed to visit one by one, in the same
    // order, none of them gathered: a folder of 200,000 files is read
    // without a copy of its rows. By default through folder_rows.
    virtual void visit_folder_rows(const void* folder, const row_visit_fn& visit) const;

    // Why a selection of rows whose sizes add up to total_bytes is not
    // written at all; empty when it may be. Carved rows cannot add up to
    // more than the volume they were carved from (a scan file that makes
    // them do would write the disk many times over).
    virtual QString selection_refusal(int64_t total_bytes) const
    {
        Q_UNUSED(total_bytes);
        return {};
    }

    // Why the finished scan could not read the volume, in one line; empty
    // when it ran.
    virtual QString failure_reason() const;
    // Why the finished scan failed: the job's reason when it was cut short
    // by an exception, otherwise failure_reason(). Empty when it ran.
    QString scan_failure() const;
    // What the finished scan had to skip or found damaged, one note per
    // fact; empty when nothing. Current after a later search for lost
    // folders too, which the job's outcome is not.
    virtual job_notes_t notes() const;
    // What the reads of the volume could not get (the scan's and every
    // read-back's since): empty on a sound medium or before a scan.
    read_damage_s read_damage() const;
    // How many found files lie over sectors that could not be read; -1 where
    // the scanner cannot tell before it copies them.
    virtual int64_t unreadable_file_count() const { return -1; }

    // The translation key of something the person should be told about the
    // finished scan (a volume that looks freshly formatted); null when none.
    virtual const char* notice_key() const { return nullptr; }

    // Every row the result tree shows, folder by folder from the top.
    // A folder met a second time (a damaged store) is not entered again.
    std::vector<found_row_s> found_rows() const;

    // Held around every read-back (recover_file, get_full_path) by whoever
    // reads a finished scan back, so that a preview and a recovery never
    // read through one scanner at the same time.
    std::recursive_mutex& read_back_lock() { return read_back_; }

    // The check of deleted files by their content. A scanner that has one
    // makes it before its thread ends, unless told to leave it for a pass
    // after the listing is shown (the window's), which calls
    // check_next_content until it answers false. A copy of a file still
    // waiting judges it first, so that what is written is what its tag
    // will say.
    void set_content_pass_deferred(bool deferred) { content_deferred_ = deferred; }
    // Judges the next file waiting, under the read-back lock; false when
    // none is left.
    bool check_next_content(carve::check_budget_s* budget);
    int64_t content_total() const { return content_queue_.total(); }
    int64_t content_left() const { return content_queue_.left(); }
    // The verdicts since the last call: row ids and each row's new flags.
    content_queue_c::verdicts_t take_content_verdicts() { return content_queue_.take(); }

protected:
    // The scan itself, on the scanner's thread.
    virtual void run_scan() = 0;

    // Judges one file of the queue by its content and answers its row's
    // flags after; called under the read-back lock.
    virtual int32_t judge_content(int64_t id, carve::check_budget_s* budget);
    // At the end of run_scan: the files to judge, in their order. Judged
    // now unless the check was deferred; the ones a stop or the pass's time
    // leaves unjudged then stay as they are.
    void queue_content_check(std::vector<int64_t> ids);
    // In recover_file, under the read-back lock: a file still waiting is
    // judged now.
    void judge_if_waiting(int64_t id);
    content_queue_c content_queue_;

    // Deepest folder nesting any walk of a result tree enters.
    static constexpr int max_tree_depth = 4096;

    // What run() calls first: reset, except that a stop or pause asked for
    // between start() and now survives. Without it a Stop or Back pressed in
    // a scan's first moments is lost and the scan runs on.
    void reset_for_run();

    // The source for device_path: the one set_source handed over for it, or
    // (a scanner driven without the service: a test, a fuzz harness) the
    // path opened now. Null with a one-line reason in *error when it cannot
    // be opened.
    platform::byte_source_ptr scan_source(const QString& device_path, QString* error = nullptr) const;

private:
    // Runs run_scan(), then puts failure_reason() and notes() into the
    // job's outcome.
    void run_job() final;
    // An exception out of run_scan (memory ran out, a bug) ends the scan as
    // a failure with an empty store, since a store cut short mid-update is
    // not one to show or read back from.
    void after_failure() noexcept final;

    std::recursive_mutex read_back_;
    bool content_deferred_ = false;
    QString source_path_;
    platform::byte_source_ptr source_;
};

// The scanner the page holds until a real one is chosen: every call is valid
// and does nothing. Its thread is never started.
class recovery_stop_c : public recovery_base_c {
    Q_OBJECT
public:
    using recovery_base_c::recovery_base_c;

    void set_volume(const volume_item_s&) override {}
    double get_progress() const override { return 0.0; }
    void set_progress(double) override {}
    void set_stop(int) override {}
    int get_stop() const override { return stop_idle; }
    int get_pause() const override { return 0; }
    void set_pause(int) override {}
    int64_t get_read_count() const override { return 0; }
    void reset() override {}
    int recover_file(int64_t, const QString&) override { return 0; }
    int get_full_path(int64_t, QString*) override { return 0; }
    int64_t get_found_count() const override { return 0; }

protected:
    void run_scan() override {}
};
