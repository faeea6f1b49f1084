// Copying found files out of a scanner into a folder: the one routine the
// command line and the recovery writer both use, so that every target name
// goes through the sanitiser and every result is counted the same way.
#pragma once

#include "scan/recovery_base.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

struct recovery_row_s {
    int64_t id = 0;   // the scanner's id of the row
    QString name;     // the row's name as found on the disk
};

struct recovery_tally_s {
    int64_t written = 0;
    int64_t failed = 0;
};

// Returns the path inside folder at which a row named name is written.
// Same-named rows map to the same path, so a later one replaces an earlier.
QString recovery_target_path(const QString& folder, const QString& name);

// Recovers one row into folder through the scanner's recover_file. Returns
// the scanner's result: 0 when the file was written, negative otherwise.
// *target, when given, receives the path written.
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
