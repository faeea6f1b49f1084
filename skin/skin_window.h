// What both skinned top-level windows share: a frameless, translucent window
// whose frame (title band, side edges, bottom band, title) is composed from
// images into a canvas that is rebuilt only after a resize, repainted every
// 400 ms together with the painted buttons, moved by a drag in the top 100
// pixels and resized from its edges through the window system.
#pragma once

#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

class QTimer;

// The four frame images: top band, left edge, right edge, bottom band.
struct frame_images_s {
    QPixmap top, left, right, bottom;
};

// Loads so.png, sl.png, sr.png and su.png from `folder` (":/images/system/").
frame_images_s load_frame_images(const QString& folder);

// Draws the frame for a window of `size` onto a transparent canvas: the
// three bands and the edges, and a white client area inside them.
void paint_frame(QPainter& painter, const frame_images_s& frame, const QSize& size);

class skin_window_c : public QWidget {
    Q_OBJECT
public:
    // What the last left-button press on the window itself started.
    enum class press_e { none, button, move, resize };

    // Rows from the top in which a drag moves the window.
    static constexpr int move_band = 100;
    // Width of the edge zone that resizes, and the length of the corner zones.
    static constexpr int resize_margin = 4;
    static constexpr int resize_corner = 12;

    // The edges a press at `point` resizes in a window of `size`: empty
    // inside; two edges near a corner.
    static Qt::Edges resize_edges(const QPoint& point, const QSize& size);
    static Qt::CursorShape cursor_for(Qt::Edges edges);

    press_e last_press() const { return press_kind; }
    bool restyle_pending() const { return needs_restyle; }
    const QPixmap& canvas_image() const { return canvas; }
    const frame_images_s& frame_images() const { return frame; }

    // One composition: the frame canvas and the buttons. The paint event's
    // whole work, public for the benchmark.
    void compose(QPainter& painter);

signals:
    void aboutToClose();

public slots:
    // Rebuilds the frame canvas for the window's current size.
    void updateStyle();

protected:
    skin_window_c(QWidget* parent, Qt::WindowType kind, const QString& frame_folder);

    // The painted buttons, kept by the derived window in its own list.
    virtual bool press_buttons(const QPoint& point, bool* hit) = 0;
    // Runs the released button's action, if any; returns whether a state changed.
    virtual bool release_buttons(const QPoint& point) = 0;
    virtual bool move_buttons(const QPoint& point) = 0;
    virtual bool reset_buttons() = 0;
    virtual bool button_at(const QPoint& point) const = 0;
    virtual void draw_buttons(QPainter& painter) const = 0;
    // Extra frame decoration (the logo), drawn before the title.
    virtual void decorate_frame(QPainter&) {}
    // Whether dragging the edges may resize the window now.
    virtual bool may_resize() const { return true; }

    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

    bool needs_restyle = true;
    QPixmap canvas;

private:
    void begin_resize(Qt::Edges edges, const QPoint& global);
    void drag_to(const QPoint& global);
    void show_edge_cursor(Qt::Edges edges);

    frame_images_s frame;
    QTimer* repaint_timer = nullptr;
    press_e press_kind = press_e::none;
    // A drag in progress that the window system did not take over.
    bool move_armed = false;
    bool moving_by_hand = false;
    Qt::Edges resizing_by_hand;
    QPoint press_global;
    QRect press_geometry;
    bool edge_cursor_shown = false;
};
