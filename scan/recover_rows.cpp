#include "scan/recover_rows.h"

#include "scan/recovery_tree.h"

int recover_row(recovery_base_c& scanner, const recovery_row_s& row, const QString& folder, QString* target)
{
    recovery_item_s item;
    item.id = row.id;
    item.name = row.name;
    item.flags = row.flags;
    return recover_one(scanner, QDir(folder), item, target);
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

recovery_tally_s recover_found_rows(recovery_base_c& scanner, const std::vector<found_row_s>& rows,
                                    const QString& folder, bool keep_tree, const found_progress_fn& each,
                                    const std::atomic<int>* cancel, recovery_options_s options,
                                    unreadable_list_c* list)
{
    recovery_tally_s tally;
    if (cancel)
        options.cancel = cancel;
    const QString root = folder.endsWith('/') ? folder : folder + '/';
    recovery_tree_c tree{QDir(folder), keep_tree, scanner.source_path()};
    int64_t total = 0;
    for (const auto& row : rows) {
        tree.add(scanner.written_folders(row));
        total = selection_total(total, row.item.size);
    }
    if (const QString refused = scanner.selection_refusal(total); !refused.isEmpty()) {
        tally.failed = int64_t(rows.size());
        tally.refusal = refused;
        return tally;
    }
    size_t done = 0;
    for (const auto& row : rows) {
        if (cancel && cancel->load(std::memory_order_relaxed) != 0)
            break;
        QString written;
        const int result = recover_in_tree(scanner, tree, row, &written, options);
        count_recovery(result, written.startsWith(root) ? written.mid(root.size()) : written, &tally, list);
        if (result == recover_cancelled)
            break;
        ++done;
        if (each)
            each(done, rows.size(), row, result,
                 result == 0 || result == recover_skipped_unreadable ? written : QString());
    }
    tree.stamp_folders();
    tally.notes = tree.notes();
    return tally;
}
