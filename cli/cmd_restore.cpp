// quarvel-cli restore DISK BACKUP --yes: puts a sector 0 saved by the repair
// back onto the disk.
#include "cli/cli.h"
#include "partition/disk_lookup.h"
#include "partition/sector0_backup.h"

#include <QFile>

namespace {

int run_restore(cli::context_s& ctx)
{
    const bool confirmed = cli::take_flag(ctx.args, "--yes");
    if (ctx.args.size() != 2)
        return cli::usage_error(ctx, "restore", ctx.args.size() < 2 ? "missing DISK or BACKUP" : "too many arguments");
    if (!confirmed)
        return cli::usage_error(ctx, "restore",
                                "restore overwrites sector 0 of " + ctx.args[0] + "; add --yes to go ahead");
    drive_item_s drive;
    std::string error;
    if (!partition::find_disk(ctx.args[0], &drive, &error))
        return cli::fail(error);
    std::string replaced, note;
    const std::string path = QFile::encodeName(drive.device_path).toStdString();
    if (partition::restore_sector0(path, ctx.args[1], &replaced, &error, &note) != 0) {
        if (!replaced.empty())
            error += " (sector 0 as it was saved to " + replaced + ")";
        return cli::fail("restore failed: " + error);
    }
    if (ctx.json)
        cli::table_c::print_json_row({"restored_from", "replaced_backup_path", "note"}, {ctx.args[1], replaced, note});
    else
        std::printf("sector 0 of %s restored from %s; the sector it replaced is saved to %s\n%s%s", path.c_str(),
                    ctx.args[1].c_str(), replaced.c_str(), note.c_str(), note.empty() ? "" : "\n");
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(restore, "restore", "restore DISK BACKUP --yes", run_restore);
