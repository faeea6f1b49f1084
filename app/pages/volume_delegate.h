// Paints one row of the volume page: the column headings in row 0, and for a
// volume its icon, name, usage frame and bar, size text and file system.
#pragma once

#include "devices/volume_item.h"

#include <QStyledItemDelegate>

// The name a volume row shows: its label, or the "local_disk" text when it
// has none, followed by its root path in brackets without the trailing
// separator ("Data (/media/ana/DATA)").
QString volume_display_name(const volume_item_s& volume);

// Share of the volume that is free, as the usage bar measures it, or a
// negative value when no bar is drawn (size 0, or free space unknown).
float volume_free_ratio(const volume_item_s& volume);

// True when the usage bar is drawn in red: at most 20 % free.
bool volume_bar_is_red(float free_ratio);

// The size text: "<free> free of <total>", or the total alone when the
// free space is unknown.
QString volume_size_text(const volume_item_s& volume);

class volume_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    void paint_heading(QPainter* painter, const QRect& r) const;
};
