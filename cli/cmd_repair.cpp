// quarvel-cli repair DISK --yes [--force] [--mbr|--gpt]: writes the disk's
// partition table anew, after saving the sectors it replaces to a backup
// file. A GPT disk (its protective MBR or either header survives) gets its
// GPT rebuilt from the sound copy, or from the search when both are gone;
// another disk gets a sector 0 with boot code and a table of the first four
// partitions found (a GPT when an MBR cannot hold them or the disk).
// --mbr/--gpt choose the table; --force lets the new table drop partitions
// of the disk's current table that it does not keep.
#include "cli/cli.h"
#include "partition/disk_lookup.h"
#include "partition/gpt_disk.h"
#include "partition/partition_repair.h"

#include <QFile>
#include <algorithm>
#include <cstdio>

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
    const bool want_mbr = cli::take_flag(ctx.args, "--mbr");
    const bool want_gpt = cli::take_flag(ctx.args, "--gpt");
    if (want_mbr && want_gpt)
        return cli::usage_error(ctx, "repair", "--mbr and --gpt exclude each other");
    const partition::table_kind kind = want_mbr   ? partition::table_kind::mbr
                                       : want_gpt ? partition::table_kind::gpt
                                                  : partition::table_kind::automatic;
    if (ctx.args.size() != 1)
        return cli::usage_error(ctx, "repair", ctx.args.empty() ? "missing DISK" : "too many arguments");
    if (!confirmed)
        return cli::usage_error(ctx, "repair",
                                "repair overwrites the partition table of " + ctx.args[0] + "; add --yes to go ahead");
    drive_item_s drive;
    std::string error;
    if (!partition::find_disk(ctx.args[0], &drive, &error))
        return cli::fail(error);

    // What can be refused without the search is refused before it: on a
    // large disk the search takes many minutes.
    const std::string path = QFile::encodeName(drive.device_path).toStdString();
    const repair_outcome_s early = partition::check_disk_before_search(path, kind);
    if (early.result != 0)
        return cli::fail(failure_text(early));

    repair_outcome_s outcome;
    std::vector<partition_item_s> found;
    if (!partition::repair_needs_search(path, kind)) {
        // A GPT with a sound copy is rebuilt from that copy alone.
        partition::table_request_s request;
        request.device_path = path;
        request.drop_confirmed = force;
        request.kind = kind;
        outcome = partition::write_table(request);
        if (outcome.result != 0)
            return cli::fail(failure_text(outcome));
        if (partition::gpt_state_s gpt; partition::read_gpt_state(path, &gpt) && gpt.primary.sound())
            found = partition::gpt_partitions(gpt.primary, gpt.sector_bytes);
    } else {
        partition_repair_c repair;
        repair.start_search(&drive);
        repair.wait();
        // A table built from half a search could leave out partitions that
        // exist, so an incomplete search writes nothing.
        if (const std::string problem = repair.search_error(); !problem.empty())
            return cli::fail("search incomplete, nothing written: " + problem);
        // The table is built from what could be read; a boot sector among
        // these sectors was not seen.
        for (const auto& r : repair.unreadable())
            std::fprintf(stderr, "quarvel-cli: %s: could not read %s\n", cli::terminal_escape(path).c_str(),
                         partition::describe(r).c_str());
        if (repair.write_partition_table(force, kind) != 0)
            return cli::fail(failure_text(repair.last_repair()));
        outcome = repair.last_repair();
        found = repair.partitions();
    }
    const bool gpt = outcome.written == partition::table_kind::gpt;
    const size_t entries = gpt ? found.size() : std::min<size_t>(found.size(), 4);
    cli::table_c table({"entry", "file_system", "type", "start_sector", "end_sector", "label"});
    for (size_t i = 0; i < entries; ++i)
        table.add_row({int64_t(i + 1), found[i].file_system.toStdString(), int64_t(found[i].type),
                       found[i].start_sector, found[i].end_sector, found[i].label.toStdString()});
    table.print(ctx.json);
    const std::string dropped = partition::describe_losses(outcome.dropped);
    if (ctx.json) {
        cli::table_c::print_json_row({"table", "backup_path", "dropped", "note"},
                                     {std::string(gpt ? "gpt" : "mbr"), outcome.backup_path, dropped, outcome.note});
    } else {
        std::printf("%s written; old sectors saved to %s\n", gpt ? "GPT" : "MBR",
                    cli::terminal_escape(outcome.backup_path).c_str());
        if (!dropped.empty())
            std::printf("dropped from the old table: %s\n", cli::terminal_escape(dropped).c_str());
        if (!outcome.note.empty())
            std::printf("%s\n", outcome.note.c_str());
    }
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(repair, "repair", "repair DISK --yes [--force] [--mbr|--gpt]", run_repair);
