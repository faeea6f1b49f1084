// What a finished scan shows on the recovery page: its files grouped by
// folder, the folder tree built from them, and the file table over the
// page's rows.
#pragma once

#include "scan/recovery_base.h"

#include <QAbstractTableModel>
#include <QStandardItemModel>
#include <map>
#include <vector>

// A finished scan's files, by folder path ("/" the top, "/a/b" below; a deep
// scan's folders are its type names, "/jpg").
using found_folders_t = std::map<QString, std::vector<recovery_item_s>>;
found_folders_t found_folders_of(recovery_base_c& scanner);

// The folder tree over found: a top item "/" and one item per folder on the
// way to every folder that holds files. Each item carries its folder path in
// Qt::UserRole. Returns null when nothing was found.
QStandardItemModel* make_folder_tree(const found_folders_t& found, QObject* parent);

// The file table: one row per element of the page's rows, five columns (tick,
// name, size, modified, created). Column 0 carries the tick as a check state.
class file_table_model_c : public QAbstractTableModel {
    Q_OBJECT
public:
    file_table_model_c(std::vector<recovery_item_s>* rows, QObject* parent);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Stores the tick of one row and repaints its cell.
    void set_checked(int row, int value);

private:
    std::vector<recovery_item_s>* rows;
};

#include "scan/recover_rows.h"

#include <QThread>

// Copies a list of rows out of a scanner into a folder on its own thread.
// The rows are copied when it starts, so the page may refill its table while
// it runs; cancel() stops it before the next file.
class file_writer_c : public QThread {
    Q_OBJECT
public:
    using QThread::QThread;
    ~file_writer_c() override;

    // Ignored while running.
    void start_with(recovery_base_c* scanner, std::vector<recovery_row_s> rows, const QString& folder);
    // Stops before the next file and waits for the thread.
    void cancel_and_wait();

    recovery_tally_s tally() const { return tally_; }
    QString folder() const { return folder_; }

protected:
    void run() override;

private:
    recovery_base_c* scanner_ = nullptr;
    std::vector<recovery_row_s> rows_;
    QString folder_;
    recovery_tally_s tally_;
    std::atomic<int> cancel_{0};
};
