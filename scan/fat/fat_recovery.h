// The FAT scanner: walks every directory of a FAT volume, deleted ones
// included, and keeps every directory and every deleted entry in a store
// keyed by start cluster; afterwards links entries to their folders and marks
// the folders that hold something recoverable. Files are copied out by
// reading their clusters as one contiguous run from the start cluster.
#pragma once

#include "engines/fat/fat_fs.h"
#include "scan/lost_pass.h"
#include "scan/recovery_base.h"
#include "scan/result_tree.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class fat_trust_c;

struct fat_node_s {
    uint32_t cluster = 0;      // start cluster; the key in the store
    uint32_t parent = 0;       // start cluster of the folder it was found in; 0 = root
    uint32_t size = 0;
    int64_t write_time = 0;    // seconds since 1970
    int64_t create_time = 0;   // seconds since 1970
    uint8_t attributes = 0;    // fat_attr_directory, fat_attr_deleted, ...
    uint8_t inherited = 0;     // 1 when found inside a deleted folder
    uint8_t entry_deleted = 0; // 1 when its own entry is marked deleted
    int32_t trust = 0;         // fat_row_uncertain, ...: how far its copy can be trusted
    QString name;              // long name, else short name; "#" first when deleted
    // What that "#" stands for when the disk still holds it (a long name
    // whose checksum fits, or a live entry inside a deleted folder): one
    // character, or a surrogate pair; zero when it is lost.
    char16_t first[2] = {};
    uint8_t has_files = 0;     // folder holds a recoverable file at some depth
    std::vector<fat_node_s*> children;
};

// How the last scan went, for a one-line report.
struct fat_scan_outcome_s {
    bool opened = false;            // the volume's bytes could be opened
    int root_result = fr_ok;        // opening the root: fr_no_filesystem, fr_disk_error, ...
    // Damage: folders that should have been readable and were not.
    int64_t folders_unopened = 0;   // sub-folders that could not be opened
    int64_t folders_cut_short = 0;  // folders whose reading stopped on an error
    int64_t folders_too_deep = 0;   // folders not entered because of the depth bound
    // Expected: deleted folders read only as far as the clusters that
    // continue them could be found, or not at all, because their chain was
    // freed with them.
    int64_t deleted_folders_cut_short = 0;
    // The folders name nothing while the data area holds data: a volume
    // formatted over its files.
    bool formatted = false;
    // The search of the whole data area for folders no walk reached.
    bool lost_pass_run = false;
    bool lost_pass_stopped = false;     // cut short by a stop
    int64_t lost_read_errors = 0;       // stretches of the data area that could not be read
    int64_t lost_folders = 0;           // folders found by it
    int64_t lost_entries = 0;           // entries listed from them
    int64_t lost_entries_dropped = 0;   // entries past the cap, not listed
    // A failing medium: what the redundancy the volume keeps made up for,
    // and what was lost. Sectors are the volume's own.
    bool boot_from_backup = false;      // the boot sector's copy laid the volume out
    int64_t fat_sectors_mended = 0;     // FAT sectors taken from another copy
    int64_t fat_sectors_lost = 0;       // FAT sectors no copy could give
    uint64_t first_fat_sector_lost = 0;
    int64_t dir_sectors_unreadable = 0; // folder sectors read past, their entries lost
    uint64_t first_dir_sector_unreadable = 0;
    int dir_read_error = 0;             // the medium's reason for the first of them
};

// Which of two entries with the same start cluster the store keeps: whether
// found (met later in the walk) replaces stored. An entry found directly
// beats one inside a deleted folder; a live folder beats everything; of two
// deleted entries the one created later wins; a deleted folder never
// replaces a live one; a live file never replaces anything.
bool fat_found_entry_wins(const fat_node_s& stored, const fat_node_s& found);

class fat_recovery_c : public result_tree::scanner_c<fat_recovery_c, fat_node_s> {
    Q_OBJECT
public:
    // Deepest folder nesting the scan enters; a real FAT path of 260
    // characters cannot nest deeper, a damaged volume can.
    static constexpr int max_depth = 256;
    // The key of the node the lost folders are shown under: cluster 1
    // never starts anything.
    static constexpr uint32_t lost_key = 1;
    // Entries the search lists at most in one scan.
    static constexpr int64_t max_lost_entries = 1 << 20;

    explicit fat_recovery_c(QObject* parent = nullptr);
    ~fat_recovery_c() override;

    void reset() override;
    int recover_file(int64_t id, const QString& destination) override;
    QString written_name(const recovery_item_s& row) const override;
    std::vector<written_folder_s> written_folders(const found_row_s& row) const override;
    QString failure_reason() const override;
    job_notes_t notes() const override;
    const char* notice_key() const override { return outcome_.formatted && outcome_.lost_entries > 0 ? "lost_formatted_notice" : nullptr; }
    const fat_scan_outcome_s& outcome() const { return outcome_; }

    // Whether the result tree shows the node as a file-table row / a folder
    // (one that holds files).
    static bool is_shown_file(const fat_node_s& node);
    static bool is_shown_folder(const fat_node_s& node);
    // The file-table row of a node: its flags are the attribute byte and the
    // trust bits (fat_row_uncertain, ...).
    static recovery_item_s row_of(const fat_node_s& node);

    bool data_offset(int64_t id, uint64_t* offset) override;

protected:
    void run_scan() override;

private:
    // deleted_folder: the folder being read is deleted (its own entry or one
    // above it), so its chain may be freed.
    void scan_directory(const char16_t* path, uint32_t parent, uint8_t inherited, int depth, bool deleted_folder);
    void count_unread_folder(int result, bool deleted_folder, int64_t* damage_counter);
    void count_entry_read();
    void assess_deleted_files();
    void note_media_damage();
    void tag_unreadable_files();
    // The byte ranges of the volume a deleted file's copy reads from its
    // start cluster on (none for a chain still kept, read along it).
    carve::byte_extents_t copy_extents(const fat_node_s& node, fat_trust_c* trust);
    void check_deleted_contents();
    int32_t judge_content(int64_t id, carve::check_budget_s* budget) override;
    bool wait_while_paused();
    bool looks_formatted();
    void harvest_lost_folders();
    void list_lost_cluster(uint32_t cluster, uint32_t folder, const std::unordered_set<uint32_t>& folder_keys);

    fat_scan_outcome_s outcome_;
    QString open_error_;  // why the volume could not be opened
    fat_volume_s fs_;
    // Clusters taken as deleted folders' continuations (none is read as two
    // folders' entries) and what is left of the search budget.
    fat_guess_s guess_;
    // Clusters the walk read as folders; the search for lost ones skips them.
    std::unordered_set<uint32_t> walked_;
    // Deleted folders whose reading stopped at the end of a full cluster:
    // their key and that cluster.
    std::vector<std::pair<uint32_t, uint32_t>> open_tails_;
    int64_t live_entries_named_ = 0;  // live entries met that name a cluster
    // Deleted files whose bytes were found whole in clusters other than
    // the run from their first: where the copy reads them (byte ranges of
    // the volume), by start cluster.
    std::unordered_map<uint32_t, std::vector<std::pair<uint64_t, uint64_t>>> rebuilt_;
    // What the FAT says now, as the content check asks it file by file.
    std::unique_ptr<fat_trust_c> content_trust_;
    // One long-name buffer for every recursion level: each name is copied
    // into its node before the scan descends.
    char16_t long_name_[fat_long_name_units] = {};
};

// The FAT type ("FAT12", "FAT16", "FAT32") the FAT reader mounts source
// as, from its boot sector or, where that cannot be read or is damaged, from
// the FAT32 copy of it; empty when it mounts as neither.
QString fat_file_system_of(const platform::byte_source_ptr& source);

// A node's name as the disk holds it: its name with the "#" undone where
// the first character is known.
QString fat_written_name(const fat_node_s& node);

// A FAT date and time, the local wall clock it stores (summer time as the
// zone had it that day), as seconds since 1970. Returns 0 for a date or
// time no clock can show (the zero date of an entry written without one) or
// one the C library cannot convert.
int64_t fat_time_to_seconds(uint16_t date, uint16_t time);
