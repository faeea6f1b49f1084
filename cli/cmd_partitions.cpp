// quarvel-cli partitions DISK: the partition search, one row per partition
// found on the disk.
#include "cli/cli.h"
#include "partition/disk_lookup.h"
#include "partition/partition_repair.h"

#include <cstdio>
#include <unistd.h>

namespace {

// Runs the search to its end, showing progress on a terminal.
void search(partition_repair_c& search_thread, const drive_item_s& drive)
{
    search_thread.start_search(&drive);
    const bool show = isatty(STDERR_FILENO);
    while (!search_thread.wait(500))
        if (show)
            std::fprintf(stderr, "\rsearching %5.1f%%", search_thread.progress() * 100.0);
    if (show)
        std::fprintf(stderr, "\r                \r");
}

int run_partitions(cli::context_s& ctx)
{
    if (ctx.args.size() != 1)
        return cli::usage_error(ctx, "partitions", ctx.args.empty() ? "missing DISK" : "too many arguments");
    drive_item_s drive;
    std::string error;
    if (!partition::find_disk(ctx.args[0], &drive, &error))
        return cli::fail(error);

    partition_repair_c search_thread;
    search(search_thread, drive);
    const auto found = search_thread.partitions();
    cli::table_c table({"file_system", "type", "start_sector", "end_sector"});
    for (const auto& p : found)
        table.add_row({p.file_system.toStdString(), int64_t(p.type), p.start_sector, p.end_sector});
    table.print(ctx.json);
    const std::string problem = search_thread.search_error();
    if (!problem.empty())
        return cli::fail("search incomplete: " + problem);
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(partitions, "partitions", "partitions DISK", run_partitions);
