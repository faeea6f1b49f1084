#include "results/recovery_delegate.h"

#include "devices/enumerate.h"
#include "results/recovery_model.h"
#include "results/row_state.h"
#include "scan/recovery_base.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <ctime>

namespace {

constexpr int default_box_side = 13;

// The name, and beside it a tag for a copy that may be wrong: a person
// choosing what to recover must see it without hovering over every row.
// The tag sits at the cell's right end and the name gives way to it.
void paint_name(QPainter* painter, const QRect& rect, int flags, const QString& name, row_state_e state)
{
    // Whole by the file system's own record (consecutive clusters, a chain
    // kept) reads as green as whole by a check of the content.
    const bool checked_whole = row_state_checked_whole(state) || state == row_state_e::exact ||
                               state == row_state_e::chain_kept;
    const QString label = row_state_label(state);
    if (label.isEmpty()) {
        painter->drawText(rect, flags, name);
        return;
    }
    const QFontMetrics metrics(painter->font());
    const int pad = 4, gap = 6;
    const int tag_width = metrics.horizontalAdvance(label) + 2 * pad;
    const int tag_height = std::min(rect.height() - 2, metrics.height() + 2);
    const QRect tag(std::max(rect.left(), rect.right() - gap - tag_width + 1), rect.center().y() - tag_height / 2,
                    tag_width, tag_height);
    const QRect name_rect(rect.left(), rect.top(), std::max(0, tag.left() - gap - rect.left()), rect.height());
    painter->drawText(name_rect, flags, metrics.elidedText(name, Qt::ElideMiddle, name_rect.width()));

    // Green for a copy known whole, amber for a guess, red for a copy that
    // will be damaged,
    // and grey for a copy nothing speaks for or against.
    const bool only_doubt = state == row_state_e::uncertain;
    const bool unchecked = state == row_state_e::not_contradicted;
    const QColor ink = checked_whole ? QColor(24, 110, 48)
                       : only_doubt  ? QColor(140, 90, 0)
                       : unchecked   ? QColor(80, 92, 110)
                                     : QColor(176, 32, 24);
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(checked_whole ? QColor(130, 200, 150)
                    : only_doubt  ? QColor(226, 184, 100)
                    : unchecked   ? QColor(180, 190, 205)
                                  : QColor(226, 140, 130));
    painter->setBrush(checked_whole ? QColor(228, 246, 232)
                      : only_doubt  ? QColor(255, 244, 214)
                      : unchecked   ? QColor(240, 243, 247)
                                    : QColor(253, 234, 232));
    painter->drawRoundedRect(QRectF(tag).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    painter->setPen(ink);
    painter->drawText(tag, Qt::AlignCenter, label);
}

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
    case 1:
        // Nothing of the tag may spill into the next column.
        painter->setClipRect(cell);
        paint_name(painter, text_rect, text_flags, row.name,
                   static_cast<row_state_e>(index.data(recovery_model_c::row_state_role).toInt()));
        break;
    case 2: painter->drawText(text_rect, text_flags, format_size(static_cast<uint64_t>(row.size))); break;
    case 3: painter->drawText(text_rect, text_flags, date_cell_text(row.date1)); break;
    case 4: painter->drawText(text_rect, text_flags, date_cell_text(row.date2)); break;
    case 5: {
        painter->setClipRect(cell);
        const QString folder = index.data(recovery_model_c::folder_role).toString();
        painter->drawText(text_rect, text_flags,
                          QFontMetrics(painter->font()).elidedText(folder, Qt::ElideMiddle, text_rect.width() - 4));
        break;
    }
    default: break;
    }
    painter->restore();
}
