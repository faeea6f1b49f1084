#include "partition/partition_repair.h"

#include "ondisk/fs_superblocks.h"
#include "partition/boot_sector.h"
#include "partition/gpt_disk.h"
#include "partition/search_reader.h"
#include "platform/byte_source.h"
#include "platform/partitions.h"
#include "platform/raw_device.h"
#include "platform/rescue_map.h"

#include <QFile>
#include <QMutexLocker>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

void register_partition_types() { qRegisterMetaType<partition_item_s>("partition_item_s"); }

namespace {
std::string local_path(const QString& path) { return QFile::encodeName(path).toStdString(); }
}  // namespace

partition_repair_c::partition_repair_c(QObject* parent) : job_c("the search", parent) {}

partition_repair_c::~partition_repair_c()
{
    request_stop();
    wait();
}

void partition_repair_c::set_drive(const drive_item_s* drive)
{
    QMutexLocker lock(&mutex_);
    if (drive)
        drive_ = *drive;
    else
        drive_.reset();
}

const drive_item_s* partition_repair_c::drive() const
{
    QMutexLocker lock(&mutex_);
    return drive_ ? &*drive_ : nullptr;
}

void partition_repair_c::start_search(const drive_item_s* drive)
{
    set_drive(drive);
    // A new search starts without the stop that ended the last one; a
    // running one is left as it is.
    if (!isRunning())
        status_.clear();
    start();
    if (!isRunning() && !isFinished()) {
        complete_ = false;
        set_search_error("cannot start the search (the system refused a new thread: out of memory?)");
    }
}

std::vector<partition_item_s> partition_repair_c::partitions() const
{
    QMutexLocker lock(&mutex_);
    return partitions_;
}

size_t partition_repair_c::partition_count() const
{
    QMutexLocker lock(&mutex_);
    return partitions_.size();
}

bool partition_repair_c::is_ntfs_boot_sector(const uint8_t* sector) { return partition::is_ntfs_boot_sector(sector); }

bool partition_repair_c::is_fat32_boot_sector(const uint8_t* sector, size_t available)
{
    return partition::is_fat32_boot_sector(sector, available);
}

std::vector<partition::unreadable_sectors_s> partition_repair_c::unreadable() const
{
    QMutexLocker lock(&mutex_);
    return unreadable_;
}

std::string partition_repair_c::search_error() const
{
    QMutexLocker lock(&mutex_);
    return search_error_;
}

void partition_repair_c::set_search_error(std::string text)
{
    QMutexLocker lock(&mutex_);
    search_error_ = std::move(text);
}

void partition_repair_c::append(const partition_item_s& item)
{
    {
        QMutexLocker lock(&mutex_);
        partitions_.push_back(item);
    }
    emit partition_found();
}

void partition_repair_c::run_job()
{
    search();
    if (const std::string error = search_error(); !error.empty())
        fail(QString::fromStdString(error));
}

void partition_repair_c::after_failure() noexcept
{
    complete_ = false;
    try {
        set_search_error(job_outcome().reason.toStdString());
    } catch (...) {
        // The lock could not be taken: search_complete() is false all the same.
    }
}

namespace {
constexpr uint64_t other_fs_stride = uint64_t{1} << 20;  // where other file systems are looked for

// count units of unit bytes in sectors of ss bytes; a length past any disk
// stays past it rather than wrapping round.
uint64_t in_sectors(uint64_t count, uint64_t unit, uint32_t ss)
{
    if (unit == ss)
        return count;
    return count > std::numeric_limits<uint64_t>::max() / unit ? std::numeric_limits<uint64_t>::max() / ss
                                                               : count * unit / ss;
}

// The boot sector at `sector` (byte `at` of the device, `available` bytes of
// the block from it): a found partition's file system, MBR type, first byte
// (`at`, or earlier where `at` holds a backup copy of the boot sector) and
// length in the disk's sectors, or false. A copy whose volume would begin
// before `floor` (inside a partition already found) is no volume here.
bool boot_sector_volume(const platform::byte_source_c& device, uint64_t at, const uint8_t* sector, size_t available,
                        uint32_t ss, uint64_t floor, partition_item_s* found, uint64_t* start, uint64_t* sectors)
{
    // Every boot sector the tests accept ends with 0x55AA; two bytes looked
    // at in place keep the full tests off almost every sector.
    if (sector[510] != 0x55 || sector[511] != 0xAA)
        return false;
    *start = at;
    if (partition::is_ntfs_boot_sector(sector)) {
        const uint16_t bps = partition::le16(sector + 11);
        *found = {QStringLiteral("NTFS"), 7};
        *sectors = in_sectors(partition::ntfs_partition_sectors(sector), bps >= 512 && bps <= 4096 ? bps : ss, ss);
        *start = partition::ntfs_volume_start(device, at, sector, ss);
        return *start >= floor && *start % ss == 0;
    }
    // A FAT12/16 volume is named for what it is before the FAT32 test, whose
    // OEM-name match would call it FAT32 and take a length it does not have.
    const char* fat = nullptr;
    if (const uint64_t fat16 = partition::fat16_volume_bytes(sector, ss, &fat)) {
        *found = {QString::fromLatin1(fat), std::strcmp(fat, "FAT12") == 0 ? 0x01 : 0x06};
        *sectors = fat16 / ss;
        found->efi = partition::fat_root_has_efi(device, at, sector);
        return true;
    }
    if (partition::is_fat32_boot_sector(sector, available, ss)) {
        const uint16_t bps = partition::le16(sector + 11);
        *found = {QStringLiteral("FAT32"), 12};
        *sectors = in_sectors(partition::fat32_partition_sectors(sector), bps >= 512 && bps <= 4096 ? bps : ss, ss);
        *start = partition::fat32_volume_start(device, at, sector, ss);
        if (*start < floor || *start % ss != 0)
            return false;
        found->efi = partition::fat_root_has_efi(device, *start, sector);
        return true;
    }
    if (const uint64_t exfat = partition::exfat_partition_sectors(device, at, sector, start)) {
        *found = {QStringLiteral("exFAT"), 7};
        *sectors = in_sectors(exfat, partition::sector_bytes, ss);
        return *start >= floor && *start % ss == 0;
    }
    return false;
}

// A file system we have no reader for at byte `at` (a 1 MiB boundary):
// recognised by its superblock, confirmed and named by libblkid.
bool other_volume(const std::string& path, uint64_t at, const uint8_t* head, size_t available, uint64_t disk_bytes,
                  uint32_t ss, partition_item_s* found, uint64_t* sectors)
{
    const ondisk::other_fs_s fs = ondisk::recognise_other_fs(head, available);
    if (fs.kind == ondisk::other_fs::none || fs.bytes == 0)
        return false;
    platform::filesystem_info_s info;
    if (!platform::probe_filesystem(path, at, std::min(fs.bytes, disk_bytes - at), &info))
        return false;
    using ondisk::other_fs;
    const bool agrees = fs.kind == other_fs::ext   ? info.type.rfind("ext", 0) == 0
                        : fs.kind == other_fs::xfs   ? info.type == "xfs"
                        : fs.kind == other_fs::btrfs ? info.type == "btrfs"
                        : fs.kind == other_fs::hfsplus ? info.type == "hfsplus"
                                                       : info.type == "swap";
    if (!agrees)
        return false;
    const int32_t type = fs.kind == other_fs::swap ? 0x82 : fs.kind == other_fs::hfsplus ? 0xAF : 0x83;
    *found = {QString::fromStdString(platform::display_filesystem_name(info)), type};
    found->label = QString::fromStdString(info.label);
    *sectors = fs.bytes / ss;
    return true;
}
}  // namespace

void partition_repair_c::search()
{
    std::optional<drive_item_s> drive;
    {
        QMutexLocker lock(&mutex_);
        partitions_.clear();
        unreadable_.clear();
        search_error_.clear();
        drive = drive_;
    }
    set_progress(0.0);
    complete_ = false;
    open_refusal_ = platform::open_refusal_e::none;
    if (!drive || drive->device_path.isEmpty()) {
        set_search_error("no drive was chosen");
        return;
    }

    const std::string path = local_path(drive->device_path);
    auto device = std::make_shared<platform::raw_device_c>();
    if (device->open(path, platform::open_mode::read_unbuffered, platform::device_access::ask) != 0) {
        open_refusal_ = device->refusal();
        set_search_error(device->error());
        return;
    }
    const uint32_t ss = partition::logical_sector_bytes(*device);
    if (ss < partition::sector_bytes || ss > 4096 || block_bytes % ss != 0) {
        set_search_error(path + " has " + std::to_string(ss) + "-byte sectors, which the search does not read");
        return;
    }
    // A failing disk is searched to its end: what cannot be read comes back
    // as zeros, which no test takes for a boot sector, and is reported.
    // Only the search reads through it; the repair writes on its own handle.
    const platform::salvage_source_c source(device, platform::salvage_source_c::default_options());
    // An image saved from a failing disk: what its map does not mark rescued
    // was never read, and is reported as such.
    if (!device->is_block_device() && !platform::rescue_map_for(path).empty()) {
        if (std::string misfit = platform::lay_rescue_map(path, 0, device->size(), source.map().get());
            !misfit.empty()) {
            set_search_error(misfit);
            return;
        }
    }
    uint64_t damage_seen = 0;
    auto note_unreadable = [&] {
        if (source.unreadable_generation() == damage_seen)
            return;
        damage_seen = source.unreadable_generation();
        auto ranges = partition::unreadable_sectors(source.unreadable_all(), ss);
        QMutexLocker lock(&mutex_);
        unreadable_ = std::move(ranges);
    };
    // The drive's size_bytes comes from its geometry, whole cylinders only,
    // and would leave up to 8 MB at the end of the disk unsearched; the
    // device's own size covers all of it.
    const uint64_t disk_bytes = device->size() != 0 ? device->size() : drive->size_bytes;
    // base * ss >= disk_bytes, kept in sectors so it cannot overflow.
    const uint64_t disk_sectors = disk_bytes / ss + (disk_bytes % ss != 0);

    partition::search_reader_c reader(source, block_bytes, device->is_block_device());
    if (!reader.ready()) {
        set_search_error("no memory for the read buffer");
        return;
    }
    // Sectors 0..n-2 of a block are examined; the last one only as the
    // next sector of a FAT32 test, and it starts the next block.
    const uint64_t step = block_bytes / ss - 1;
    std::vector<uint8_t> head(ondisk::other_fs_head_bytes);

    uint64_t base = 0;
    // The first byte after the last partition found: a backup boot sector
    // whose volume would begin before it belongs to no new partition.
    uint64_t floor = 0;
    while (base < disk_sectors) {
        if (stop_point()) {
            note_unreadable();
            return;  // stopped: the list and progress stay as they are
        }
        // A short read (the disk's final partial block) ends the search
        // normally; what was found stays. A read fails outright only where
        // the disk stopped answering.
        const uint64_t offset = base * ss;
        int64_t got = 0;
        errno = 0;
        const uint8_t* block = reader.block_at(offset, &got);
        const int read_errno = errno;
        note_unreadable();
        if (got != int64_t(block_bytes)) {
            if (got < 0)
                set_search_error("the disk stopped answering at sector " + std::to_string(base) + ": " +
                                 platform::read_error_text(read_errno != 0 ? read_errno : EIO));
            else if (offset + block_bytes <= disk_bytes)
                set_search_error("the disk ended early, at byte " + std::to_string(offset + uint64_t(got)));
            break;
        }

        uint64_t j = 0;
        partition_item_s found;
        uint64_t start_byte = 0;
        uint64_t length = 0;
        bool hit = false;
        for (; j < step && !hit; ++j) {
            const uint64_t at = offset + j * ss;
            const uint8_t* sector = block + j * ss;
            hit = boot_sector_volume(source, at, sector, size_t(block_bytes - j * ss), ss, floor, &found, &start_byte,
                                     &length);
            if (!hit && at % other_fs_stride == 0) {
                const uint8_t* view = reader.view(at, head.size());
                size_t available = head.size();
                if (!view) {
                    const int64_t n = source.read_at(at, head.data(), head.size());
                    available = n > 0 ? size_t(n) : 0;
                    view = head.data();
                }
                start_byte = at;
                hit = other_volume(path, at, view, available, disk_bytes, ss, &found, &length);
            }
            if (hit)
                break;
        }

        if (!hit) {
            base += step;
        } else {
            found.start_sector = start_byte / ss;
            found.sector_bytes = ss;
            if (length == 0) {
                // A size field of zero sectors (or NTFS's all ones) describes
                // no partition; look again one sector further on.
                base = base + j + 1;
            } else {
                const uint64_t start = found.start_sector;
                const bool past_any_disk = length - 1 > std::numeric_limits<uint64_t>::max() - start;
                found.end_sector = past_any_disk ? std::numeric_limits<uint64_t>::max() : start + length - 1;
                if (found.label.isEmpty()) {
                    platform::filesystem_info_s info;
                    const uint64_t from = start * ss;
                    const uint64_t span = past_any_disk || length > (disk_bytes - std::min(from, disk_bytes)) / ss
                                              ? disk_bytes - std::min(from, disk_bytes)
                                              : length * ss;
                    if (from < disk_bytes && platform::probe_filesystem(path, from, span, &info))
                        found.label = QString::fromStdString(info.label);
                }
                append(found);
                if (past_any_disk)
                    break;
                base = start + length;
                floor = base > std::numeric_limits<uint64_t>::max() / ss ? std::numeric_limits<uint64_t>::max()
                                                                          : base * ss;
            }
        }
        if (base >= disk_sectors)
            break;
        set_progress(double(base) * ss / double(disk_bytes));
    }
    note_unreadable();
    set_progress(1.0);
    complete_ = search_error().empty();
}

std::optional<partition::table_request_s> partition_repair_c::table_request(repair_outcome_s* refusal) const
{
    using partition::repair_status;
    *refusal = {};
    if (isRunning()) {
        refusal->status = repair_status::search_running;
        refusal->reason = "the partition search is still running";
        return std::nullopt;
    }
    QMutexLocker lock(&mutex_);
    if (!drive_ || drive_->device_path.isEmpty()) {
        refusal->status = repair_status::no_drive;
        refusal->reason = "no drive was chosen";
        return std::nullopt;
    }
    if (!complete_) {
        refusal->status = repair_status::search_incomplete;
        refusal->reason = "the partition search did not pass the whole disk" +
                          (search_error_.empty() ? std::string(" (it was stopped)") : " (" + search_error_ + ")") +
                          "; a table built from part of it could leave out partitions that exist";
        return std::nullopt;
    }
    partition::table_request_s request;
    request.device_path = local_path(drive_->device_path);
    if (drive_->geometry)
        request.geometry = *drive_->geometry;
    request.partitions = partitions_;
    return request;
}

int partition_repair_c::write_partition_table(bool drop_confirmed, partition::table_kind kind)
{
    repair_outcome_s refusal;
    auto request = table_request(&refusal);
    if (!request) {
        last_repair_ = refusal;
        return -1;
    }
    request->drop_confirmed = drop_confirmed;
    request->kind = kind;
    last_repair_ = partition::write_table(*request);
    return last_repair_.result;
}
