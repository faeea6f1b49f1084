#include "results/header_view.h"

#include "results/recovery_delegate.h"
#include "shell/settings.h"

#include <QMouseEvent>
#include <QPainter>

MyHeaderView::MyHeaderView(QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent), unticked_(QStringLiteral(":/images/partition_search/check1.png")),
      ticked_(QStringLiteral(":/images/partition_search/check2.png"))
{
}

QSize MyHeaderView::sizeHint() const
{
    QSize hint = QHeaderView::sizeHint();
    hint.setHeight(24);
    return hint;
}

void MyHeaderView::set_check_all(bool value)
{
    check_all_ = value;
    viewport()->update();
}

void MyHeaderView::mousePressEvent(QMouseEvent* event)
{
    const int x = static_cast<int>(event->position().x());
    const int w0 = sectionSize(0);
    if (x <= w0) {
        check_all_ = !check_all_;
        emit check_all(check_all_);
    } else {
        int left = w0;
        for (int column = 1; column < count(); ++column) {
            const int right = left + sectionSize(column);
            // Column 1 takes every x up to its right edge; the others only
            // the inside of their span: a press on a boundary sorts nothing.
            if ((column == 1 || x > left) && x < right) {
                emit sort_column(column);
                break;
            }
            left = right;
        }
    }
    viewport()->update();
    QHeaderView::mousePressEvent(event);
}

void MyHeaderView::paintSection(QPainter* painter, const QRect& rect, int logical_index) const
{
    painter->save();
    painter->fillRect(rect, QColor(232, 246, 255));
    painter->setPen(QPen(QBrush(QColor(211, 231, 255)), 1, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter->drawLine(rect.x() - 1, rect.y(), rect.x() - 1, rect.y() + rect.height());
    painter->drawLine(rect.x(), rect.y() + rect.height() - 1, rect.x() + rect.width(), rect.y() + rect.height() - 1);
    painter->setFont(QFont(QStringLiteral("Arial"), 8));
    painter->setPen(Qt::black);
    static const char* const captions[] = {nullptr,          "recovery_name",  "drive_size",
                                           "recovery_date1", "recovery_date2", "recovery_folder"};
    if (logical_index == 0)
        paint_tick_box(painter, rect.x() + 10, rect.y() + 5, check_all_ ? ticked_ : unticked_, unticked_, check_all_);
    else if (logical_index >= 1 && logical_index <= 5)
        painter->drawText(QPoint(rect.x() + (logical_index <= 2 ? 15 : 10), rect.y() + 14),
                          text_for_key(captions[logical_index]));
    painter->restore();
}
