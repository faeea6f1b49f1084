// quarvel-cli scan VOLUME [--deep]: what the file table would show, one row
// per found file.
#include "cli/cli.h"
#include "cli/scanners.h"

#include <algorithm>

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
    std::string reason;
    auto scanner = cli::make_scanner(volume, deep, &reason);
    if (!scanner)
        return cli::fail(reason);

    cli::run_scan(*scanner, volume);
    const std::string failure = cli::scan_failure(*scanner, volume);
    if (!failure.empty())
        return cli::fail(failure);
    const std::string warning = cli::scan_warning(*scanner);
    if (!warning.empty())
        std::fprintf(stderr, "quarvel-cli: %s\n", warning.c_str());

    auto rows = cli::found_rows(*scanner);
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.folder != b.folder ? a.folder < b.folder : a.item.name < b.item.name;
    });
    cli::table_c table({"id", "folder", "name", "size", "date1", "date2", "flags"});
    for (const auto& r : rows)
        table.add_row({r.item.id, cli::utf8(r.folder), cli::utf8(r.item.name), r.item.size, r.item.date1,
                       r.item.date2, uint64_t{static_cast<uint32_t>(r.item.flags)}});
    table.print(ctx.json);
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(scan, "scan", "scan VOLUME [--deep]", run_scan_command);
