// The NTFS scanner: drives the NTFS engine over a volume's MFT, keeps every
// directory and every deleted file by record number, links them into a tree
// under the root (record 5) and copies a deleted file out through the engine.
#pragma once

#include "engines/ntfs/ntfs_engine.h"
#include "scan/lost_pass.h"
#include "scan/recovery_base.h"
#include "scan/result_tree.h"

#include <QString>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

// One file record as the engine delivers it, plus what the scanner adds.
struct ntfs_node_s {
    int64_t number = 0;      // MFT record number; the key in the store
    int64_t parent = 0;      // record number of the parent directory (root: 5, its own parent)
    int64_t size = 0;
    int64_t time_a = 0;      // creation, seconds since 1970; the row's date2
    int64_t time_b = 0;      // last modification, seconds since 1970; the row's date1
    uint32_t flags = 0;      // ntfs_engine::flag_* bits
    uint16_t sequence = 0;         // the record's own sequence number
    uint16_t parent_sequence = 0;  // sequence number the parent reference expects
    QString name;            // a named stream's row: "file.ext:stream"
    uint8_t has_files = 0;   // a directory holding a file at some depth
    uint8_t content_share = 0;  // a damaged file: the share sound from its start in percent plus one, 0 unknown
    std::vector<ntfs_node_s*> children;
};

class ntfs_recovery_c : public result_tree::scanner_c<ntfs_recovery_c, ntfs_node_s> {
    Q_OBJECT
public:
    // Root directory, and the synthetic folder that holds everything whose
    // chain of parents does not reach the root. MFT record numbers are 48-bit,
    // so the synthetic number can never clash with a real record.
    static constexpr int64_t root_number = 5;
    static constexpr int64_t orphan_folder_number = int64_t(1) << 48;
    static constexpr int64_t last_system_number = 11;  // records 0..11 are never shown
    // A named stream's row has an id of its own beside its file's record
    // number: the flag, the stream's index in its file, the record number.
    static constexpr int64_t stream_id_flag = int64_t(1) << 62;
    static int64_t stream_id(int64_t record, size_t index) {
        return stream_id_flag | int64_t(index) << 48 | record;
    }
    static int64_t record_of_id(int64_t id) { return id & ((int64_t(1) << 48) - 1); }
    // The store's key of the file a row (a stream's too) stands for.
    static int64_t node_key_of(int64_t id) {
        return (id & stream_id_flag) ? id & ~(stream_id_flag | int64_t(0xFF) << 48) : id;
    }
    // Records harvested from outside the live MFT: the flag and their index
    // in the harvest; the folders they are shown in: "Lost folders" at the
    // top and "Folder N" for a folder whose own record is gone.
    static constexpr int64_t harvested_flag = int64_t(1) << 61;
    static constexpr int64_t lost_folder_number = (int64_t(1) << 48) + 1;
    static constexpr int64_t missing_folder_flag = int64_t(1) << 60;

    // Here the search of the whole volume (set_lost_pass) harvests MFT
    // records, and the content check (set_content_check) covers harvested
    // files as well as deleted ones, wherever their clusters are free.
    const char* notice_key() const override {
        return harvest_.formatted && harvest_.rows > 0 ? "lost_formatted_notice" : nullptr;
    }

    // What the harvest of the last scan did.
    struct harvest_outcome_s {
        bool run = false;
        bool formatted = false;        // the volume looked freshly formatted
        bool damaged = false;          // its MFT's start was damaged
        bool from_records = false;     // no boot sector: the layout came from the records
        uint64_t volume_start = 0;
        uint32_t cluster_size = 0;
        int64_t rows = 0;              // files listed from it
        ntfs_engine::harvest_result_s result;
    };
    const harvest_outcome_s& harvest_outcome() const { return harvest_; }

    explicit ntfs_recovery_c(QObject* parent = nullptr);
    ~ntfs_recovery_c() override;

    void reset() override;
    int recover_file(int64_t id, const QString& destination) override;
    std::vector<written_folder_s> written_folders(const found_row_s& row) const override;
    // A row the engine marks as readable through the file system is copied
    // from there, but only when the volume is really mounted at its root.
    bool live_source(const recovery_item_s& row, QString* source) override;
    bool data_offset(int64_t id, uint64_t* offset) override;

    QString failure_reason() const override;
    job_notes_t notes() const override;

    // The store, read only after the thread has finished.
    const std::unordered_map<int64_t, ntfs_node_s>& nodes() const { return store(); }
    // Returns the node with this record number, or nullptr.
    const ntfs_node_s* find_node(int64_t number) const { return node(number); }

    // Whether the page shows the node as a folder of the tree / a file-table row.
    static bool is_shown_folder(const ntfs_node_s& node);
    static bool is_shown_file(const ntfs_node_s& node);
    // The file-table row of a node. A damaged file's row carries its intact
    // share in the top seven bits, as FAT and exFAT rows do, in place of
    // flag_engine_extract (which every such file has).
    static recovery_item_s row_of(const ntfs_node_s& node);

    // Whether an engine scan is open (it stays open for recover_file).
    bool engine_open() const;
    // The engine's start-up result of the last scan: 0 when the volume was
    // opened, negative when it was refused (see ntfs_scan_startup).
    int startup_result() const { return startup_result_; }
    // What the engine met in the last scan (damaged records skipped, ...).
    const ntfs_engine::scan_stats_s& engine_stats() const { return engine_stats_; }

protected:
    void run_scan() override;
    int32_t judge_content(int64_t id, carve::check_budget_s* budget) override;

private:
    void log_startup_failure(int line, int result);
    void add_stream_rows(const ntfs_node_s& file);
    // The named data stream a stream row (by its id) stands for; empty for
    // any other id.
    QString stream_of(int64_t id) const;
    void attach_orphans();
    void harvest_lost_records();
    void check_deleted_contents();
    ntfs_engine::harvest_hooks_s harvest_hooks();

    alignas(8) std::array<uint8_t, ntfs_engine::context_size> context_{};
    int startup_result_ = 0;
    QString open_error_;  // why the volume could not be opened
    ntfs_engine::scan_stats_s engine_stats_;
    ntfs_engine::startup_report_s startup_report_;
    // Few files have named streams, so their names are kept here by row id
    // rather than in every node: a node of 104 bytes takes a 128-byte block
    // of the allocator, where one more string made it 160.
    std::unordered_map<int64_t, QString> streams_;
    harvest_outcome_s harvest_;
};
