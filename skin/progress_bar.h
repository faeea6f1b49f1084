// The image-filled progress bar the recovery and partition pages paint. Not a
// widget: a page holds one, feeds it a fraction from its timer and lets it
// paint into a rectangle of its own paint event.
#pragma once

#include <QBrush>
#include <QColor>
#include <QObject>
#include <QPixmap>

class QPainter;
class QRect;
class QString;

class progress_bar_c : public QObject {
    Q_OBJECT
public:
    explicit progress_bar_c(QObject* parent = nullptr);

    // Loads the fill image from `path` and sets the unfilled colour; the value
    // goes back to 0.
    void set_image(const QString& path, const QColor& colour);
    // The fraction done. Values outside 0..1 (and NaN) are held to the range,
    // so a worker's overshoot never paints past the bar.
    void set_value(double fraction);
    double current_value() const { return value; }

    // Paints the bar into `rect`: background, the filled part from the left,
    // and the percentage centred at the top in the painter's font.
    void draw(QPainter& painter, const QRect& rect) const;
    void draw(QPainter* painter, const QRect& rect) const { draw(*painter, rect); }

    // The last column the fill reaches in `rect`, or rect.left() - 1 when
    // nothing is filled.
    static int fill_end(const QRect& rect, double fraction);
    // The percentage shown for `fraction`, truncated ("99%" for 0.999).
    static QString percent_text(double fraction);

private:
    QPixmap image;
    QBrush fill;
    QColor background;
    double value = 0.0;
};
