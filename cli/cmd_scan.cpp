// quarvel-cli scan VOLUME [--deep]: what the file table would show, one row
// per found file.
#include "cli/cli.h"
#include "cli/scan_progress.h"
#include "cli/scanners.h"

namespace {

int run_scan_command(cli::context_s& ctx)
{
    const bool deep = cli::take_flag(ctx.args, "--deep");
    for (const auto& a : ctx.args)
        if (a.rfind("--", 0) == 0)
            return cli::usage_error(ctx, "scan", "unknown option \"" + a + "\"");
    if (ctx.args.size() != 1)
        return cli::usage_error(ctx, "scan", ctx.args.empty() ? "no volume given" : "more than one volume given");

    volume_item_s volume;
    if (!cli::volume_for_argument(ctx.args[0], &volume))
        return cli::fail("no volume \"" + ctx.args[0] + "\" (see quarvel-cli volumes)");
    scan_service_c service;
    std::string reason;
    if (cli::scan_volume(service, volume, deep, &reason) != 0)
        return cli::fail(reason);
    cli::print_found_rows(cli::sorted_found_rows(service.scanner()), ctx.json, row_flags_reading(service.kind()));
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(scan, "scan", "scan VOLUME [--deep]", run_scan_command);
