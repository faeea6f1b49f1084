#include "app/pages/volume_delegate.h"

#include "devices/enumerate.h"
#include "shell/settings.h"
#include "skin/lock_mark.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace {

const QColor stripe_colour(241, 250, 255);
const QColor selected_colour(81, 149, 206);
const QColor heading_colour(232, 246, 255);
const QColor grid_colour(211, 231, 255);
const QColor frame_colour(139, 184, 241);

void draw_grid(QPainter* painter, int w, int top, int bottom)
{
    painter->setPen(QPen(grid_colour, 1));
    painter->drawLine(int(0.32 * w), top, int(0.32 * w), bottom);
    painter->drawLine(int(0.85 * w), top, int(0.85 * w), bottom);
}

}  // namespace

QString volume_display_name(const volume_item_s& volume)
{
    QString root = volume.root_path;
    if (root.size() > 1 && (root.endsWith(QLatin1Char('/')) || root.endsWith(QLatin1Char('\\'))))
        root.chop(1);
    const QString name = volume.label.isEmpty() ? text_for_key("local_disk") : volume.label;
    return name + QStringLiteral(" (") + root + QLatin1Char(')');
}

float volume_free_ratio(const volume_item_s& volume)
{
    if (volume.total_bytes == 0 || !volume.free_space_known)
        return -1.0f;
    // A free count above the total (a damaged FSInfo) is shown as all free.
    const uint64_t free_bytes = std::min(volume.free_bytes, volume.total_bytes);
    return float(double(free_bytes) / double(volume.total_bytes));
}

bool volume_bar_is_red(float free_ratio)
{
    return double(free_ratio) <= 0.2;
}

QString volume_size_text(const volume_item_s& volume)
{
    if (!volume.free_space_known)
        return format_size(volume.total_bytes);
    return format_size(volume.free_bytes) + text_for_key("recovery_free") + format_size(volume.total_bytes);
}

QSize volume_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const
{
    return QSize(option.rect.width(), 30);
}

void volume_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QVariant value = index.data(Qt::DisplayRole);
    if (value.metaType() != QMetaType::fromType<volume_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const volume_item_s volume = value.value<volume_item_s>();
    const QRect& r = option.rect;
    const int w = r.width();
    const int y = r.y();

    painter->save();
    if (index.row() % 2 == 0)
        painter->fillRect(r, stripe_colour);
    if (option.state & QStyle::State_Selected)
        painter->fillRect(r, selected_colour);

    if (volume.root_path.isEmpty()) {
        paint_heading(painter, r);
        painter->restore();
        return;
    }

    draw_grid(painter, w, r.top(), r.bottom());
    painter->drawPixmap(20, y + 5, QPixmap(QStringLiteral(":/images/partition_search/drives.png")));
    if (volume.locked)
        paint_lock_mark(painter, 31, y + 14);

    const QFont small(QStringLiteral("Arial"), 8);
    painter->setFont(small);
    painter->setPen(Qt::black);
    // A label comes from the disk and may be long; it must not run into the
    // next column.
    const QFontMetrics metrics(small);
    const int name_room = std::max(0, int(0.32 * w) - 50);
    painter->drawText(45, y + 20, metrics.elidedText(volume_display_name(volume), Qt::ElideMiddle, name_room));

    const int u = int(0.53 * w - 170);
    painter->setPen(frame_colour);
    painter->drawRect(int(0.32 * w + 10), y + 5, u, 20);

    painter->setPen(Qt::black);
    painter->drawText(int(0.32 * w + u + 20), y + 20, volume_size_text(volume));
    painter->drawText(int(0.85 * w + 20), y + 20, volume.file_system);

    const float ratio = volume_free_ratio(volume);
    if (ratio >= 0.0f) {
        const QPixmap red(QStringLiteral(":/images/partition_search/red.png"));
        const QPixmap texture =
            volume_bar_is_red(ratio) ? red : QPixmap(QStringLiteral(":/images/partition_search/green.png"));
        const QRect bar(int(0.32 * w + 11), y + 6, int((1.0f - ratio) * float(u) - 2.0f),
                        (red.isNull() ? 18 : red.height()) + 1);
        if (bar.width() > 0) {
            if (texture.isNull()) {
                painter->fillRect(bar, volume_bar_is_red(ratio) ? QColor(220, 60, 50) : QColor(80, 180, 90));
            } else {
                painter->setBrushOrigin(0, y + 6);
                painter->fillRect(bar, QBrush(texture));
            }
        }
    }
    painter->restore();
}

void volume_delegate_c::paint_heading(QPainter* painter, const QRect& r) const
{
    const int w = r.width();
    const int y = r.y();
    painter->fillRect(r, heading_colour);
    draw_grid(painter, w, 0, r.bottom());
    painter->setFont(QFont(QStringLiteral("Arial"), 10));
    painter->setPen(Qt::black);
    painter->drawText(60, y + 20, text_for_key("volume_logical_drives"));
    painter->drawText(int(0.32 * w + 165), y + 20, text_for_key("drive_size"));
    painter->drawText(int(0.85 * w + 15), y + 20, text_for_key("partition_fs"));
}
