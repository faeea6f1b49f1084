// quarvel-cli image SOURCE DEST [--map DEST.map] [--retries N] [--timeout S]:
// saves a disk, a partition or an image into an image file, sound areas
// first, with a rescue map that a later run (or ddrescue) continues.
#include "cli/cli.h"
#include "devices/enumerate.h"
#include "imaging/image_job.h"

#include <QFile>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

std::atomic<int> stop_signal{0};

void on_stop_signal(int signal) { stop_signal.store(signal); }

bool parse_count(const std::string& text, int most, int* value)
{
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::atoi(text.c_str());
    return *value <= most;
}

std::string size_text(uint64_t bytes) { return format_size(bytes).toStdString(); }

std::string time_text(int64_t seconds)
{
    if (seconds < 0)
        return "unknown";
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60));
    else
        std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    return text;
}

std::string progress_line(const imaging::imaging_progress_s& p)
{
    return std::string(imaging::phase_name(p.phase)) + " (pass " + std::to_string(p.pass) + "): rescued " +
           size_text(p.rescued) + " of " + size_text(p.size) + ", unreadable " + size_text(p.unreadable) +
           ", still to read " + size_text(p.untried + p.pending) + ", " + size_text(static_cast<uint64_t>(p.rate)) +
           "/s, time left " + time_text(p.seconds_left);
}

int run_image_command(cli::context_s& ctx)
{
    bool ok = true;
    std::string map;
    std::string value;
    imaging::imaging_options_s options;
    cli::take_option(ctx.args, "--map", &map, &ok);
    if (!ok)
        return cli::usage_error(ctx, "image", "--map needs a path");
    if (cli::take_option(ctx.args, "--retries", &value, &ok) && (!ok || !parse_count(value, 100, &options.retries)))
        return cli::usage_error(ctx, "image", "--retries needs a count from 0 to 100");
    int timeout = 0;
    if (cli::take_option(ctx.args, "--timeout", &value, &ok)) {
        if (!ok || !parse_count(value, 86400, &timeout))
            return cli::usage_error(ctx, "image", "--timeout needs seconds (0: none)");
        options.read_timeout_ms = int64_t{timeout} * 1000;
    }
    for (const auto& a : ctx.args)
        if (a.rfind("--", 0) == 0)
            return cli::usage_error(ctx, "image", "unknown option \"" + a + "\"");
    if (ctx.args.size() != 2)
        return cli::usage_error(ctx, "image", "give the source and the image file to write");

    image_job_c job;
    const QString why = job.prepare(QFile::decodeName(ctx.args[0].c_str()), QFile::decodeName(ctx.args[1].c_str()),
                                    QFile::decodeName(map.c_str()), options);
    if (!why.isEmpty())
        return cli::fail(why.toStdString());

    // Ctrl-C stops after the read under way and writes the map.
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    const bool live = ::isatty(STDERR_FILENO);
    job.start();
    int ticks = 0;
    while (!job.wait(200)) {
        if (stop_signal.load() != 0)
            job.request_stop();
        // A log gets a line every 10 s; a terminal one line kept current.
        if (live)
            std::fprintf(stderr, "\r%s\x1b[K", progress_line(job.imaging_progress()).c_str());
        else if (++ticks % 50 == 0)
            std::fprintf(stderr, "%s\n", progress_line(job.imaging_progress()).c_str());
    }
    const imaging::imaging_progress_s p = job.imaging_progress();
    std::fprintf(stderr, "%s%s\n", live ? "\r" : "", progress_line(p).c_str());
    const job_outcome_s outcome = job.job_outcome();
    if (outcome.end == job_end_e::failed)
        return cli::fail(outcome.reason.toStdString() + " (the map " + job.map_path().toStdString() +
                         " holds what was saved; run the same command to continue)");
    if (!job.finished()) {
        std::fprintf(stderr, "quarvel-cli: stopped; run the same command to continue from %s\n",
                     cli::terminal_escape(job.map_path().toStdString()).c_str());
        return cli::exit_failed;
    }
    if (p.unreadable > 0)
        std::fprintf(stderr, "quarvel-cli: %llu bytes could not be read; %s names them\n",
                     static_cast<unsigned long long>(p.unreadable),
                     cli::terminal_escape(job.map_path().toStdString()).c_str());
    if (ctx.json)
        cli::table_c::print_json_row({"image", "map", "size", "rescued", "unreadable"},
                                     {job.dest_path().toStdString(), job.map_path().toStdString(), p.size, p.rescued,
                                      p.unreadable});
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(image, "image", "image SOURCE DEST [--map DEST.map] [--retries N] [--timeout SECONDS]",
                    run_image_command);
