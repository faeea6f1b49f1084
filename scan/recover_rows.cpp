#include "scan/recover_rows.h"

#include "scan/safe_name.h"

QString recovery_target_path(const QString& folder, const QString& name)
{
    QString base = folder;
    while (base.size() > 1 && base.endsWith('/'))
        base.chop(1);
    if (!base.endsWith('/'))
        base += '/';
    return base + safe_file_name(name);
}

int recover_row(recovery_base_c& scanner, const recovery_row_s& row, const QString& folder, QString* target)
{
    const QString path = recovery_target_path(folder, row.name);
    if (target)
        *target = path;
    return scanner.recover_file(row.id, path);
}

recovery_tally_s recover_rows(recovery_base_c& scanner, const std::vector<recovery_row_s>& rows,
                              const QString& folder, const recovery_progress_fn& each,
                              const std::atomic<int>* cancel)
{
    recovery_tally_s tally;
    size_t done = 0;
    for (const auto& row : rows) {
        if (cancel && cancel->load(std::memory_order_relaxed) != 0)
            break;
        const int result = recover_row(scanner, row, folder);
        if (result == 0)
            ++tally.written;
        else
            ++tally.failed;
        ++done;
        if (each)
            each(done, rows.size(), row, result);
    }
    return tally;
}
