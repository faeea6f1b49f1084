// The partition page's list model and row painter. Row 0 is a drawn column
// header, not a found partition: the found list itself never holds it, so it
// cannot reach the repair, and the partitions are numbered from 0 below it.
#pragma once

#include "partition/partition_item.h"

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <vector>

class partition_model_c : public QAbstractListModel {
    Q_OBJECT
public:
    // A snapshot of the found list; a newer list gets a new model.
    explicit partition_model_c(std::vector<partition_item_s> found, QObject* parent = nullptr);

    // The header row and one row per partition.
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // For the display role, the row's record as a partition_item_s (an empty
    // one with no file system for the header row).
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // The header row cannot be selected.
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    size_t partition_count() const { return found.size(); }

private:
    std::vector<partition_item_s> found;
};

class partition_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
