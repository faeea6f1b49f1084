// quarvel-cli scan VOLUME [--deep [--text [TYPE,...]]] [--no-lost] [--no-verify] [filter options]: what the file
// table would show, one row per found file that passes the filter.
#include "cli/cli.h"
#include "cli/filter_options.h"
#include "cli/scan_options.h"
#include "cli/scan_progress.h"
#include "cli/scanners.h"
#include "scan/scan_session.h"

#include <cstdio>

namespace {

int run_scan_command(cli::context_s& ctx)
{
    cli::scan_options_s options;
    if (std::string wrong = cli::take_scan_options(ctx.args, &options); !wrong.empty())
        return cli::usage_error(ctx, "scan", wrong);
    if (std::string wrong = cli::take_filter_and_volume(ctx.args, &options); !wrong.empty())
        return cli::usage_error(ctx, "scan", wrong);

    volume_item_s volume;
    if (std::string why; !options.open_volume(ctx.args[0], &volume, &why))
        return cli::fail(why);
    scan_session_c session;
    scan_service_c& service = session.service();
    options.apply(service);
    // A large disk shows what its file system knows at once; the search of
    // the whole volume follows with its own rows.
    service.set_lost_pass_deferred(true);
    std::string reason;
    if (cli::scan_volume(service, volume, options.deep, &reason) != 0)
        return cli::fail(reason);
    result_index_c index;
    index.build(service.scanner(), row_flags_reading(service.kind()));
    cli::print_index_rows(index, cli::listed_files(index, options.filter), ctx.json);
    std::fflush(stdout);
    if (cli::search_lost_files(service)) {
        result_index_c grown;
        grown.build(service.scanner(), row_flags_reading(service.kind()));
        std::vector<uint32_t> added;
        for (const uint32_t file : cli::listed_files(grown, options.filter))
            if (index.find_id(grown.row(file).id) == result_index_c::none)
                added.push_back(file);
        if (!added.empty())
            cli::print_index_rows(grown, added, ctx.json);
    }
    if (ctx.json) {
        cli::print_notes_json(service.scanner().notes());
        cli::print_read_damage_json(service.scanner().read_damage());
    }
    return cli::exit_ok;
}

}  // namespace

// The filter's words (the groups among them) come from the one list of them.
static const std::string scan_usage =
    std::string("scan VOLUME|DISK --at SECTOR [--map IMG.map] [--deep [--text [TYPE,...]]] [--no-lost] [--no-verify] ") +
    cli::filter_options_usage;
QUARVEL_CLI_COMMAND(scan, "scan", scan_usage.c_str(), run_scan_command);
