// The partition search thread and the partition table repair.
//
// run() reads a whole disk in 128 KiB blocks looking for the boot sectors of
// NTFS, FAT12/16/32 and exFAT at every sector, and for ext2/3/4, XFS, Btrfs,
// HFS+ and Linux swap at every 1 MiB, and records each one found;
// write_partition_table() then writes an MBR or a GPT for them.
#pragma once

#include "devices/volume_item.h"
#include "jobs/job.h"
#include "partition/partition_item.h"
#include "partition/table_writer.h"
#include "partition/unreadable_sectors.h"
#include "platform/device_access.h"

#include <QMutex>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

using partition::repair_outcome_s;

class partition_repair_c : public job_c {
    Q_OBJECT
public:
    static constexpr size_t block_bytes = 0x20000;  // 256 sectors per read
    static constexpr uint64_t step_sectors = 255;    // a block's last sector starts the next

    explicit partition_repair_c(QObject* parent = nullptr);
    ~partition_repair_c() override;

    // The drive to search; the record is copied, so the drive list may be
    // rebuilt meanwhile. A running search keeps the drive it began with.
    void set_drive(const drive_item_s* drive);
    // The chosen drive, or null before one was set.
    const drive_item_s* drive() const;

    // Sets the drive and starts the search thread.
    void start_search(const drive_item_s* drive);
    // request_stop() ends a running search before its next block; the list
    // and the progress stay as they are.

    // The partitions found so far, by increasing start sector. Safe to call
    // while the search runs.
    std::vector<partition_item_s> partitions() const;
    size_t partition_count() const;

    // Why the last search did not pass the whole disk (the device could not
    // be opened, a read failed), or an empty string. A disk's final partial
    // block is never read and is no error.
    std::string search_error() const;
    // Why the last search could not open the disk, by kind: none when it
    // opened (search_error then tells any other failure).
    platform::open_refusal_e open_refusal() const { return open_refusal_.load(); }

    // The sectors the last search could not read (so far, while it runs), by
    // first sector. The search goes on past them; a boot sector among them
    // cannot have been seen.
    std::vector<partition::unreadable_sectors_s> unreadable() const;

    // Whether the last search passed the whole disk: not stopped, no error.
    // A table built from less could leave out partitions that exist.
    bool search_complete() const { return complete_.load(); }

    // get_progress(): the fraction of the disk passed, 0.0 to 1.0.

    // Boot-sector tests on a 512-byte sector image; the FAT32 test also reads
    // the following sector (available: bytes of the buffer from sector on).
    static bool is_ntfs_boot_sector(const uint8_t* sector);
    static bool is_fat32_boot_sector(const uint8_t* sector, size_t available);

    // What the repair would write: the drive and the found list, once the
    // search has passed the whole disk. Otherwise a refusal in *refusal
    // (result -1: no drive, search running or incomplete) and no request.
    std::optional<partition::table_request_s> table_request(repair_outcome_s* refusal) const;

    // Rewrites sector 0 of the drive on the calling thread (see
    // partition::write_table for every refusal): boot code, the disk
    // signature kept, a table of the first four found partitions. The old
    // sector is saved to a flushed backup file first; the written one is read
    // back and compared. Returns 0 when the sector was written and verified,
    // -1 otherwise. drop_confirmed: the person agreed to lose partitions of
    // the current table that the search did not find.
    int write_partition_table(bool drop_confirmed = false,
                              partition::table_kind kind = partition::table_kind::automatic);
    // Details of the last write_partition_table().
    const repair_outcome_s& last_repair() const { return last_repair_; }

signals:
    void partition_found();

protected:
    // Runs search(); its error, if any, is also the job's failure.
    void run_job() override;
    // An exception out of search() is the search's error too.
    void after_failure() noexcept override;

private:
    void search();
    void append(const partition_item_s& item);
    void set_search_error(std::string text);

    mutable QMutex mutex_;  // guards partitions_, unreadable_, drive_ and search_error_
    std::vector<partition_item_s> partitions_;
    std::vector<partition::unreadable_sectors_s> unreadable_;
    std::string search_error_;
    std::optional<drive_item_s> drive_;
    std::atomic<bool> complete_{false};
    std::atomic<platform::open_refusal_e> open_refusal_{platform::open_refusal_e::none};
    repair_outcome_s last_repair_;
};
