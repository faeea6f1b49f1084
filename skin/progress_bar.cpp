#include "skin/progress_bar.h"

#include <QPainter>
#include <QRect>
#include <QString>
#include <cmath>

namespace {

double clamped(double fraction)
{
    if (!(fraction > 0.0))  // also NaN
        return 0.0;
    return fraction > 1.0 ? 1.0 : fraction;
}

// Truncation of fraction * 100 without the binary rounding that would show
// 0.29 as 28%.
int whole_percent(double fraction)
{
    return int(std::floor(clamped(fraction) * 100.0 + 1e-9));
}

}  // namespace

progress_bar_c::progress_bar_c(QObject* parent) : QObject(parent) {}

void progress_bar_c::set_image(const QString& path, const QColor& colour)
{
    image = QPixmap(path);
    fill = QBrush(image);
    background = colour;
    value = 0.0;
}

void progress_bar_c::set_value(double fraction)
{
    value = clamped(fraction);
}

int progress_bar_c::fill_end(const QRect& rect, double fraction)
{
    const double f = clamped(fraction);
    if (f <= 0.0 || rect.isEmpty())
        return rect.left() - 1;
    return rect.left() + int(double(rect.right() - rect.left()) * f);
}

QString progress_bar_c::percent_text(double fraction)
{
    return QStringLiteral("%1%").arg(whole_percent(fraction));
}

void progress_bar_c::draw(QPainter& painter, const QRect& rect) const
{
    painter.save();
    painter.fillRect(rect, background);
    const int end = fill_end(rect, value);
    if (end >= rect.left()) {
        // The texture starts at the bar's corner, wherever the page puts it.
        painter.setBrushOrigin(rect.topLeft());
        painter.fillRect(QRect(rect.topLeft(), QPoint(end, rect.bottom())), fill);
    }
    painter.setPen(Qt::black);
    painter.drawText(rect, Qt::AlignHCenter, percent_text(value));
    painter.restore();
}
