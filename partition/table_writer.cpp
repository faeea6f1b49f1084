#include "partition/table_writer.h"

#include "partition/boot_sector.h"
#include "partition/mbr_layout.h"
#include "partition/sector0_backup.h"
#include "platform/partitions.h"

#include <algorithm>

namespace partition {

namespace {
repair_outcome_s refused(repair_status status, std::string reason)
{
    repair_outcome_s out;
    out.status = status;
    out.reason = std::move(reason);
    return out;
}

// Sectors 0 and 1 and the last one; each left zero where the disk is too
// short to have it. Returns false when sector 0 cannot be read.
bool read_landmarks(const platform::raw_device_c& device, sector_t* first, sector_t* second, sector_t* last)
{
    *first = *second = *last = sector_t{};
    if (device.read_at(0, first->data(), first->size()) != int64_t(first->size()))
        return false;
    if (device.size() >= 2 * sector_bytes)
        device.read_at(sector_bytes, second->data(), second->size());
    if (device.size() >= 3 * sector_bytes)
        device.read_at((device.size() / sector_bytes - 1) * sector_bytes, last->data(), last->size());
    return true;
}

// The cheap refusals on an open device; result 0 when none applies.
repair_outcome_s check_open_disk(const std::string& path, const platform::raw_device_c& device, sector_t* old_sector)
{
    if (device.sector_size() != sector_bytes)
        return refused(repair_status::sector_size, path + " has " + std::to_string(device.sector_size()) +
                                                       "-byte sectors; a master boot record needs 512-byte sectors");
    sector_t next{}, last{};
    if (!read_landmarks(device, old_sector, &next, &last))
        return refused(repair_status::failed, "cannot read sector 0 of " + path + ": " + device.error());
    if (std::string gpt = gpt_refusal(*old_sector, next, last); !gpt.empty())
        return refused(repair_status::gpt_disk, std::move(gpt));
    platform::filesystem_info_s fs;
    if (platform::probe_filesystem(path, 0, device.size(), &fs) &&
        (fs.type == "vfat" || fs.type == "exfat" || fs.type == "ntfs"))
        return refused(repair_status::whole_disk_volume,
                       "sector 0 holds the boot sector of a " + platform::display_filesystem_name(fs) +
                           " volume that starts at the disk's first sector (formatted without a partition "
                           "table); there is no table to repair, and a table written there would destroy the "
                           "volume");
    repair_outcome_s ok;
    ok.result = 0;
    ok.status = repair_status::written;
    return ok;
}
}  // namespace

std::string describe_losses(const std::vector<table_loss_s>& losses)
{
    std::string text;
    for (const auto& loss : losses) {
        if (!text.empty())
            text += ", ";
        text += "partition " + std::to_string(loss.number) + " (" +
                (loss.file_system.empty() ? std::string() : loss.file_system + ", ") + "sectors " +
                std::to_string(loss.start_sector) + "-" + std::to_string(loss.start_sector + loss.sector_count - 1) +
                ")";
    }
    return text;
}

repair_outcome_s check_disk_before_search(const std::string& device_path)
{
    if (std::string in_use = mounted_refusal(device_path); !in_use.empty())
        return refused(repair_status::in_use, std::move(in_use));
    platform::raw_device_c device;
    if (device.open(device_path, platform::open_mode::read) != 0)
        return refused(repair_status::failed, device.error());
    sector_t old_sector{};
    return check_open_disk(device_path, device, &old_sector);
}

std::vector<table_loss_s> partitions_dropped(const std::string& device_path,
                                             const std::vector<partition_item_s>& found)
{
    const size_t used = std::min(found.size(), mbr_entry_count);
    std::vector<table_loss_s> lost;
    for (const auto& p : platform::read_partitions(device_path)) {
        const uint64_t start = p.start_bytes / sector_bytes;
        const bool kept = std::any_of(found.begin(), found.begin() + std::ptrdiff_t(used),
                                      [&](const partition_item_s& f) { return f.start_sector == start; });
        if (kept)
            continue;
        table_loss_s loss;
        loss.number = p.number;
        loss.start_sector = start;
        loss.sector_count = std::max<uint64_t>(p.size_bytes / sector_bytes, 1);
        platform::filesystem_info_s fs;
        if (platform::probe_filesystem(device_path, p.start_bytes, p.size_bytes, &fs))
            loss.file_system = platform::display_filesystem_name(fs);
        lost.push_back(loss);
    }
    return lost;
}

repair_outcome_s write_table(const table_request_s& request)
{
    if (request.device_path.empty())
        return refused(repair_status::no_drive, "no drive was chosen");
    const std::string& path = request.device_path;
    platform::raw_device_c device;
    std::string error;
    bool busy = false;
    if (open_for_sector0_write(path, device, &error, &busy) != 0) {
        const bool wrong_size = error.find("-byte sectors") != std::string::npos;
        return refused(busy         ? repair_status::in_use
                       : wrong_size ? repair_status::sector_size
                                    : repair_status::failed,
                       std::move(error));
    }
    sector_t old_sector{};
    if (repair_outcome_s checked = check_open_disk(path, device, &old_sector); checked.result != 0)
        return checked;
    {
        std::string why;
        if (why = table_refusal(request.partitions); !why.empty()) {
            const auto& ps = request.partitions;
            const bool at_zero = std::any_of(ps.begin(), ps.end(), [](const auto& p) { return p.start_sector == 0; });
            return refused(ps.empty()  ? repair_status::nothing_found
                           : at_zero   ? repair_status::whole_disk_volume
                                       : repair_status::beyond_limit,
                           std::move(why));
        }
    }

    repair_outcome_s out;
    out.dropped = partitions_dropped(path, request.partitions);
    if (!out.dropped.empty() && !request.drop_confirmed) {
        out.status = repair_status::would_drop;
        out.reason = "the disk's current partition table has partitions the search did not find, which the new "
                     "table would drop: " + describe_losses(out.dropped);
        return out;
    }

    platform::disk_geometry_s geometry = request.geometry ? *request.geometry : device.geometry();
    if (geometry.tracks_per_cylinder == 0 || geometry.sectors_per_track == 0)
        geometry = device.geometry();
    if (geometry.tracks_per_cylinder == 0 || geometry.sectors_per_track == 0)
        geometry = platform::disk_geometry_s{};  // 255 heads, 63 sectors per track
    const sector_t sector = build_master_boot_record(old_sector, request.partitions, geometry.tracks_per_cylinder,
                                                     geometry.sectors_per_track);

    out.backup_path = save_sector0_backup(path, device, old_sector, &out.reason);
    if (out.backup_path.empty())
        return out;
    if (write_sector0_verified(device, sector, &out.reason) != 0)
        return out;
    // The disk now holds the new table; a record that failed to save only
    // costs the menu's shortcut, the backup file itself is safe.
    std::string unrecorded;
    record_last_repair({path, out.backup_path}, &unrecorded);
    out.note = reread_table_note(device);
    out.result = 0;
    out.status = repair_status::written;
    return out;
}

}  // namespace partition
