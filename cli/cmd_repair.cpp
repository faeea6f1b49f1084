// quarvel-cli repair DISK --yes: searches the disk for partitions and writes
// a new sector 0 (boot code and a table of the first four found), after
// saving the old sector to a backup file.
#include "cli/cli.h"
#include "partition/disk_lookup.h"
#include "partition/partition_repair.h"

namespace {

int run_repair(cli::context_s& ctx)
{
    const bool confirmed = cli::take_flag(ctx.args, "--yes");
    if (ctx.args.size() != 1)
        return cli::usage_error(ctx, "repair", ctx.args.empty() ? "missing DISK" : "too many arguments");
    if (!confirmed)
        return cli::usage_error(ctx, "repair",
                                "repair overwrites sector 0 of " + ctx.args[0] + "; add --yes to go ahead");
    drive_item_s drive;
    std::string error;
    if (!partition::find_disk(ctx.args[0], &drive, &error))
        return cli::fail(error);

    partition_repair_c repair;
    repair.start_search(&drive);
    repair.wait();
    // A table built from half a search could leave out partitions that
    // exist, so an incomplete search writes nothing.
    if (const std::string problem = repair.search_error(); !problem.empty())
        return cli::fail("search incomplete, nothing written: " + problem);

    if (repair.write_partition_table() != 0) {
        const auto& outcome = repair.last_repair();
        std::string message = "repair failed: " + outcome.reason;
        if (!outcome.backup_path.empty())
            message += " (old sector 0 saved to " + outcome.backup_path + ")";
        return cli::fail(message);
    }
    const auto found = repair.partitions();
    cli::table_c table({"entry", "file_system", "type", "start_sector", "end_sector"});
    for (size_t i = 0; i < found.size() && i < 4; ++i)
        table.add_row({int64_t(i + 1), found[i].file_system.toStdString(), int64_t(found[i].type),
                       found[i].start_sector, found[i].end_sector});
    table.print(ctx.json);
    const std::string& backup = repair.last_repair().backup_path;
    if (ctx.json)
        cli::table_c::print_json_row({"backup_path"}, {backup});
    else
        std::printf("old sector 0 saved to %s\n", backup.c_str());
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(repair, "repair", "repair DISK --yes", run_repair);
