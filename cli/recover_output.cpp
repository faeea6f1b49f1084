#include "cli/recover_output.h"

#include "cli/cli.h"
#include "cli/scan_progress.h"
#include "cli/scanners.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace cli {

namespace {

std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void on_stop_signal(int number) { stop_signal.store(number, std::memory_order_relaxed); }

struct sigaction previous_int {}, previous_term {};

std::string json_sectors(const unreadable_sectors_s& sectors)
{
    std::string out = "[";
    const uint64_t unit = std::max<uint32_t>(sectors.sector_bytes, 1);
    for (size_t i = 0; i < sectors.ranges.size(); ++i) {
        const auto& r = sectors.ranges[i];
        const uint64_t first = r.offset / unit;
        const uint64_t count = (r.end() + unit - 1) / unit - first;
        out += (i ? ",{" : "{") + std::string("\"first\":") + std::to_string(first) +
               ",\"count\":" + std::to_string(count) + ",\"errno\":" + std::to_string(r.error) + ",\"reason\":\"" +
               json_escape(r.error ? platform::read_error_text(r.error) : std::string("not read")) + "\"}";
    }
    return out + "]";
}

}  // namespace

stop_on_signal_c::stop_on_signal_c()
{
    stop_signal.store(0, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Reads and writes go on through the signal (a read cut short would be
    // taken for an unreadable sector); a second signal ends the program.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, &previous_int);
    sigaction(SIGTERM, &action, &previous_term);
}

stop_on_signal_c::~stop_on_signal_c()
{
    sigaction(SIGINT, &previous_int, nullptr);
    sigaction(SIGTERM, &previous_term, nullptr);
}

const std::atomic<int>* stop_on_signal_c::word() const { return &stop_signal; }

int stop_on_signal_c::signal_number() const { return stop_signal.load(std::memory_order_relaxed); }

recover_report_c::recover_report_c(const QString& folder) : root_(folder.endsWith('/') ? folder : folder + '/') {}

found_progress_fn recover_report_c::each(bool every_success)
{
    return [this, every_success](size_t done, size_t total, const found_row_s& row, int result,
                                 const QString& written) {
        const QString shown = written.startsWith(root_) ? written.mid(root_.size()) : written;
        const unreadable_sectors_s met = last_recovery_unreadable();
        std::string line;
        if (result == 0 && !met.empty())
            line = "wrote " + utf8(shown) + ": " + utf8(unreadable_sectors_text(met)) +
                   " could not be read and hold zeros";
        else if (result == 0 && every_success)
            line = "wrote " + utf8(shown);
        else if (result == recover_skipped_unreadable)
            line = "SKIPPED " + utf8(shown) + ": " + utf8(unreadable_sectors_text(met)) + " could not be read";
        else if (result != 0)
            line = "FAILED " + utf8(row.item.name + ": " + last_recovery_failure());
        if (!line.empty())
            std::fprintf(stderr, "[%zu/%zu] %s\n", done, total, terminal_escape(line).c_str());
        if (!met.empty())
            files_json_ += std::string(files_json_.empty() ? "" : ",") + "{\"file\":\"" + json_escape(utf8(shown)) +
                           "\",\"written\":" + (result == 0 ? "true" : "false") +
                           ",\"sector_bytes\":" + std::to_string(met.sector_bytes) +
                           ",\"sectors\":" + json_sectors(met) + "}";
    };
}

int recover_report_c::finish(const recovery_tally_s& tally, int64_t missing, size_t asked, int stopped_by, bool json)
{
    if (!tally.refusal.isEmpty())
        std::fprintf(stderr, "quarvel-cli: %s\n", terminal_escape(utf8(tally.refusal)).c_str());
    print_notes_lines(tally.notes);
    QString list_why;
    const QString list_path = list_.write_into(root_, &list_why);
    if (!list_path.isEmpty())
        std::fprintf(stderr, "quarvel-cli: %zu file(s) met unreadable sectors; they are listed in %s\n", list_.size(),
                     terminal_escape(utf8(list_path)).c_str());
    else if (!list_why.isEmpty())
        std::fprintf(stderr, "quarvel-cli: the list of files over unreadable sectors was not written: %s\n",
                     terminal_escape(utf8(list_why)).c_str());
    const int64_t failed = tally.failed + missing;
    const int64_t not_done = int64_t(asked) - tally.written - failed - tally.skipped;
    // On a sound disk the counts read as they always have; what only a
    // failing disk or a stop brings is added when it happened.
    const bool met_unreadable = tally.unreadable > 0 || tally.skipped > 0;
    if (json) {
        std::string line = "{\"written\":" + std::to_string(tally.written) + ",\"failed\":" + std::to_string(failed);
        if (met_unreadable)
            line += ",\"unreadable\":" + std::to_string(tally.unreadable) + ",\"skipped\":" +
                    std::to_string(tally.skipped);
        if (stopped_by != 0)
            line += ",\"not_written\":" + std::to_string(std::max<int64_t>(not_done, 0)) + ",\"stopped_by\":\"" +
                    (stopped_by == SIGINT ? "SIGINT" : "SIGTERM") + "\"";
        if (!list_path.isEmpty())
            line += ",\"unreadable_list\":\"" + json_escape(utf8(list_path)) + "\"";
        if (!files_json_.empty())
            line += ",\"unreadable_files\":[" + files_json_ + "]";
        line += "}\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    } else if (met_unreadable) {
        table_c table({"written", "failed", "unreadable", "skipped"});
        table.add_row({tally.written, failed, tally.unreadable, tally.skipped});
        table.print(false);
    } else {
        table_c table({"written", "failed"});
        table.add_row({tally.written, failed});
        table.print(false);
    }
    if (stopped_by != 0)
        return fail(std::string("stopped by ") + (stopped_by == SIGINT ? "SIGINT" : "SIGTERM") + ": " +
                    std::to_string(tally.written) + " file(s) written, " + std::to_string(failed) + " failed, " +
                    std::to_string(std::max<int64_t>(not_done, 0)) + " not written; the file under way was removed");
    if (tally.destination_full > 0)
        return fail(std::to_string(failed) + " of " + std::to_string(asked) +
                    " file(s) could not be recovered; the destination is full");
    if (failed > 0)
        return fail(std::to_string(failed) + " of " + std::to_string(asked) + " file(s) could not be recovered");
    return exit_ok;
}

}  // namespace cli
