// What a finished scan shows on the recovery page: the folder tree built
// from the scanner's result tree, and the file table over the page's rows.
#pragma once

#include "scan/recovery_base.h"

#include <QAbstractTableModel>
#include <QStandardItemModel>
#include <vector>

// Role under which a tree item carries the scanner's record of its folder.
inline constexpr int folder_node_role = Qt::UserRole + 1;

// The folder tree of a finished scan: a top item "/" and below it every
// folder the scanner shows, each carrying its record (folder_node_role).
// A folder met again on its own path (a damaged store) is not entered.
// Returns null when the scan found nothing.
QStandardItemModel* make_folder_tree(const recovery_base_c& scanner, QObject* parent);

// The scanner's record of the folder at index, or null.
const void* folder_node_at(const QModelIndex& index);

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
