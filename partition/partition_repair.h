// The partition search thread and the partition table repair.
//
// run() reads a whole disk in 128 KiB blocks looking for NTFS and FAT32 boot
// sectors and records each one found; write_partition_table() then lays
// master boot code and a table of the first four found partitions over the
// disk's sector 0.
#pragma once

#include "devices/volume_item.h"
#include "partition/partition_item.h"

#include <QMutex>
#include <QThread>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

// What the last write_partition_table() did, for callers that report it.
struct repair_outcome_s {
    int result = -1;
    std::string reason;       // why it failed or was refused; empty on success
    std::string backup_path;  // the old sector 0's copy, once one was saved
};

class partition_repair_c : public QThread {
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
    // Asks a running search to end; it stops before its next block.
    void stop() { requestInterruption(); }

    // The partitions found so far, by increasing start sector. Safe to call
    // while the search runs.
    std::vector<partition_item_s> partitions() const;
    size_t partition_count() const;

    // Why the last search did not pass the whole disk (the device could not
    // be opened, a read failed), or an empty string. A disk's final partial
    // block is never read and is no error.
    std::string search_error() const;

    // Fraction of the disk passed, 0.0 to 1.0.
    double progress() const { return progress_.load(); }

    // Boot-sector tests on a 512-byte sector image; the FAT32 test also reads
    // the following sector (available: bytes of the buffer from sector on).
    static bool is_ntfs_boot_sector(const uint8_t* sector);
    static bool is_fat32_boot_sector(const uint8_t* sector, size_t available);

    // Rewrites sector 0 of the drive: boot code, the disk signature kept, a
    // table of the first four found partitions. The old sector is saved to a
    // backup file first and the written one is read back and compared.
    // Returns 0 when the sector was written and verified, -1 otherwise
    // (refused, nothing written; or the write failed). Refuses while the
    // search runs, without a drive or a found partition, on a GPT disk, a
    // disk whose sectors are not 512 bytes, and for partitions at or beyond
    // sector 2^32.
    int write_partition_table();
    // Details of the last write_partition_table().
    const repair_outcome_s& last_repair() const { return last_repair_; }

signals:
    void partition_found();

protected:
    void run() override;

private:
    void append(const partition_item_s& item);
    void set_search_error(std::string text);
    repair_outcome_s repair_sector0();

    mutable QMutex mutex_;  // guards partitions_, drive_ and search_error_
    std::vector<partition_item_s> partitions_;
    std::string search_error_;
    std::optional<drive_item_s> drive_;
    std::atomic<double> progress_{0.0};
    repair_outcome_s last_repair_;
};
