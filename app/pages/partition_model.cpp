#include "app/pages/partition_model.h"

#include "devices/enumerate.h"
#include "shell/settings.h"

#include <QPainter>

partition_model_c::partition_model_c(std::vector<partition_item_s> found_, QObject* parent)
    : QAbstractListModel(parent), found(std::move(found_))
{
}

int partition_model_c::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(found.size()) + 1;
}

QVariant partition_model_c::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole || index.row() < 0 || std::size_t(index.row()) > found.size())
        return {};
    if (index.row() == 0)
        return QVariant::fromValue(partition_item_s{});
    return QVariant::fromValue(found[std::size_t(index.row()) - 1]);
}

Qt::ItemFlags partition_model_c::flags(const QModelIndex& index) const
{
    if (index.isValid() && index.row() == 0)
        return Qt::ItemIsEnabled;
    return QAbstractListModel::flags(index);
}

void partition_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const
{
    const QVariant value = index.data(Qt::DisplayRole);
    if (value.metaType() != QMetaType::fromType<partition_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const partition_item_s item = value.value<partition_item_s>();
    const QRect& r = option.rect;
    const int w = r.width(), y = r.y();
    const auto column = [w](int k) { return int(w * 0.2 * (k - 1)) + 15; };

    painter->save();
    if (index.row() % 2 == 0)
        painter->fillRect(r, QColor(241, 250, 255));
    if (option.state & QStyle::State_Selected)
        painter->fillRect(r, QColor(81, 149, 206));
    if (item.file_system.isEmpty()) {
        painter->fillRect(r, QColor(232, 246, 255));
        painter->setPen(QPen(QColor(211, 231, 255), 1, Qt::SolidLine));
        for (double f : {0.2, 0.4, 0.6, 0.8})
            painter->drawLine(int(w * f), 0, int(w * f), y + r.height());
        painter->setFont(QFont(QStringLiteral("Verdana"), 10));
        painter->setPen(Qt::black);
        const char* keys[] = {"partition_number", "partition_fs", "partition_ss", "partition_es", "drive_size"};
        for (int k = 1; k <= 5; ++k)
            painter->drawText(column(k), y + 20, text_for_key(keys[k - 1]));
    } else {
        painter->setFont(QFont(QStringLiteral("Verdana"), 8));
        painter->setPen(Qt::black);
        // The end can never be before the start in a found record; a bad one
        // shows a size of 0 rather than a wrapped one.
        const uint64_t sectors = item.end_sector >= item.start_sector ? item.end_sector - item.start_sector + 1 : 0;
        const uint64_t unit = item.sector_bytes ? item.sector_bytes : 512;
        const uint64_t bytes = sectors > UINT64_MAX / unit ? UINT64_MAX : sectors * unit;
        // Counted from 1, as people count: row 0 is the heading.
        painter->drawText(column(1), y + 20, QString::number(index.row()));
        const QString name =
            item.label.isEmpty() ? item.file_system : item.file_system + QStringLiteral(" \u201C") + item.label + QStringLiteral("\u201D");
        painter->drawText(QRect(column(2), y, int(w * 0.2) - 4, r.height()), Qt::AlignLeft | Qt::AlignVCenter,
                          painter->fontMetrics().elidedText(name, Qt::ElideRight, int(w * 0.2) - 4));
        painter->drawText(column(3), y + 20, QString::asprintf("%llu", (unsigned long long)item.start_sector));
        painter->drawText(column(4), y + 20, QString::asprintf("%llu", (unsigned long long)item.end_sector));
        painter->drawText(column(5), y + 20, format_size(bytes));
    }
    painter->restore();
}

QSize partition_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const
{
    return {option.rect.width(), 30};
}
