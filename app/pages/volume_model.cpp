#include "app/pages/volume_model.h"

#include "app/pages/volume_delegate.h"

volume_model_c::volume_model_c(const std::vector<volume_item_s>* volumes_, QObject* parent)
    : QAbstractListModel(parent), volumes(volumes_)
{
    // Views that want a row as text (accessibility, the model checker) get
    // the name the row shows.
    static const bool registered = QMetaType::registerConverter<volume_item_s, QString>(
        [](const volume_item_s& v) { return v.root_path.isEmpty() ? QString() : volume_display_name(v); });
    Q_UNUSED(registered);
}

int volume_model_c::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() || !volumes)
        return 0;
    return int(volumes->size());
}

QVariant volume_model_c::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole || !volumes || index.row() < 0 ||
        std::size_t(index.row()) >= volumes->size())
        return {};
    return QVariant::fromValue((*volumes)[std::size_t(index.row())]);
}
