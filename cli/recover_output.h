// What recover and load print about the files they write: a line per file on
// stderr, the counts (a table, or one JSON object with the files whose copies
// met unreadable sectors), the list of those files beside them, and a stop
// on SIGINT or SIGTERM that removes the file under way.
#pragma once

#include "scan/recover_rows.h"

#include <QString>
#include <atomic>
#include <string>

namespace cli {

// Catches SIGINT and SIGTERM while it lives: the first one sets the word
// (the signal's number), so that the file being written is given up and
// removed and no other is begun; a second one ends the program as usual.
class stop_on_signal_c {
public:
    stop_on_signal_c();
    ~stop_on_signal_c();
    stop_on_signal_c(const stop_on_signal_c&) = delete;
    stop_on_signal_c& operator=(const stop_on_signal_c&) = delete;

    const std::atomic<int>* word() const;
    int signal_number() const;
};

// Gathers what a run wrote and prints it.
class recover_report_c {
public:
    explicit recover_report_c(const QString& folder);

    // The progress call for recover_found_rows: one line per file on stderr
    // (every_success: also for files written whole).
    found_progress_fn each(bool every_success);
    unreadable_list_c* list() { return &list_; }

    // Writes the list beside the files, prints the counts (with missing ids
    // counted as failed) and returns the exit status, after the reason on
    // stderr when something was not written.
    int finish(const recovery_tally_s& tally, int64_t missing, size_t asked, int stopped_by, bool json);

private:
    QString root_;
    unreadable_list_c list_;
    std::string files_json_;
};

}  // namespace cli
