// quarvel-cli recover VOLUME --to DIR [--deep [--text [TYPE,...]]] [--no-lost] [--no-verify] [--all | --folder PATH... |
// --id ID...] [filter options] [--flat] [--skip-unreadable] [--save FILE.sav]: scans, then writes
// the chosen rows that pass the filter into DIR the way the recovery writer
// does, in the order the window would: in their folders when they come from
// several, flat with --flat.
#include "cli/cli.h"
#include "cli/filter_options.h"
#include "cli/recover_output.h"
#include "cli/scan_options.h"
#include "cli/scan_progress.h"
#include "cli/scanners.h"
#include "platform/invoking_user.h"
#include "platform/output_guard.h"
#include "platform/volumes.h"
#include "scan/recover_rows.h"
#include "scan/scan_session.h"
#include "scan/recovery_writer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>

namespace {

bool parse_id(const std::string& text, int64_t* id)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || value < 0)
        return false;
    *id = value;
    return true;
}

int run_recover_command(cli::context_s& ctx)
{
    bool ok = true;
    std::string to;
    const bool has_to = cli::take_option(ctx.args, "--to", &to, &ok);
    if (!ok)
        return cli::usage_error(ctx, "recover", "--to needs a folder");
    std::string save;
    const bool has_save = cli::take_option(ctx.args, "--save", &save, &ok);
    if (!ok)
        return cli::usage_error(ctx, "recover", "--save needs a file name");
    const auto id_texts = cli::take_all_options(ctx.args, "--id", &ok);
    if (!ok)
        return cli::usage_error(ctx, "recover", "--id needs a number");
    const auto folder_paths = cli::take_all_options(ctx.args, "--folder", &ok);
    if (!ok)
        return cli::usage_error(ctx, "recover", "--folder needs a folder path such as /DCIM");
    const bool all = cli::take_flag(ctx.args, "--all");
    cli::scan_options_s scan;
    if (std::string wrong = cli::take_scan_options(ctx.args, &scan); !wrong.empty())
        return cli::usage_error(ctx, "recover", wrong);
    const bool flat = cli::take_flag(ctx.args, "--flat");
    recovery_options_s options;
    options.skip_unreadable = cli::take_flag(ctx.args, "--skip-unreadable");
    if (std::string wrong = cli::take_filter_and_volume(ctx.args, &scan); !wrong.empty())
        return cli::usage_error(ctx, "recover", wrong);
    if (!has_to)
        return cli::usage_error(ctx, "recover", "--to DIR is required");
    // A filter alone chooses from every found file.
    const int ways = int(all) + int(!id_texts.empty()) + int(!folder_paths.empty());
    if (ways > 1 || (ways == 0 && !scan.filter.active()))
        return cli::usage_error(ctx, "recover", "give one of --all, --folder PATH... or --id ID..., or a filter");
    if (has_save && !scan.deep)
        return cli::usage_error(ctx, "recover", "--save keeps a deep-scan result and needs --deep");
    std::set<int64_t> wanted;
    for (const auto& text : id_texts) {
        int64_t id = 0;
        if (!parse_id(text, &id))
            return cli::usage_error(ctx, "recover", "\"" + text + "\" is not a row id");
        wanted.insert(id);
    }

    volume_item_s volume;
    if (std::string why; !scan.open_volume(ctx.args[0], &volume, &why))
        return cli::fail(why);
    // Nothing is written onto what is scanned: refused before the scan, so
    // that no one waits for a scan whose results cannot be kept.
    const std::string device = cli::utf8(volume.device_path);
    const QString folder = QDir(cli::from_utf8(to)).absolutePath();
    std::string refusal = platform::output_refusal(cli::utf8(folder), device, platform::output_kind::folder);
    if (refusal.empty() && has_save)
        refusal = platform::output_refusal(save, device);
    if (!refusal.empty())
        return cli::fail(refusal);
    if (!platform::make_folder_for_user(cli::utf8(folder)))
        return cli::fail("cannot make the folder \"" + to + "\": " + std::strerror(errno));
    // A folder no file can be made in is told before the scan, not as every
    // file failing after it.
    if (const output_check_s check = check_output_folder(folder, volume.device_path); !check.ok())
        return cli::fail(cli::utf8(check.text()));

    scan_session_c session;
    scan_service_c& service = session.service();
    scan.apply(service);
    std::string reason;
    if (cli::scan_volume(service, volume, scan.deep, &reason) != 0)
        return cli::fail(reason);

    // The scan is kept before anything is copied, so a failed copy does not
    // cost the scan.
    if (has_save) {
        raw_recovery_c& raw = service.raw_scanner();
        if (raw.records().empty())
            std::fprintf(stderr, "quarvel-cli: nothing was found; no scan file written\n");
        else if (std::string why; raw.save_results(QByteArray::fromStdString(save), &why) != 0)
            return cli::fail("the scan file was not written: " + why);
    }

    // The same index and filter as the window's, and its order: folder by
    // folder, as the tree numbers them.
    result_index_c index;
    index.build(service.scanner(), row_flags_reading(service.kind()));
    std::vector<uint8_t> chosen(index.file_count(), all || (id_texts.empty() && folder_paths.empty()));
    for (const auto& path : folder_paths) {
        const uint32_t at = index.folder_at_path(cli::from_utf8(path));
        if (at == result_index_c::none)
            return cli::fail("no found folder is \"" + path + "\" (see quarvel-cli scan)");
        const auto& below = index.folder(at);
        std::fill(chosen.begin() + below.first_file, chosen.begin() + below.subtree_files_end, 1);
    }
    int64_t missing = 0;
    for (const int64_t id : wanted) {
        const uint32_t at = index.find_id(id);
        if (at == result_index_c::none) {
            std::fprintf(stderr, "quarvel-cli: no found file has the id %lld\n", static_cast<long long>(id));
            ++missing;
        } else {
            chosen[at] = 1;
        }
    }
    const compiled_filter_c compiled(scan.filter);
    std::vector<found_row_s> rows;
    for (uint32_t file = 0; file < index.file_count(); ++file)
        if (chosen[file] && index.passes(file, compiled))
            rows.push_back(index.found_row(file));

    // A selection from several folders keeps them, below the deepest one
    // they share, unless --flat asks for one folder. Ctrl-C or SIGTERM from
    // here on removes the file under way and reports what was written.
    // Room for what was chosen, before the first file is begun.
    int64_t needed = 0;
    for (const found_row_s& row : rows)
        needed = selection_total(needed, row.item.size);
    if (const output_check_s check = check_output_folder(folder, volume.device_path, uint64_t(needed)); !check.ok())
        return cli::fail(cli::utf8(check.text()));
    // Another partition of the scanned disk is allowed, with the window's warning.
    cli::print_notes_lines(session.destination_notes(QDir(folder)));
    cli::recover_report_c report(folder);
    const cli::stop_on_signal_c stop;
    const recovery_tally_s tally = recover_found_rows(service.scanner(), rows, folder, !flat, report.each(true),
                                                      stop.word(), options, report.list());
    return report.finish(tally, missing, rows.size() + static_cast<size_t>(missing), stop.signal_number(), ctx.json);
}

}  // namespace

// The filter's words (the groups among them) come from the one list of them.
static const std::string recover_usage =
    std::string("recover VOLUME|DISK --at SECTOR --to DIR [--map IMG.map] [--deep [--text [TYPE,...]]] [--no-lost] "
                "[--no-verify] [--all | --folder PATH... | --id ID...] ") +
    cli::filter_options_usage + " [--flat] [--skip-unreadable] [--save FILE.sav]";
QUARVEL_CLI_COMMAND(recover, "recover", recover_usage.c_str(), run_recover_command);
