#include "app/pages/drive_model.h"

#include "devices/enumerate.h"
#include "shell/settings.h"
#include "skin/lock_mark.h"

#include <QCoreApplication>
#include <QPainter>

drive_model_c::drive_model_c(std::vector<drive_item_s>* drives_, QObject* parent)
    : QAbstractListModel(parent), drives(drives_)
{
}

int drive_model_c::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !drives ? 0 : int(drives->size());
}

QVariant drive_model_c::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || !drives || index.row() < 0 || std::size_t(index.row()) >= drives->size())
        return {};
    const drive_item_s& drive = (*drives)[std::size_t(index.row())];
    if (role == Qt::ToolTipRole && drive.locked)
        return text_for_key("disk_locked_tip");
    if (role != Qt::DisplayRole)
        return {};
    return QVariant::fromValue(drive);
}

void drive_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QVariant value = index.data(Qt::DisplayRole);
    if (value.metaType() != QMetaType::fromType<drive_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const drive_item_s drive = value.value<drive_item_s>();
    const QRect& r = option.rect;
    const int w = r.width();
    const int size_x = int(0.5 * w), number_x = int(0.85 * w);

    painter->save();
    if (index.row() % 2 == 0)
        painter->fillRect(r, QColor(241, 250, 255));
    if (option.state & QStyle::State_Selected)
        painter->fillRect(r, QColor(81, 149, 206));

    if (!drive.geometry) {
        painter->fillRect(r, QColor(232, 246, 255));
        painter->setPen(QPen(QColor(211, 231, 255), 1));
        painter->drawLine(size_x, 0, size_x, r.bottom());
        painter->drawLine(number_x, 0, number_x, r.bottom());
        painter->setFont(QFont(QStringLiteral("Verdana"), 10));
        painter->setPen(Qt::black);
        painter->drawText(60, r.y() + 20, text_for_key("drive_physical_drives"));
        // These two stay English: the toolkit's translation only.
        painter->drawText(size_x + 70, r.y() + 20, QCoreApplication::translate("drive_delegate_c", "Size"));
        painter->drawText(number_x + 15, r.y() + 20, QCoreApplication::translate("drive_delegate_c", "Number"));
    } else {
        painter->setFont(QFont(QStringLiteral("Verdana"), 8));
        painter->setPen(Qt::black);
        if (drive.locked)
            paint_lock_mark(painter, 44, r.y() + 9);
        painter->drawText(60, r.y() + 20, drive.device_path);
        painter->drawText(size_x + 70, r.y() + 20, format_size(drive.size_bytes));
        painter->drawText(number_x + 15, r.y() + 20, QString::asprintf("%d", index.row()));
    }
    painter->restore();
}

QSize drive_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const
{
    return {option.rect.width(), 30};
}
