#include "app/pages/volume_model.h"

#include "app/pages/volume_delegate.h"
#include "shell/settings.h"

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
    if (!index.isValid() || !volumes || index.row() < 0 || std::size_t(index.row()) >= volumes->size())
        return {};
    const volume_item_s& volume = (*volumes)[std::size_t(index.row())];
    // A volume that also carries another file system's mark says which one
    // it is read as, so nobody wonders why another tool calls it otherwise.
    if (role == Qt::ToolTipRole && volume.locked)
        return text_for_key("disk_locked_tip");
    if (role == Qt::ToolTipRole && !volume.other_signatures.isEmpty())
        return text_for_key("volume_other_signatures").arg(volume.other_signatures, volume.file_system);
    if (role != Qt::DisplayRole)
        return {};
    return QVariant::fromValue(volume);
}
