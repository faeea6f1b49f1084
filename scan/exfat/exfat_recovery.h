// The exFAT scanner: walks every directory of an exFAT volume, deleted ones
// included, and keeps every folder and every deleted file entry set (with
// everything inside a deleted folder) in a store keyed by the set's place on
// the volume; afterwards links entries to their folders and marks the
// folders that hold something recoverable. Files are copied out through the
// clusters their stream names: exactly when contiguous, through the FAT while
// it still holds the chain, else through the free clusters from the first on.
#pragma once

#include "engines/exfat/exfat_volume.h"
#include "scan/lost_pass.h"
#include "scan/recovery_base.h"
#include "scan/result_tree.h"

#include <QString>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Row flags: the low 16 bits are the entry's attributes (0x10 folder), with
// the deleted mark the FAT scanner uses; the high bits say where the data
// was taken from and how much it can be trusted.
inline constexpr int32_t exfat_row_deleted = 0x40;
inline constexpr int32_t exfat_row_contiguous = 0x10000;        // exact: consecutive clusters
inline constexpr int32_t exfat_row_from_fat = 0x20000;          // the FAT still held the chain
inline constexpr int32_t exfat_row_from_free_clusters = 0x40000; // chain gone: free clusters from the first on
inline constexpr int32_t exfat_row_overwritten = 0x80000;       // a cluster now belongs to something else
inline constexpr int32_t exfat_row_incomplete = 0x100000;       // fewer clusters found than the size needs

struct exfat_node_s {
    int64_t id = 0;              // place of the file entry on the volume, in 32-byte entries; 0 = root
    int64_t parent = 0;          // id of the folder it was found in
    QString name;                // the full stored name
    uint64_t size = 0;           // data length
    uint64_t valid_size = 0;     // bytes written; the rest reads as zeros
    int64_t write_time = 0;      // seconds since 1970, UTC
    int64_t create_time = 0;
    uint32_t first_cluster = 0;
    uint16_t attributes = 0;
    uint8_t stream_flags = 0;
    uint8_t deleted = 0;         // its own entry set is deleted
    uint8_t inherited = 0;       // found inside a deleted folder
    int32_t data_flags = 0;      // exfat_row_contiguous ... exfat_row_incomplete
    uint8_t has_files = 0;       // folder holds a recoverable file at some depth
    std::vector<exfat_node_s*> children;

    bool is_directory() const { return attributes & 0x10; }
    bool gone() const { return deleted || inherited; }
};

// How the last scan went, for a one-line report.
struct exfat_scan_outcome_s {
    exfat::open_result opened = exfat::open_result::ok;
    bool backup_boot = false;         // the main boot region was damaged
    int64_t sets_damaged = 0;         // entry sets whose layout or checksum failed
    int64_t names_unhashed = 0;       // sets whose name disagrees with its stored hash
    int64_t folders_cut_short = 0;    // folders whose clusters could not all be read
    int64_t folders_too_deep = 0;     // folders not entered because of the depth bound
    int64_t read_errors = 0;
    // A failing medium: clusters whose allocation bit could not be read,
    // and folder sectors read past (their entries lost). Sectors are the
    // volume's own.
    int64_t allocation_unknown = 0;
    int64_t dir_sectors_unreadable = 0;
    uint64_t first_dir_sector_unreadable = 0;
    int dir_read_error = 0;
    // The folders name nothing while free clusters hold data: a volume
    // formatted over its files.
    bool formatted = false;
    // The search of the whole data area for folders no walk reached.
    bool lost_pass_run = false;
    bool lost_pass_stopped = false;
    int64_t lost_read_errors = 0;
    int64_t lost_folders = 0;          // folders made for clusters no entry names
    int64_t lost_entries = 0;          // entry sets listed from lost clusters
    int64_t lost_entries_dropped = 0;  // past the cap, not listed
};

class exfat_recovery_c : public result_tree::scanner_c<exfat_recovery_c, exfat_node_s> {
    Q_OBJECT
public:
    static constexpr int64_t root_id = 0;
    // Ids of the nodes the search for lost folders adds (entry sets are at
    // places on the volume, never negative): what they are shown under, and
    // a folder for clusters no entry names.
    static constexpr int64_t lost_id = -1;
    static constexpr int64_t lost_folder_id(uint32_t cluster) { return lost_id - 1 - int64_t{cluster}; }
    static constexpr int64_t max_lost_entries = 1 << 20;

    explicit exfat_recovery_c(QObject* parent = nullptr);
    ~exfat_recovery_c() override;

    void reset() override;
    int recover_file(int64_t id, const QString& destination) override;
    std::vector<written_folder_s> written_folders(const found_row_s& row) const override;
    QString failure_reason() const override;
    job_notes_t notes() const override;
    const char* notice_key() const override { return outcome_.formatted && outcome_.lost_entries > 0 ? "lost_formatted_notice" : nullptr; }
    const exfat_scan_outcome_s& outcome() const { return outcome_; }

    // Whether the result tree shows the node as a file-table row / a folder
    // below the root (one that holds files).
    static bool is_shown_file(const exfat_node_s& node) { return !node.is_directory(); }
    static bool is_shown_folder(const exfat_node_s& node)
    {
        return node.is_directory() && node.has_files && node.id != root_id;
    }
    // The file-table row of a node.
    static recovery_item_s row_of(const exfat_node_s& node);

    bool data_offset(int64_t id, uint64_t* offset) override;

protected:
    void run_scan() override;

private:
    struct pending_s {
        int64_t id;
        exfat::cluster_map_s map;
        uint64_t length;
        uint8_t inherited;
        int depth;
    };
    void scan_directory(const pending_s& dir, std::vector<pending_s>* live, std::vector<pending_s>* gone);
    bool wait_while_paused();
    bool looks_formatted();
    void harvest_lost_folders();
    // The byte ranges of the volume the copy of a file reads from the disk,
    // as recover_file reads them.
    std::vector<std::pair<uint64_t, uint64_t>> copy_extents(const exfat_node_s& node);
    void tag_unreadable_files();
    void check_deleted_contents();
    int32_t judge_content(int64_t id, carve::check_budget_s* budget) override;

    exfat_scan_outcome_s outcome_;
    std::unordered_set<uint32_t> entered_;  // first clusters of the folders read
    std::unordered_set<uint32_t> walked_;   // every cluster of the folders read
    int64_t live_sets_ = 0;                 // live entry sets met outside deleted folders
    exfat::volume_c fs_;
    QString open_error_;  // why the volume could not be opened
    // Deleted files whose content was found whole: the byte ranges of the
    // volume the copy reads, by id.
    std::unordered_map<int64_t, std::vector<std::pair<uint64_t, uint64_t>>> checked_;
};

// Whether the exFAT reader finds a usable boot region in source, the main
// one or its backup.
bool exfat_boot_region_found(const platform::byte_source_ptr& source);
