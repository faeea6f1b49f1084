#include "results/recovery_delegate.h"

#include "devices/enumerate.h"
#include "scan/recovery_base.h"

#include <QPainter>
#include <ctime>

namespace {

constexpr int default_box_side = 13;

}  // namespace

QString date_cell_text(int64_t seconds)
{
    if (seconds == 0)
        return {};
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[32];
    if (!localtime_r(&t, &tm) || std::strftime(text, sizeof text, "%Y-%m-%d", &tm) == 0)
        return {};
    return QString::fromLatin1(text);
}

void paint_tick_box(QPainter* painter, int x, int y, const QPixmap& image, const QPixmap& unticked, bool ticked)
{
    if (!image.isNull()) {
        const int side = unticked.isNull() ? image.width() : unticked.width();
        painter->drawPixmap(QRect(x, y, side, side), image);
        return;
    }
    // The images live in the program's resources; a build without them
    // still shows which rows are ticked.
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(QColor(110, 130, 160), 1));
    painter->setBrush(Qt::white);
    painter->drawRect(QRectF(x + 0.5, y + 0.5, default_box_side - 1, default_box_side - 1));
    if (ticked) {
        painter->setPen(QPen(QColor(40, 90, 170), 2));
        const QPointF tick[] = {{x + 3.0, y + 6.5}, {x + 5.5, y + 9.5}, {x + 10.0, y + 3.5}};
        painter->drawPolyline(tick, 3);
    }
    painter->restore();
}

recovery_delegate_c::recovery_delegate_c(QObject* parent)
    : QStyledItemDelegate(parent), unticked_(QStringLiteral(":/images/partition_search/check1.png")),
      ticked_(QStringLiteral(":/images/partition_search/check2.png"))
{
}

void recovery_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QVariant value = index.data(Qt::DisplayRole);
    if (value.metaType() != QMetaType::fromType<recovery_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const recovery_item_s row = value.value<recovery_item_s>();
    const QRect cell = option.rect;
    painter->save();
    if (index.row() % 2 == 0)
        painter->fillRect(cell, QColor(241, 250, 255));
    if (option.state & QStyle::State_Selected)
        painter->fillRect(cell, QColor(81, 149, 206));
    painter->setFont(QFont(QStringLiteral("Segoe UI Symbol"), 8));
    const QRect text_rect = cell.adjusted(10, 0, 0, 0);
    const int text_flags = Qt::AlignVCenter | Qt::AlignJustify;
    switch (index.column()) {
    case 0:
        paint_tick_box(painter, cell.x() + 10, cell.y() + 10, row.checked ? ticked_ : unticked_, unticked_, row.checked);
        break;
    case 1: painter->drawText(text_rect, text_flags, row.name); break;
    case 2: painter->drawText(text_rect, text_flags, format_size(static_cast<uint64_t>(row.size))); break;
    case 3: painter->drawText(text_rect, text_flags, date_cell_text(row.date1)); break;
    case 4: painter->drawText(text_rect, text_flags, date_cell_text(row.date2)); break;
    default: break;
    }
    painter->restore();
}
