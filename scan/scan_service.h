// The one scan service the recovery page and quarvel-cli stand on: it holds
// one scanner of each kind, chooses the one a volume gets, runs it, and
// copies found files out through the one recovery writer. What a finished
// scan found, why it failed and what it skipped come from the scanner
// itself (recovery_base_c's virtual operations).
#pragma once

#include "platform/device_access.h"
#include "scan/content_pass_job.h"
#include "scan/exfat/exfat_recovery.h"
#include "scan/fat/fat_recovery.h"
#include "scan/ntfs/ntfs_recovery.h"
#include "scan/raw/raw_recovery.h"
#include "scan/recovery_base.h"
#include "scan/recovery_writer.h"

#include <QDir>
#include <QObject>
#include <QString>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class scanner_kind_e { none, fat, ntfs, raw, exfat };

// What the check of a destination folder found before anything is copied.
struct output_check_s {
    enum class problem_e {
        none,
        on_source,     // it lies on what is scanned (detail: why)
        not_writable,  // no file can be created in it (detail: the system's reason)
        no_room,       // its file system has less free than the selection needs
    };
    problem_e problem = problem_e::none;
    QString folder;
    QString detail;
    uint64_t needed = 0;  // no_room: bytes the chosen files add up to
    uint64_t free = 0;    // no_room: bytes free there for this user
    bool ok() const { return problem == problem_e::none; }
    // One line, with the numbers: what quarvel-cli prints.
    QString text() const;
};

// Checks folder before files of source_device (empty: none scanned) are
// written into it: not on the source, a file can be created in it (one is
// made with O_EXCL and removed), and, when needed_bytes is not 0, that much
// is free for this user.
output_check_s check_output_folder(const QString& folder, const QString& source_device, uint64_t needed_bytes = 0);

// The scanner a volume gets: the deep scan when asked for; "NTFS" -> NTFS;
// a file system name beginning "FAT" -> FAT; "exFAT" -> exFAT; anything
// else none.
scanner_kind_e choose_scanner(const volume_item_s& volume, bool deep);

class scan_service_c : public QObject {
    Q_OBJECT
public:
    explicit scan_service_c(QObject* parent = nullptr);
    // Stops a running scan (its results are thrown away) and waits for it
    // and for a running recovery.
    ~scan_service_c() override;

    // Resets the current scanner, chooses the volume's, resets it, hands it
    // the volume and starts its thread. Returns 0, or -1 with a one-line
    // *reason when there is no scanner for the volume or a scan is running.
    // Waits for a running recovery first: its scanner's store must not be
    // reset under it.
    int start_scan(const volume_item_s& volume, bool deep, QString* reason = nullptr);
    // Why the last start_scan could not open its volume, by kind (none when
    // it opened); the reason itself is the one start_scan gave.
    platform::open_refusal_e open_refusal() const { return open_refusal_; }
    // Whether the current scanner's thread runs.
    bool scanning() const;
    // Loads a scan result file into the deep scanner (after a running
    // recovery has ended) and makes it current. Returns the device path the
    // file names, or empty with a one-line reason in *reason when it was
    // refused (nothing changed then): see read_scan_file.
    QString load_scan_file(const QByteArray& path, std::string* reason = nullptr);
    // What opening a saved deep scan came to, for either front end.
    struct opened_scan_file_s {
        enum class outcome_e { opened, volume_missing, unreadable } outcome = outcome_e::unreadable;
        QString device;        // the device the file names, where it names one
        volume_item_s volume;  // the volume it was made from, once opened
        std::string reason;    // why it could not be read (unreadable)
    };
    // The volume offered now whose device is exactly device_path (a prefix
    // would take /dev/sdb for /dev/sdb1 and copy the wrong bytes); false
    // when none is.
    using offered_volume_fn = std::function<bool(const QString& device_path, volume_item_s* volume)>;
    // load_scan_file, then the volume it names among those offered; loaded
    // into the deep scanner with that volume, or nothing kept.
    opened_scan_file_s open_scan_file(const QByteArray& path, const offered_volume_fn& offered);
    // The offered volumes as the platform lists them (this machine's disks
    // and the images opened): what a front end without a list of its own
    // passes to open_scan_file.
    static bool platform_volume(const QString& device_path, volume_item_s* volume);
    // Resets the current scanner (after a running recovery has ended) and
    // makes the inert scanner current.
    void reset_scanner();

    recovery_base_c& scanner() const { return *current_; }
    scanner_kind_e kind() const { return kind_; }
    // For the next FAT, exFAT and NTFS scans: whether they also search the
    // whole volume for lost folders and MFT records (on unless set here), and
    // the names those are shown under.
    void set_lost_pass(lost_pass_e mode);
    void set_lost_names(const lost_names_s& names);
    // Whether that search waits for a pass of its own after the listing
    // (start_lost_pass), so that a large disk shows what its file system
    // knows at once; off by default: the scan makes it before it ends.
    void set_lost_pass_deferred(bool deferred);
    // Whether the current scan left the search waiting: it ran to its end
    // on a FAT, exFAT or NTFS volume with the search on and deferred.
    bool lost_pass_waiting() const;
    // Starts the waiting search: a scan of its own of the same volume, the
    // walk again and then the read of the whole volume for lost folders and
    // MFT records, beside the current scanner, whose rows stay readable and
    // copyable meanwhile. Returns 0, or -1 when none waits.
    int start_lost_pass();
    bool lost_pass_running() const { return lost_ && lost_->isRunning(); }
    // Its progress (0 to 1, the walk's and then the read's) and how many
    // more entries it has found than the listing; zero when none runs.
    double lost_pass_progress() const { return lost_ ? lost_->get_progress() : 0.0; }
    int64_t lost_pass_found() const
    {
        return lost_ ? std::max<int64_t>(0, lost_->get_found_count() - current_->get_found_count()) : 0;
    }
    void set_lost_pass_paused(bool paused);
    // Ends the search without waiting; what it found is dropped, the
    // listing stays as it is.
    void request_lost_pass_stop();
    // After it ended: when it ran to its end, its scan (the listing and what
    // the search found) becomes the current one, and true is returned.
    // False, with nothing changed, while it runs or a recovery runs (ask
    // again after that), or when it was stopped or could not read.
    bool adopt_lost_pass();
    // For a process without an event loop: runs the waiting search to its
    // end, calling tick about every 200 ms, and adopts it. Returns 0, or
    // -1 when none waited or it could not be adopted.
    int lost_pass_to_end(const std::function<void()>& tick = {});
    // Whether FAT, exFAT and NTFS scans check deleted files by their content at
    // their end (on unless turned off here, or in Quarvel.conf).
    void set_content_check(bool on);
    // Whether those scans leave that check to a pass after them
    // (start_content_pass) so that their listing comes sooner; off by
    // default: the scan makes it before it ends.
    void set_content_pass_deferred(bool deferred);
    // Starts the pass over the files the current scan left waiting (after
    // its thread has ended; nothing when none waits). A new scan, a loaded
    // file, a reset and the service's end stop it first.
    void start_content_pass();
    void stop_content_pass() { content_pass_.stop(); }
    // Asks the pass to end after the file it checks, without waiting.
    void request_content_pass_stop() { content_pass_.request_stop(); }
    bool content_pass_running() const { return content_pass_.isRunning(); }
    double content_pass_progress() const { return content_pass_.get_progress(); }
    // For the next deep scans: the plain text types (raw_recovery_c::
    // text_types) to find besides what Quarvel.conf turns on; empty, none
    // besides. Returns false, with nothing changed, when a name is not one
    // of them (*unknown: the first such name).
    bool set_text_types(const std::vector<std::string>& types, std::string* unknown = nullptr);
    // The check set_text_types makes, for a front end that refuses a wrong
    // name before it has a service: the names in *chosen, each once, in
    // their order; false with *unknown the first name that is no text type.
    static bool choose_text_types(const std::vector<std::string>& types, std::vector<std::string>* chosen,
                                  std::string* unknown = nullptr);
    const std::vector<std::string>& text_types() const { return text_types_; }
    fat_recovery_c& fat_scanner() { return fat_; }
    ntfs_recovery_c& ntfs_scanner() { return ntfs_; }
    raw_recovery_c& raw_scanner() { return raw_; }
    exfat_recovery_c& exfat_scanner() { return exfat_; }

    // Copies one row into destination through the current scanner, for the
    // preview; waits while the writer reads the same scanner back. -1 while
    // no scan has been chosen or one runs.
    int recover_one(const QDir& destination, const recovery_item_s& row, QString* written = nullptr);
    // Starts the writer on a copy of the ticked rows. Returns 0, or -1 when
    // a recovery is running or nothing is ticked.
    int start_recovery(const QDir& destination, const std::vector<recovery_item_s>& rows);
    // Starts the writer on a selection: row ids as the current scanner's
    // store knows them, and how to find each one's row. Returns 0, or -1
    // when a recovery is running or the selection is empty.
    // needed_bytes: what the selection adds up to, checked against the
    // destination's free space (0: not checked).
    int start_recovery(const QDir& destination, std::vector<int64_t> ids, row_lookup_fn lookup,
                       uint64_t needed_bytes = 0);
    bool recovering() const { return writer_.isRunning(); }
    // Why files of the current scan must not be written into destination
    // (it is on the scanned device or image, or a file system stored on it);
    // empty when they may. recover_one and start_recovery refuse such a
    // folder; the page tells the reason.
    QString output_refusal(const QDir& destination) const;
    // The whole check of a destination for the current scan's files, that
    // start_recovery makes too: on the source, writable, room for
    // needed_bytes (0: room not checked).
    output_check_s check_output(const QDir& destination, uint64_t needed_bytes = 0) const;
    // Whether destination lies on the same device as the scanned volume (a
    // disk's other partition, say): allowed, but each file written there may
    // take clusters of files still to be recovered, so the person is asked.
    bool destination_shares_device(const QDir& destination) const;
    recovery_file_c& writer() { return writer_; }
    // How the destination folder is shown once a recovery has ended (the
    // window opens it with the desktop); none by default, so that a headless
    // caller links no desktop services.
    void set_folder_opener(std::function<void(const QString& folder)> opener) { folder_opener_ = std::move(opener); }

    // For a process without an event loop: runs a scan to its end on this
    // thread's behalf, calling tick about every 200 ms while it runs.
    // Returns 0, or -1 with *reason when it could not start or could not
    // read the volume.
    int scan_to_end(const volume_item_s& volume, bool deep, QString* reason, const std::function<void()>& tick = {});

signals:
    // A scanner's thread ended (queued to the service's thread).
    void scan_finished();
    // The pass over deleted files ended, done or stopped (queued likewise).
    void content_pass_finished();
    // The search for lost files after the listing ended (queued likewise).
    void lost_pass_finished();
    // The writer ended: how many rows were written and how many failed.
    // The folder opener, when set, is called right after the connected
    // slots have run.
    void recovery_finished(qint64 written, qint64 failed);

private:
    recovery_base_c* scanner_for(scanner_kind_e kind);
    // Ends a running search for lost files and drops it, and the scan
    // adopted from one.
    void drop_lost_pass();

    fat_recovery_c fat_;
    ntfs_recovery_c ntfs_;
    raw_recovery_c raw_;
    exfat_recovery_c exfat_;
    recovery_stop_c stop_;
    recovery_base_c* current_ = &stop_;
    scanner_kind_e kind_ = scanner_kind_e::none;
    recovery_file_c writer_;
    // Reads the current scanner's store: stopped before that changes.
    content_pass_job_c content_pass_;
    QString source_device_;  // what the current scan reads
    platform::open_refusal_e open_refusal_ = platform::open_refusal_e::none;
    lost_names_s lost_names_;
    lost_pass_e lost_mode_ = lost_pass_e::on;
    bool lost_deferred_ = false;
    bool content_check_ = true;
    bool content_deferred_ = false;
    std::vector<std::string> text_types_;
    // What the current scan was given, for the search after it.
    volume_item_s scanned_volume_;
    QString scanned_path_;
    platform::byte_source_ptr scanned_source_;
    // The search after the listing, and the scan it became once adopted
    // (current_ then points at it).
    std::unique_ptr<recovery_base_c> lost_;
    std::unique_ptr<recovery_base_c> adopted_;
    std::function<void(const QString& folder)> folder_opener_;
    // The destination that last passed the output check, for which device,
    // and when: rows recovered one by one in a burst are checked once.
    QString passed_destination_;
    QString passed_device_;
    std::chrono::steady_clock::time_point passed_at_{};
};
