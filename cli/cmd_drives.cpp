// quarvel-cli drives / volumes: what the drive and volume pages would offer.
#include "cli/cli.h"
#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "platform/drive_table.h"

#include <cstdio>

namespace {

std::string local(const QString& text) { return text.toLocal8Bit().toStdString(); }

int run_drives(cli::context_s& ctx)
{
    if (!ctx.args.empty())
        return cli::usage_error(ctx, "drives", "unexpected argument \"" + ctx.args.front() + "\"");
    enumerate_drives();
    for (const QString& skipped : skipped_drives())
        std::fprintf(stderr, "quarvel-cli: %s cannot be opened; left out\n", local(skipped).c_str());
    // locked 1: this user may not read the disk yet; using it asks for the
    // password (udisks2 or pkexec).
    cli::table_c table({"number", "device_path", "size_bytes", "locked"});
    for (size_t i = 1; i < drive_list.size(); ++i)
        table.add_row({int64_t(platform::drive_number_of(local(drive_list[i].device_path))),
                       local(drive_list[i].device_path), drive_list[i].size_bytes,
                       int64_t(drive_list[i].locked ? 1 : 0)});
    table.print(ctx.json);
    return cli::exit_ok;
}

int run_volumes(cli::context_s& ctx)
{
    if (!ctx.args.empty())
        return cli::usage_error(ctx, "volumes", "unexpected argument \"" + ctx.args.front() + "\"");
    enumerate_volumes();
    cli::table_c table({"device_path", "dos_device", "label", "file_system", "root_path", "total_bytes",
                        "free_bytes", "free_space_known", "partition_number", "disk_number",
                        "other_signatures", "locked"});
    for (size_t i = 1; i < volume_list.size(); ++i) {
        const auto& v = volume_list[i];
        table.add_row({local(v.device_path), local(v.dos_device), local(v.label), local(v.file_system),
                       local(v.root_path), v.total_bytes, v.free_bytes, int64_t(v.free_space_known ? 1 : 0),
                       int64_t(v.partition_number), int64_t(v.disk_number), local(v.other_signatures),
                       int64_t(v.locked ? 1 : 0)});
    }
    table.print(ctx.json);
    return cli::exit_ok;
}

}  // namespace

QUARVEL_CLI_COMMAND(drives, "drives", "drives", run_drives);
QUARVEL_CLI_COMMAND(volumes, "volumes", "volumes", run_volumes);
