// Paints one cell of the file table from the whole row the model hands out:
// the tick, the name, the size text, the two dates. Nothing is formatted
// before a cell is painted.
#pragma once

#include <QPixmap>
#include <QStyledItemDelegate>

class recovery_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit recovery_delegate_c(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    QPixmap unticked_;
    QPixmap ticked_;
};

// A date cell: seconds since 1970 as local "%Y-%m-%d". Empty for 0 (no date
// known, as for every carved file) and for a time the C library cannot
// convert.
QString date_cell_text(int64_t seconds);

// Draws the tick box image, or a plain box (with a tick) when the image is
// missing, in a square of side at (x, y).
void paint_tick_box(QPainter* painter, int x, int y, const QPixmap& image, const QPixmap& unticked, bool ticked);
