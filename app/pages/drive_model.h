// The drive page's list model and row painter: one row per drive_item_s,
// row 0 being the heading the delegate draws.
#pragma once

#include "devices/volume_item.h"

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <vector>

class drive_model_c : public QAbstractListModel {
    Q_OBJECT
public:
    // drives is not owned and must outlive the model (in practice drive_list).
    explicit drive_model_c(std::vector<drive_item_s>* drives, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // For the display role, the row's whole record as a drive_item_s.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::vector<drive_item_s>* drives;
};

class drive_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
