// quarvel-cli load FILE.sav [--to DIR --all] [--skip-unreadable]: a saved deep-scan result,
// listed or recovered without scanning again.
#include "cli/cli.h"
#include "cli/recover_output.h"
#include "cli/scanners.h"
#include "platform/invoking_user.h"
#include "platform/output_guard.h"
#include "scan/raw/raw_recovery.h"
#include "scan/recover_rows.h"

#include "cli/scan_progress.h"
#include "scan/scan_session.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

namespace {

int run_load(cli::context_s& ctx)
{
    bool ok = true;
    std::string to;
    const bool has_to = cli::take_option(ctx.args, "--to", &to, &ok);
    if (!ok)
        return cli::usage_error(ctx, "load", "--to needs a folder");
    const bool all = cli::take_flag(ctx.args, "--all");
    recovery_options_s options;
    options.skip_unreadable = cli::take_flag(ctx.args, "--skip-unreadable");
    if (ctx.args.size() != 1)
        return cli::usage_error(ctx, "load", ctx.args.empty() ? "no scan file given" : "unexpected argument \"" + ctx.args[1] + "\"");
    if (options.skip_unreadable && !has_to)
        return cli::usage_error(ctx, "load", "--skip-unreadable goes with --to");
    if (has_to != all)
        return cli::usage_error(ctx, "load", "--to and --all go together");
    const std::string file = ctx.args[0];

    // The scan file names the device it was made from; only a volume offered
    // now (an image among the --image ones, a disk of this machine) is read.
    scan_session_c session;
    const auto opened = session.open_scan_file(QByteArray::fromStdString(file), scan_service_c::platform_volume);
    using outcome = scan_service_c::opened_scan_file_s::outcome_e;
    // What the window says, in English.
    if (opened.outcome == outcome::volume_missing)
        return cli::fail(file + ": " + cli::utf8(cli::note_english({"resume_volume_missing", {opened.device}})));
    if (opened.outcome != outcome::opened)
        return cli::fail(file + ": " + cli::utf8(cli::note_english({"resume_unreadable", {}})) + " " + opened.reason);
    raw_recovery_c& scanner = session.service().raw_scanner();
    const QString device = opened.device;
    const std::string saved = QFile::encodeName(device).toStdString();

    const auto rows = cli::sorted_found_rows(scanner);
    if (!all) {
        cli::print_found_rows(rows, ctx.json, row_flags_e::deep_scan);
        return cli::exit_ok;
    }
    const QString folder = QDir(cli::from_utf8(to)).absolutePath();
    const std::string refusal = platform::output_refusal(cli::utf8(folder), saved, platform::output_kind::folder);
    if (!refusal.empty())
        return cli::fail(refusal);
    if (!platform::make_folder_for_user(cli::utf8(folder)))
        return cli::fail("cannot make the folder \"" + to + "\": " + std::strerror(errno));
    // Writable, and room for every file, before the first one is begun.
    int64_t needed = 0;
    for (const found_row_s& row : rows)
        needed = selection_total(needed, row.item.size);
    if (const output_check_s check = check_output_folder(folder, device, uint64_t(needed)); !check.ok())
        return cli::fail(cli::utf8(check.text()));
    // Carved files of several kinds go into a folder per kind, as the tree
    // shows them. Ctrl-C or SIGTERM removes the file under way.
    // Another partition of the scanned disk is allowed, with the window's warning.
    cli::print_notes_lines(session.destination_notes(QDir(folder)));
    cli::recover_report_c report(folder);
    const cli::stop_on_signal_c stop;
    const recovery_tally_s tally =
        recover_found_rows(scanner, rows, folder, true, report.each(false), stop.word(), options, report.list());
    return report.finish(tally, 0, rows.size(), stop.signal_number(), ctx.json);
}

}  // namespace

QUARVEL_CLI_COMMAND(load, "load", "load FILE.sav [--to DIR --all] [--skip-unreadable]", run_load);
