#include "skin/lock_mark.h"

#include <QPainter>
#include <QPainterPath>

void paint_lock_mark(QPainter* painter, int x, int y)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    // The shackle, then the body over its ends, both outlined in white so the
    // mark reads on the icon and on a selected row alike.
    QPainterPath shackle;
    shackle.moveTo(x + 2.5, y + 6.0);
    shackle.lineTo(x + 2.5, y + 3.5);
    shackle.arcTo(x + 2.5, y + 0.5, 5.0, 6.0, 180.0, -180.0);
    shackle.lineTo(x + 7.5, y + 6.0);
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(Qt::white, 3.0));
    painter->drawPath(shackle);
    painter->setPen(QPen(QColor(90, 90, 90), 1.5));
    painter->drawPath(shackle);
    const QRectF body(x, y + 5.5, 10.0, 7.0);
    painter->setPen(QPen(Qt::white, 1.0));
    painter->setBrush(QColor(214, 160, 40));
    painter->drawRoundedRect(body, 1.5, 1.5);
    painter->setPen(Qt::NoPen);
    painter->setBrush(QColor(90, 60, 10));
    painter->drawEllipse(QPointF(x + 5.0, y + 8.5), 1.2, 1.2);
    painter->restore();
}
