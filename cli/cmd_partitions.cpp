// quarvel-cli partitions DISK: the disk's GPT state when it is a GPT disk,
// then the partition search, one row per partition found on the disk, and
// the sectors it could not read.
#include "cli/cli.h"
#include "partition/disk_lookup.h"
#include "partition/gpt_disk.h"
#include "partition/partition_repair.h"
#include "platform/raw_device.h"

#include <QFile>
#include <cstdio>
#include <unistd.h>

namespace {

// Each range the search could not read: a line on stderr, and with --json an
// object after the partitions' (its "unreadable" field tells it apart).
void print_unreadable(const cli::context_s& ctx, const std::vector<partition::unreadable_sectors_s>& ranges,
                      const drive_item_s& drive)
{
    for (const auto& r : ranges) {
        std::fprintf(stderr, "quarvel-cli: %s: could not read %s\n",
                     cli::terminal_escape(QFile::encodeName(drive.device_path).toStdString()).c_str(),
                     partition::describe(r).c_str());
        if (ctx.json)
            cli::table_c::print_json_row({"unreadable", "first_sector", "sector_count", "errno", "reason"},
                                    {int64_t(1), r.first_sector, r.sector_count, int64_t(r.error), r.reason});
    }
}

// Runs the search to its end, showing progress on a terminal.
void search(partition_repair_c& search_thread, const drive_item_s& drive)
{
    search_thread.start_search(&drive);
    const bool show = isatty(STDERR_FILENO);
    while (!search_thread.wait(500))
        if (show)
            std::fprintf(stderr, "\rsearching %5.1f%%", search_thread.get_progress() * 100.0);
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

    // A disk this account may not read is asked for by the search itself,
    // once; its GPT state is then not told.
    const std::string path = QFile::encodeName(drive.device_path).toStdString();
    partition::gpt_state_s gpt;
    const bool readable = platform::can_read_device(path);
    if (readable && !partition::read_gpt_state(path, &gpt, &error))
        return cli::fail(error);
    if (gpt.is_gpt()) {
        auto copy_state = [](const partition::gpt_copy_s& c) {
            return c.sound() ? std::string("sound") : c.present ? "damaged: " + c.problem : std::string("missing");
        };
        const std::vector<std::string> columns = {"gpt_primary", "gpt_backup", "protective_mbr", "sector_bytes"};
        const std::vector<cli::value_t> values = {copy_state(gpt.primary), copy_state(gpt.backup),
                                                  std::string(gpt.protective_mbr ? "present" : "missing"),
                                                  int64_t(gpt.sector_bytes)};
        if (ctx.json)
            cli::table_c::print_json_row(columns, values);
        else
            std::printf("GPT: %s\n", gpt.summary().c_str());
    }

    partition_repair_c search_thread;
    search(search_thread, drive);
    if (search_thread.open_refusal() != platform::open_refusal_e::none)
        return cli::fail(platform::with_way_out(search_thread.search_error(), search_thread.open_refusal()));
    const auto found = search_thread.partitions();
    cli::table_c table({"file_system", "type", "start_sector", "end_sector", "label"});
    for (const auto& p : found)
        table.add_row({p.file_system.toStdString(), int64_t(p.type), p.start_sector, p.end_sector,
                       p.label.toStdString()});
    table.print(ctx.json);
    print_unreadable(ctx, search_thread.unreadable(), drive);
    const std::string problem = search_thread.search_error();
    if (!problem.empty())
        return cli::fail("search incomplete: " + problem);
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(partitions, "partitions", "partitions DISK", run_partitions);
