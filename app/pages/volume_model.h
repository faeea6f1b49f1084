// The volume page's list model: one row per element of a volume list (the
// header row included), each handing its whole record to the row painter.
#pragma once

#include "devices/volume_item.h"

#include <QAbstractListModel>
#include <vector>

class volume_model_c : public QAbstractListModel {
    Q_OBJECT
public:
    // `volumes` is not owned and must outlive the model.
    explicit volume_model_c(const std::vector<volume_item_s>* volumes, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // Display role: a copy of the row's volume_item_s; tool tip role: what
    // else was found on the volume, when anything was; anything else: empty.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    const std::vector<volume_item_s>* volumes;
};
