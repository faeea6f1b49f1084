// Recovering a list of rows into a folder in one call, on the calling
// thread: for quarvel-cli and the benchmarks. Each row goes through
// recover_one, so names are made safe and unique and results counted.
#pragma once

#include "scan/recovery_writer.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

struct recovery_row_s {
    int64_t id = 0;     // the scanner's id of the row
    QString name;       // the row's name as found on the disk
    int32_t flags = 0;  // the row's flags word
};

// Recovers one row into folder. Returns 0 when the file was written,
// negative otherwise; *target, when given, receives the path written.
int recover_row(recovery_base_c& scanner, const recovery_row_s& row, const QString& folder,
                QString* target = nullptr);

// Called after each row with the count done so far, the total, the row and
// its result.
using recovery_progress_fn =
    std::function<void(size_t done, size_t total, const recovery_row_s& row, int result)>;

// Recovers the rows in order into folder, which must exist. Stops before the
// next row once *cancel is non-zero. Returns how many were written and how
// many failed.
recovery_tally_s recover_rows(recovery_base_c& scanner, const std::vector<recovery_row_s>& rows,
                              const QString& folder, const recovery_progress_fn& each = {},
                              const std::atomic<int>* cancel = nullptr);

// Called after each row with the count done so far, the total, the row, its
// result and the path written (empty on failure).
using found_progress_fn =
    std::function<void(size_t done, size_t total, const found_row_s& row, int result, const QString& written)>;

// Recovers found rows in order into folder, which must exist, the way the
// recovery writer does: flat when they come from one folder (or keep_tree
// is false), else in their folders below the deepest one they share. Once
// *cancel is non-zero the file being written is given up and removed, and
// no further row is begun. Files over unreadable sectors are noted in
// *list, when given, under their paths below folder.
recovery_tally_s recover_found_rows(recovery_base_c& scanner, const std::vector<found_row_s>& rows,
                                    const QString& folder, bool keep_tree, const found_progress_fn& each = {},
                                    const std::atomic<int>* cancel = nullptr, recovery_options_s options = {},
                                    unreadable_list_c* list = nullptr);
