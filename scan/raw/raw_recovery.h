// The deep scan: the carving engine searches the raw device and every file it
// finds becomes a 32-byte record, indexed by type name. The same records make
// up the scan result file (*.sav).
#pragma once

#include "engines/carve/carve.h"
#include "scan/raw/raw_names.h"
#include "scan/raw/raw_pieces.h"
#include "scan/raw/scan_file.h"
#include "scan/recovery_base.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Type name (full, as reported) → indices of its records, in callback order.
using raw_type_index_t = std::unordered_map<std::string, std::vector<int64_t>>;

class raw_recovery_c : public recovery_base_c {
    Q_OBJECT
public:
    explicit raw_recovery_c(QObject* parent = nullptr);

    void set_volume(const volume_item_s& volume) override;
    double get_progress() const override;
    void set_progress(double progress) override;
    void set_stop(int code) override;
    int get_stop() const override;
    int get_pause() const override;
    void set_pause(int flag) override;
    int64_t get_read_count() const override { return 0; }
    // The deep scan reports progress only; its count is the records'.
    int64_t get_found_count() const override { return 0; }
    // Zeroes the control block and empties the type index and the records.
    void reset() override;
    // Copies the record's byte range (or its pieces, in order) from the
    // device to a new file at destination. Returns 0 when every byte was copied; -1 for an unknown
    // id, a device that cannot be opened or ends early, a read or write
    // error, and then no file is left.
    int recover_file(int64_t id, const QString& destination) override;
    int get_full_path(int64_t, QString*) override { return 0; }
    // A carved file known by the volume's own entries goes into its folder.
    std::vector<written_folder_s> written_folders(const found_row_s& row) const override;

    // For a deep scan of a volume a file system scan can read: finds that
    // volume's own files before the carving starts, so that carved files
    // get their names (see raw_known_file_s); stop() says the deep scan was
    // stopped meanwhile. Unset: carved files are named by their content.
    using known_files_fn = std::function<std::vector<raw_known_file_s>(const std::function<bool()>& stop)>;
    void set_known_files_source(known_files_fn source) { known_source_ = std::move(source); }

    // The tree's top "/" has no record; each type name is a folder below it.
    bool top_folder(const void** node) const override;
    void sub_folders(const void* folder, std::vector<result_folder_s>* out) const override;
    void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const override;
    void visit_folder_rows(const void* folder, const row_visit_fn& visit) const override;
    QString failure_reason() const override;
    QString selection_refusal(int64_t total_bytes) const override;

    // Loads the engine's configuration "Quarvel.conf" from the program data,
    // with the built-in types named in also_on switched on besides (the
    // plain text the user asked a deep scan to find; names no type has are
    // passed over).
    static void load_engine_config(const std::vector<std::string>& also_on = {});
    // The plain text types a deep scan can be asked to find (txt, csv, ...),
    // off unless asked for.
    static std::vector<std::string> text_types();

    // The found-file callback's target: appends a record, indexes it and
    // names it by its content where that says how.
    void add_record(const char* type_name, int64_t offset, int64_t size);
    // The target for a file in pieces, or found only in part: its record
    // spans the whole length from the first piece's offset, and the pieces
    // are kept beside it. Unsound extents are dropped.
    void add_pieces(const char* type_name, const raw_extent_s* extents, size_t count, bool partial);

    // Writes the scan result file at path: complete or not at all (a file
    // already there is replaced only once the new one is written), never onto
    // the scanned device or image nor on a file system stored on it, and
    // owned by the invoking user under sudo or pkexec. Returns 0, or -1 with
    // a one-line reason in *reason: no records, a device path that does not
    // fit the header, a refused or unwritable place.
    int save_results(const QByteArray& path, std::string* reason = nullptr);
    // Reads a scan result file naming a volume the program offers now (see
    // read_scan_file), or one volume_size accepts. Returns the device path,
    // or an empty string with a one-line reason in *reason; then nothing is
    // changed.
    QString load_results(const QByteArray& path, std::string* reason = nullptr);
    QString load_results(const QByteArray& path, const scan_file_volume_fn& volume_size, std::string* reason = nullptr);

    const std::vector<raw_item_s>& records() const { return records_; }
    const raw_pieces_t& pieces() const { return pieces_; }
    const raw_type_index_t& type_index() const { return type_index_; }
    QString device_path() const { return device_path_; }
    // The type folders, in the index's iteration order.
    std::vector<std::string> type_names() const;
    // The file-table rows of one type folder.
    std::vector<recovery_item_s> rows_for_type(const std::string& type_name) const;

    // Every row with its folder (the type name), folder by folder in the
    // index's iteration order.
    struct folder_row_s {
        std::string folder;
        recovery_item_s row;
    };
    std::vector<folder_row_s> all_rows() const;

    // How many found files lie over unreadable sectors; how many of one
    // record's bytes do (0 for a sound one).
    int64_t unreadable_file_count() const override { return static_cast<int64_t>(unreadable_bytes_.size()); }
    uint64_t unreadable_bytes(int64_t index) const;

protected:
    void run_scan() override;

private:
    void clear_index();
    int32_t row_flags(int64_t index) const;
    // Which records lie over sectors the scan could not read.
    void note_unreadable(const platform::byte_source_c& source);
    void append_record(const char* type_name, int64_t offset, int64_t size);
    void name_record(int64_t index);

    volume_item_s volume_;
    carve_control_s control_;
    raw_type_index_t type_index_;
    std::vector<raw_item_s> records_;
    raw_pieces_t pieces_;
    std::unordered_map<int64_t, uint64_t> unreadable_bytes_;  // by record index
    raw_names_c names_;
    known_files_fn known_source_;
    QString device_path_;
    uint64_t volume_bytes_ = 0;  // the size the records were found in or checked against
    QString open_error_;  // why the last scan could not open the volume
};

// The record's type name: up to the first NUL, at most 8 bytes.
std::string raw_type_name(const raw_item_s& item);
// A carved file's row name: "%08llu.%s" from its index and type name.
QString raw_row_name(int64_t index, const std::string& type_name);
