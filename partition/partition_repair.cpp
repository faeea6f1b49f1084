#include "partition/partition_repair.h"

#include "partition/boot_sector.h"
#include "partition/search_reader.h"
#include "platform/exception_reason.h"
#include "platform/raw_device.h"

#include <QFile>
#include <QMutexLocker>
#include <limits>

void register_partition_types() { qRegisterMetaType<partition_item_s>("partition_item_s"); }

namespace {
std::string local_path(const QString& path) { return QFile::encodeName(path).toStdString(); }
}  // namespace

partition_repair_c::partition_repair_c(QObject* parent) : QThread(parent) {}

partition_repair_c::~partition_repair_c()
{
    requestInterruption();
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

void partition_repair_c::run()
{
    std::string reason;
    if (platform::run_catching("the search", [this] { search(); }, &reason))
        return;
    complete_ = false;
    try {
        set_search_error(std::move(reason));
    } catch (...) {
        // The lock could not be taken: search_complete() is false all the same.
    }
}

void partition_repair_c::search()
{
    std::optional<drive_item_s> drive;
    {
        QMutexLocker lock(&mutex_);
        partitions_.clear();
        search_error_.clear();
        drive = drive_;
    }
    progress_ = 0.0;
    complete_ = false;
    if (!drive || drive->device_path.isEmpty()) {
        set_search_error("no drive was chosen");
        return;
    }

    platform::raw_device_c device;
    if (device.open(local_path(drive->device_path), platform::open_mode::read_unbuffered) != 0) {
        set_search_error(device.error());
        return;
    }
    // The drive's size_bytes comes from its geometry, whole cylinders only,
    // and would leave up to 8 MB at the end of the disk unsearched; the
    // device's own size covers all of it.
    const uint64_t disk_bytes = device.size() != 0 ? device.size() : drive->size_bytes;
    // base * 512 >= disk_bytes, kept in sectors so it cannot overflow.
    const uint64_t disk_sectors = disk_bytes / partition::sector_bytes + (disk_bytes % partition::sector_bytes != 0);

    partition::search_reader_c reader(device, block_bytes);
    if (!reader.ready()) {
        set_search_error("no memory for the read buffer");
        return;
    }
    constexpr size_t examined = step_sectors;  // sectors 0..254; 255 only as a FAT32 test's next sector

    uint64_t base = 0;
    while (base < disk_sectors) {
        if (isInterruptionRequested())
            return;  // stopped: the list and progress stay as they are
        // A short read (the disk's final partial block) or a read error ends
        // the search normally; what was found stays.
        const uint64_t offset = base * partition::sector_bytes;
        int64_t got = 0;
        const uint8_t* block = reader.block_at(offset, &got);
        if (got != int64_t(block_bytes)) {
            if (got < 0)
                set_search_error("read error at sector " + std::to_string(base) + ": " + device.error());
            else if (offset + block_bytes <= disk_bytes)
                set_search_error("the disk ended early, at byte " + std::to_string(offset + uint64_t(got)));
            break;
        }

        size_t j = 0;
        partition_item_s found;
        uint64_t length = 0;
        for (; j < examined; ++j) {
            const uint8_t* sector = block + j * partition::sector_bytes;
            // Every boot sector the tests accept ends with 0x55AA; two bytes
            // looked at in place keep the full tests off almost every sector.
            if (sector[510] != 0x55 || sector[511] != 0xAA)
                continue;
            if (partition::is_ntfs_boot_sector(sector)) {
                found = {QStringLiteral("NTFS"), 7, base + j, 0};
                length = partition::ntfs_partition_sectors(sector);
                break;
            }
            if (partition::is_fat32_boot_sector(sector, block_bytes - j * partition::sector_bytes)) {
                found = {QStringLiteral("FAT32"), 12, base + j, 0};
                length = partition::fat32_partition_sectors(sector);
                break;
            }
            const uint64_t at = offset + j * partition::sector_bytes;
            if (const uint64_t sectors = partition::exfat_partition_sectors(device, at, sector)) {
                found = {QStringLiteral("exFAT"), 7, base + j, 0};
                length = sectors;
                break;
            }
        }

        if (j == examined) {
            base += step_sectors;
        } else if (length == 0) {
            // A size field of zero sectors (or NTFS's all ones) describes no
            // partition; look again one sector further on.
            base = found.start_sector + 1;
        } else {
            const uint64_t start = found.start_sector;
            const bool past_any_disk = length - 1 > std::numeric_limits<uint64_t>::max() - start;
            found.end_sector = past_any_disk ? std::numeric_limits<uint64_t>::max() : start + length - 1;
            append(found);
            if (past_any_disk)
                break;
            base = start + length;
        }
        if (base >= disk_sectors)
            break;
        progress_ = double(base) * partition::sector_bytes / double(disk_bytes);
    }
    progress_ = 1.0;
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

int partition_repair_c::write_partition_table(bool drop_confirmed)
{
    repair_outcome_s refusal;
    auto request = table_request(&refusal);
    if (!request) {
        last_repair_ = refusal;
        return -1;
    }
    request->drop_confirmed = drop_confirmed;
    last_repair_ = partition::write_table(*request);
    return last_repair_.result;
}
