// quarvel-cli repair DISK --yes [--force]: searches the disk for partitions
// and writes a new sector 0 (boot code and a table of the first four found),
// after saving the old sector to a backup file. --force lets the new table
// drop partitions of the disk's current table that the search did not find.
#include "cli/cli.h"
#include "partition/disk_lookup.h"
#include "partition/partition_repair.h"

#include <QFile>

namespace {

std::string failure_text(const repair_outcome_s& outcome)
{
    std::string message = "repair refused, nothing written: " + outcome.reason;
    if (outcome.status == partition::repair_status::would_drop)
        message += "; add --force to write the table anyway";
    else if (outcome.status == partition::repair_status::failed && !outcome.backup_path.empty())
        message = "repair failed: " + outcome.reason + " (old sector 0 saved to " + outcome.backup_path + ")";
    return message;
}

int run_repair(cli::context_s& ctx)
{
    const bool confirmed = cli::take_flag(ctx.args, "--yes");
    const bool force = cli::take_flag(ctx.args, "--force");
    if (ctx.args.size() != 1)
        return cli::usage_error(ctx, "repair", ctx.args.empty() ? "missing DISK" : "too many arguments");
    if (!confirmed)
        return cli::usage_error(ctx, "repair",
                                "repair overwrites sector 0 of " + ctx.args[0] + "; add --yes to go ahead");
    drive_item_s drive;
    std::string error;
    if (!partition::find_disk(ctx.args[0], &drive, &error))
        return cli::fail(error);

    // What can be refused without the search is refused before it: on a
    // large disk the search takes many minutes.
    const repair_outcome_s early = partition::check_disk_before_search(QFile::encodeName(drive.device_path).toStdString());
    if (early.result != 0)
        return cli::fail(failure_text(early));

    partition_repair_c repair;
    repair.start_search(&drive);
    repair.wait();
    // A table built from half a search could leave out partitions that
    // exist, so an incomplete search writes nothing.
    if (const std::string problem = repair.search_error(); !problem.empty())
        return cli::fail("search incomplete, nothing written: " + problem);

    if (repair.write_partition_table(force) != 0)
        return cli::fail(failure_text(repair.last_repair()));
    const auto found = repair.partitions();
    cli::table_c table({"entry", "file_system", "type", "start_sector", "end_sector"});
    for (size_t i = 0; i < found.size() && i < 4; ++i)
        table.add_row({int64_t(i + 1), found[i].file_system.toStdString(), int64_t(found[i].type),
                       found[i].start_sector, found[i].end_sector});
    table.print(ctx.json);
    const auto& outcome = repair.last_repair();
    const std::string dropped = partition::describe_losses(outcome.dropped);
    if (ctx.json) {
        cli::table_c::print_json_row({"backup_path", "dropped", "note"}, {outcome.backup_path, dropped, outcome.note});
    } else {
        std::printf("old sector 0 saved to %s\n", cli::terminal_escape(outcome.backup_path).c_str());
        if (!dropped.empty())
            std::printf("dropped from the old table: %s\n", cli::terminal_escape(dropped).c_str());
        if (!outcome.note.empty())
            std::printf("%s\n", outcome.note.c_str());
    }
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(repair, "repair", "repair DISK --yes [--force]", run_repair);
