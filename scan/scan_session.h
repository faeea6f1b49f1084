// One scan of one volume as a person lives through it, whichever front end
// drives it: the volume chosen and how it is read, the scan running and
// whether its end has been handled, the passes that follow a listing (the
// check of deleted files, the search for lost files), a copy of found files
// running, the rows that copies found unreadable, and a saved scan loaded in
// place of one. The page draws from it and asks the person what it says to
// ask; quarvel-cli loads and checks destinations through it. No widgets.
#pragma once

#include "jobs/job_note.h"
#include "scan/scan_service.h"
#include "scan/time_left.h"

#include <QString>
#include <cstdint>
#include <unordered_set>
#include <vector>

class scan_session_c {
public:
    scan_service_c& service() { return service_; }
    const scan_service_c& service() const { return service_; }
    const volume_item_s& volume() const { return volume_; }
    bool deep() const { return deep_; }

    // From the start of a scan (or the load of a saved one) until its end
    // has been handled (end_scan): nothing else may start on its scanner or
    // read its store meanwhile.
    bool running() const { return running_; }
    // Whether the shown scan came from a saved file (nothing to save again).
    bool loaded() const { return loaded_; }
    bool checking_contents() const { return checking_; }
    bool searching_lost() const { return searching_lost_; }
    // Whether a copy the session started runs.
    bool recovering() const { return recovering_; }
    // Whether the scanned volume is a block device (a disk that may be
    // failing) rather than an image file.
    bool block_source() const { return block_source_; }

    // Whether volume can be scanned that way at all (a locked volume's file
    // system is learnt only once its disk is opened).
    static bool scannable(const volume_item_s& volume, bool deep);
    // Starts a scan of volume. Returns 0, or -1 with *reason (see
    // scan_service_c::start_scan) while one runs or when it cannot start.
    int start(const volume_item_s& volume, bool deep, QString* reason = nullptr);
    // The same volume again; deep when asked for (the offer after a scan that
    // found nothing), as before otherwise.
    int restart(bool deep, QString* reason = nullptr);

    // The volume a saved scan names, among volumes offered in a list of the
    // front end's: its device path exactly (a prefix would take /dev/sdb for
    // /dev/sdb1 and copy the wrong bytes), and only a volume of a drive the
    // list shows (a named one).
    static scan_service_c::offered_volume_fn offered_in(const std::vector<volume_item_s>& volumes);
    // Opens a saved deep scan (scan_service_c::open_scan_file). Once opened
    // its end is to be handled as a scan's (the session runs until
    // end_scan), and it offers no saving.
    scan_service_c::opened_scan_file_s open_scan_file(const QByteArray& path,
                                                       const scan_service_c::offered_volume_fn& offered);

    // Stop, keeping what was found; false when no scan runs. A paused scan
    // is woken to see it.
    bool request_stop();
    // Pauses a running scan or lets it go on; returns whether it is paused now.
    bool toggle_pause();
    // Ends whatever runs on the scan and drops its results: the passes after
    // it at once, the scan after its current step.
    void abandon();
    // How the scan ended: the stop asked for here, or the scanner's own.
    int stop_code() const;

    // What a scan's end comes to, once its file list is built (listed: it
    // shows rows) or could not be (list_failure). The caller says it.
    struct scan_end_s {
        QString failure;                // the scan or its list could not be made: say so first
        const char* notice = nullptr;   // a notice key (a formatted volume), when no search follows
        bool offer_deep_scan = false;   // nothing found: ask whether to scan deep
        bool offer_saving = false;      // a deep scan's result may be saved
    };
    scan_end_s end_scan(int stop_code, bool nothing_found, bool listed, const QString& list_failure = {});
    // Whether a disk that gave read errors is to be told now to be imaged
    // before it is read again (advice: there is such advice): once a scan.
    bool take_image_advice(bool advice);

    // The search for lost files after a listing has ended.
    enum class lost_end_e {
        none,     // none ran, or it still runs
        waiting,  // a running copy reads the listing: asked again after it
        kept,     // stopped or unreadable: the listing stays as it was
        adopted,  // its scan is the current one now: list it again
    };
    lost_end_e end_lost_pass();
    // A search's end that had to wait for a copy, now that none runs.
    bool lost_end_due() const { return lost_waiting_ && !service_.recovering(); }
    // After an adopted search was listed again: the check of its deleted
    // files starts, and whether to offer the deep scan (found: rows shown).
    bool after_adoption(bool found);
    // The content check's thread ended; false when it was not the current
    // one (a pass started anew outlives the end of the one it replaced).
    bool end_content_pass();
    // Stops the passes after a listing (the file checked or read now is
    // finished); false when none runs or the scan itself still runs.
    bool stop_passes();
    // Refreshes the search's time left; -1 when unknown.
    int64_t lost_seconds_left();

    // Starts copying the rows ids into destination (scan_service_c::
    // start_recovery). Returns 0, or -1 when it could not start.
    int start_recovery(const QDir& destination, std::vector<int64_t> ids, row_lookup_fn lookup,
                       uint64_t needed_bytes);
    // A copy's end: whether the session had started it, and how many of its
    // files were neither written, failed nor skipped (stopped early).
    struct recovery_end_s {
        bool ours = false;
        int64_t left = 0;
    };
    recovery_end_s end_recovery(int64_t written, int64_t failed);
    // A note when destination lies on the scanned device (a disk's other
    // partition, say): allowed, but each file written there may take clusters
    // of files still to be recovered; empty otherwise.
    job_notes_t destination_notes(const QDir& destination) const;

    // Rows a copy found unreadable: remembered so that later verdicts keep
    // the tag. Returns whether id is new; counted when the scanner had not
    // tagged it itself.
    bool add_unreadable_row(int64_t id, bool tagged_by_scanner);
    bool unreadable_row(int64_t id) const { return unreadable_rows_.count(id) != 0; }
    // Files tagged unreadable: the scanner's and the copies' (-1: unknown).
    int64_t unreadable_files() const;
    void forget_unreadable_rows();

    // The page was left: a copy running is asked to end after its file, and
    // the scanner is reset unless a scan still runs.
    void leave();

    // Only for tests of the front ends' questions while a scan runs.
    void set_running_for_tests(bool running) { running_ = running; }

private:
    // A scan started (or a saved one loaded): running until its end is handled.
    void begin(bool loaded);

    scan_service_c service_;
    volume_item_s volume_;
    bool deep_ = false;
    bool running_ = false;
    bool loaded_ = false;
    int requested_stop_ = 0;
    bool paused_ = false;
    bool checking_ = false;
    bool searching_lost_ = false;
    bool lost_waiting_ = false;
    bool lost_nothing_found_ = false;
    time_left_c lost_left_;
    bool recovering_ = false;
    int64_t recovery_total_ = 0;
    bool block_source_ = false;
    bool image_advice_given_ = false;
    std::unordered_set<int64_t> unreadable_rows_;
    int64_t unreadable_found_by_copies_ = 0;
};
