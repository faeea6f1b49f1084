#include "partition/table_writer.h"

#include "partition/boot_sector.h"
#include "partition/gpt_disk.h"
#include "partition/mbr_layout.h"
#include "ondisk/partition_table.h"
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

constexpr uint64_t mbr_limit_bytes = uint64_t{1} << 41;  // 2 TiB of 512-byte sectors

// The cheap refusals on an open device; result 0 when none applies. Fills
// sector 0's first 512 bytes and the disk's GPT state.
repair_outcome_s check_open_disk(const std::string& path, const platform::raw_device_c& device, table_kind kind,
                                 sector_t* old_sector, gpt_state_s* gpt)
{
    *gpt = read_gpt_state(device);
    if (gpt->sector_bytes != sector_bytes && gpt->sector_bytes != 4096)
        return refused(repair_status::sector_size,
                       path + " has " + std::to_string(gpt->sector_bytes) +
                           "-byte sectors; a partition table is written only for 512- or 4096-byte sectors");
    *old_sector = sector_t{};
    if (device.read_at(0, old_sector->data(), old_sector->size()) != int64_t(old_sector->size()))
        return refused(repair_status::failed, "cannot read sector 0 of " + path + ": " + device.error());
    if (kind == table_kind::mbr && gpt->is_gpt())
        return refused(repair_status::gpt_disk,
                       "the disk holds a GPT (" + gpt->summary() +
                           "); a master boot record written over it would hide its partitions: repair the GPT");
    if (kind != table_kind::mbr && gpt->whole())
        return refused(repair_status::nothing_to_repair,
                       "the GPT is whole: both copies and the protective MBR are sound; there is nothing to repair");
    platform::filesystem_info_s fs;
    // The open device too: a person who was handed a descriptor cannot open
    // the path themselves, and the check must not lapse then.
    if ((platform::probe_filesystem(path, 0, device.size(), &fs) ||
         platform::probe_filesystem(device, 0, device.size(), &fs)) &&
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

bool mbr_has_entries(const sector_t& s)
{
    if (!ondisk::has_table_signature(s.data()))
        return false;
    for (int i = 0; i < 4; ++i)
        if (ondisk::decode_mbr_entry(s.data(), i).used())
            return true;
    return false;
}

table_kind resolve_kind(table_kind kind, const gpt_state_s& gpt, const sector_t& sector0, uint64_t disk_bytes,
                        const std::vector<partition_item_s>& found)
{
    if (kind != table_kind::automatic)
        return kind;
    if (gpt.is_gpt())
        return table_kind::gpt;
    if (!mbr_has_entries(sector0) && disk_bytes / gpt.sector_bytes * sector_bytes > mbr_limit_bytes)
        return table_kind::gpt;
    for (const auto& p : found)
        if (p.end_sector > 0xFFFFFFFFull)
            return table_kind::gpt;
    return table_kind::mbr;
}

bool has_sound_copy(const gpt_state_s& gpt) { return gpt.primary.sound() || gpt.backup.sound(); }
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

repair_outcome_s check_disk_before_search(const std::string& device_path, table_kind kind)
{
    if (std::string in_use = mounted_refusal(device_path); !in_use.empty())
        return refused(repair_status::in_use, std::move(in_use));
    platform::raw_device_c device;
    if (device.open(device_path, platform::open_mode::read, platform::device_access::ask) != 0)
        return refused(repair_status::failed, device.error());
    sector_t old_sector{};
    gpt_state_s gpt;
    return check_open_disk(device_path, device, kind, &old_sector, &gpt);
}

bool repair_needs_search(const std::string& device_path, table_kind kind)
{
    platform::raw_device_c device;
    if (device.open(device_path, platform::open_mode::read, platform::device_access::ask) != 0)
        return true;
    const gpt_state_s gpt = read_gpt_state(device);
    return kind == table_kind::mbr || !gpt.is_gpt() || !has_sound_copy(gpt);
}

table_kind chosen_table_kind(const std::string& device_path, table_kind kind,
                             const std::vector<partition_item_s>& found)
{
    platform::raw_device_c device;
    if (kind != table_kind::automatic || device.open(device_path, platform::open_mode::read, platform::device_access::ask) != 0)
        return kind == table_kind::gpt ? kind : table_kind::mbr;
    sector_t sector0{};
    device.read_at(0, sector0.data(), sector0.size());
    return resolve_kind(kind, read_gpt_state(device), sector0, device.size(), found);
}

std::vector<table_loss_s> partitions_dropped(const std::string& device_path,
                                             const std::vector<partition_item_s>& found, table_kind kind)
{
    uint32_t ss = sector_bytes;
    {
        platform::raw_device_c device;
        if (device.open(device_path, platform::open_mode::read, platform::device_access::ask) == 0) {
            const gpt_state_s gpt = read_gpt_state(device);
            ss = gpt.sector_bytes;
            kind = chosen_table_kind(device_path, kind, found);
            // Rebuilt from its own copy, a GPT keeps that copy's partitions.
            if (kind == table_kind::gpt && has_sound_copy(gpt)) {
                std::vector<partition_item_s> kept = gpt_partitions(gpt.primary.sound() ? gpt.primary : gpt.backup,
                                                                    ss);
                return partitions_dropped_from(device_path, kept, ss, kept.size());
            }
        }
    }
    const size_t used = kind == table_kind::gpt ? found.size() : std::min(found.size(), mbr_entry_count);
    return partitions_dropped_from(device_path, found, ss, used);
}

std::vector<table_loss_s> partitions_dropped_from(const std::string& device_path,
                                                  const std::vector<partition_item_s>& found, uint32_t ss,
                                                  size_t used, const platform::byte_source_c* open_disk)
{
    used = std::min(used, found.size());
    // Read through the path where this process may (libblkid); else through
    // the repair's own descriptor, which needs no second password prompt a
    // person could cancel, or a descriptor asked for: the path alone would
    // read as no table at all.
    platform::byte_source_ptr asked;
    const platform::byte_source_c* disk = nullptr;
    if (!platform::can_read_device(device_path)) {
        if (!open_disk) {
            asked = platform::open_byte_source(device_path, nullptr, platform::device_access::ask);
            if (!asked)
                return {};
        }
        disk = open_disk ? open_disk : asked.get();
    }
    std::vector<table_loss_s> lost;
    for (const auto& p : disk ? platform::read_partitions(*disk) : platform::read_partitions(device_path)) {
        const uint64_t start = p.start_bytes / ss;
        const bool kept = std::any_of(found.begin(), found.begin() + std::ptrdiff_t(used),
                                      [&](const partition_item_s& f) { return f.start_sector == start; });
        if (kept)
            continue;
        table_loss_s loss;
        loss.number = p.number;
        loss.start_sector = start;
        loss.sector_count = std::max<uint64_t>(p.size_bytes / ss, 1);
        platform::filesystem_info_s fs;
        if (disk ? platform::probe_filesystem(*disk, p.start_bytes, p.size_bytes, &fs)
                 : platform::probe_filesystem(device_path, p.start_bytes, p.size_bytes, &fs))
            loss.file_system = platform::display_filesystem_name(fs);
        lost.push_back(loss);
    }
    return lost;
}

namespace {
// The end of both roads once the disk holds the new table. A record of the
// repair that failed to save only costs the menu's shortcut; the backup file
// itself is safe.
repair_outcome_s written(repair_outcome_s out, const std::string& path, platform::raw_device_c& device)
{
    std::string unrecorded;
    record_last_repair({path, out.backup_path}, &unrecorded);
    out.note = reread_table_note(device);
    out.result = 0;
    out.status = repair_status::written;
    return out;
}

// The GPT road of write_table, on a device open for writing whose cheap
// refusals have passed.
repair_outcome_s write_gpt(const table_request_s& request, platform::raw_device_c& device, const gpt_state_s& gpt,
                           const sector_t& old_sector)
{
    const std::string& path = request.device_path;
    const std::vector<uint8_t> sector0(old_sector.begin(), old_sector.end());
    const bool from_copy = has_sound_copy(gpt);
    const gpt_plan_s plan = from_copy ? plan_gpt_from_copy(gpt, sector0)
                                      : plan_new_gpt(gpt.sector_bytes, gpt.disk_sectors, request.partitions, sector0);
    if (!plan.refusal.empty()) {
        repair_outcome_s out = refused(from_copy && gpt.whole() ? repair_status::nothing_to_repair
                                       : request.partitions.empty() && !from_copy ? repair_status::nothing_found
                                                                                  : repair_status::beyond_limit,
                                       plan.refusal);
        out.written = table_kind::gpt;
        return out;
    }
    repair_outcome_s out;
    out.written = table_kind::gpt;
    out.dropped = partitions_dropped_from(path, plan.partitions, gpt.sector_bytes, plan.partitions.size(), &device);
    if (!out.dropped.empty() && !request.drop_confirmed) {
        out.status = repair_status::would_drop;
        out.reason = "the disk's current partition table has partitions the new GPT would drop: " +
                     describe_losses(out.dropped);
        return out;
    }
    std::vector<sector_range_s> saved;
    if (!read_ranges(device, gpt_backup_ranges(gpt.sector_bytes, gpt.disk_sectors), &saved, &out.reason))
        return out;
    out.backup_path = save_sector_backup(path, identify_disk(path, device.size()), saved, &out.reason);
    if (out.backup_path.empty())
        return out;
    if (write_ranges_verified(device, plan.writes, &out.reason) != 0)
        return out;
    return written(std::move(out), path, device);
}
}  // namespace

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
    gpt_state_s gpt;
    if (repair_outcome_s checked = check_open_disk(path, device, request.kind, &old_sector, &gpt); checked.result != 0)
        return checked;
    if (resolve_kind(request.kind, gpt, old_sector, device.size(), request.partitions) == table_kind::gpt)
        return write_gpt(request, device, gpt, old_sector);
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
    out.dropped = partitions_dropped_from(path, request.partitions, gpt.sector_bytes, mbr_entry_count, &device);
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
    return written(std::move(out), path, device);
}

}  // namespace partition
