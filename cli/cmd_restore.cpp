// quarvel-cli restore DISK BACKUP --yes [--force]: puts the sectors a repair
// saved back onto the disk they came from.
#include "cli/cli.h"
#include "partition/disk_lookup.h"
#include "partition/sector0_backup.h"

#include <QFile>

namespace {

int run_restore(cli::context_s& ctx)
{
    const bool confirmed = cli::take_flag(ctx.args, "--yes");
    const bool force = cli::take_flag(ctx.args, "--force");
    if (ctx.args.size() != 2)
        return cli::usage_error(ctx, "restore", ctx.args.size() < 2 ? "missing DISK or BACKUP" : "too many arguments");
    if (!confirmed)
        return cli::usage_error(ctx, "restore",
                                "restore overwrites sector 0 of " + ctx.args[0] + "; add --yes to go ahead");
    // Only a disk, or an image named with --image: a file named by mistake
    // is not taken for one.
    drive_item_s drive;
    std::string error;
    if (!partition::find_disk(ctx.args[0], &drive, &error, false))
        return cli::fail(error);
    std::string replaced, note;
    bool mismatch = false;
    const std::string path = QFile::encodeName(drive.device_path).toStdString();
    uint64_t sectors = 0;
    if (partition::restore_sector0(path, ctx.args[1], &replaced, &error, &note, force, &mismatch, &sectors) != 0) {
        // Once what it replaces is saved, the write itself may have failed
        // part way; before that nothing was written.
        if (!replaced.empty())
            return cli::fail("restore failed: " + error + " (sector 0 as it was saved to " + replaced + ")");
        if (mismatch)
            error += "; add --force to put it back anyway";
        return cli::fail("restore refused, nothing written: " + error);
    }
    if (ctx.json)
        cli::table_c::print_json_row({"restored_from", "replaced_backup_path", "note", "sectors"},
                                     {ctx.args[1], replaced, note, sectors});
    else if (sectors > 1)
        std::printf("%llu sectors of %s restored from %s; the sectors they replaced are saved to %s\n%s%s",
                    static_cast<unsigned long long>(sectors), cli::terminal_escape(path).c_str(),
                    cli::terminal_escape(ctx.args[1]).c_str(), cli::terminal_escape(replaced).c_str(), note.c_str(),
                    note.empty() ? "" : "\n");
    else
        std::printf("sector 0 of %s restored from %s; the sector it replaced is saved to %s\n%s%s",
                    cli::terminal_escape(path).c_str(), cli::terminal_escape(ctx.args[1]).c_str(),
                    cli::terminal_escape(replaced).c_str(), note.c_str(), note.empty() ? "" : "\n");
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(restore, "restore", "restore DISK BACKUP --yes [--force]", run_restore);
