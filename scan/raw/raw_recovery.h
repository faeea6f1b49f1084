// The deep scan: the carving engine searches the raw device and every file it
// finds becomes a 32-byte record, indexed by type name. The same records make
// up the scan result file (*.sav).
#pragma once

#include "engines/carve/carve.h"
#include "scan/recovery_base.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// One carved file, exactly as it is stored in a scan result file.
struct raw_item_s {
    int64_t index = 0;   // position in the record array when it was added
    int64_t offset = 0;  // first byte on the device
    int64_t size = 0;    // length in bytes
    char type[8] = {};   // type name, NUL-padded; 8 bytes have no terminator
};
static_assert(sizeof(raw_item_s) == 32, "a record is 32 bytes in the scan result file");

// Type name (full, as reported) → indices of its records, in callback order.
using raw_type_index_t = std::unordered_map<std::string, std::vector<int64_t>>;

class raw_recovery_c : public recovery_base_c {
    Q_OBJECT
public:
    explicit raw_recovery_c(QObject* parent = nullptr);

    void set_volume(const volume_item_s& volume) override;
    double get_progress() override;
    void set_progress(double progress) override;
    void set_stop(int code) override;
    int get_stop() override;
    int get_pause() override;
    void set_pause(int flag) override;
    int64_t get_read_count() override { return 0; }
    // The deep scan reports progress only; its count is the records'.
    int64_t get_found_count() override { return 0; }
    // Zeroes the control block and empties the type index and the records.
    void reset() override;
    // Copies the record's byte range from the device to a new file at
    // destination. Returns 0 when every byte was copied; -1 for an unknown
    // id, a device that cannot be opened or ends early, a read or write
    // error, and then no file is left.
    int recover_file(int64_t id, const QString& destination) override;
    int get_full_path(int64_t, QString*) override { return 0; }

    // The tree's top "/" has no record; each type name is a folder below it.
    bool top_folder(const void** node) const override;
    void sub_folders(const void* folder, std::vector<result_folder_s>* out) const override;
    void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const override;
    QString failure_reason() const override;

    // Loads the engine's configuration "Quarvel.conf" from the program data.
    static void load_engine_config();

    // The found-file callback's target: appends a record and indexes it.
    void add_record(const char* type_name, int64_t offset, int64_t size);

    // Writes the scan result file. Returns 0, or -1 when there are no
    // records, the device path does not fit the header, or the file cannot
    // be written.
    int save_results(const QByteArray& path);
    // Reads a scan result file. Returns the device path it names, or an
    // empty string when the file is refused; then nothing is changed.
    QString load_results(const QByteArray& path);

    const std::vector<raw_item_s>& records() const { return records_; }
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

protected:
    void run() override;

private:
    void clear_index();

    volume_item_s volume_;
    carve_control_s control_;
    raw_type_index_t type_index_;
    std::vector<raw_item_s> records_;
    QString device_path_;
};

// The record's type name: up to the first NUL, at most 8 bytes.
std::string raw_type_name(const raw_item_s& item);
// A carved file's row name: "%08llu.%s" from its index and type name.
QString raw_row_name(int64_t index, const std::string& type_name);
