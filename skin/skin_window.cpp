#include "skin/skin_window.h"

#include <QApplication>
#include <QChildEvent>
#include <QCloseEvent>
#include <QFont>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWindow>
#include <algorithm>

frame_images_s load_frame_images(const QString& folder)
{
    return {QPixmap(folder + QStringLiteral("so.png")), QPixmap(folder + QStringLiteral("sl.png")),
            QPixmap(folder + QStringLiteral("sr.png")), QPixmap(folder + QStringLiteral("su.png"))};
}

void paint_frame(QPainter& p, const frame_images_s& frame, const QSize& size)
{
    const int w = size.width(), h = size.height();
    const QPixmap &so = frame.top, &su = frame.bottom, &sl = frame.left, &sr = frame.right;
    const int top = so.height(), bottom = su.height(), left = sl.width(), right = sr.width();

    // The pages draw over this; what they leave unpainted is white.
    p.fillRect(QRect(left, top, w - left - right, h - top - bottom), Qt::white);

    // Title band: its corners at their own size, its middle stretched.
    const int corner = 64;
    p.drawPixmap(QRect(w - corner, 0, corner, top), so, QRect(so.width() - corner, 0, corner, top));
    p.drawPixmap(QRect(0, 0, corner, top), so, QRect(0, 0, corner, top));
    p.drawPixmap(QRect(corner, 0, w - 2 * corner, top), so, QRect(corner, 0, so.width() - 2 * corner, top));

    // Bottom band the same way, its corners as wide as the side edges.
    p.drawPixmap(QRect(left, h - bottom, w - left - right, bottom), su,
                 QRect(left, 0, su.width() - left - right, bottom));
    p.drawPixmap(QRect(0, h - bottom, left, bottom), su, QRect(0, 0, left, bottom));
    p.drawPixmap(QRect(w - right, h - bottom, right, bottom), su, QRect(su.width() - right, 0, right, bottom));

    p.drawPixmap(QRect(w - right, top, right, h - top - bottom), sr);
    p.drawPixmap(QRect(0, top, left, h - top - bottom), sl);
}

skin_window_c::skin_window_c(QWidget* parent, Qt::WindowType kind, const QString& frame_folder)
    : QWidget(parent, kind | Qt::FramelessWindowHint)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(QStringLiteral("Quarvel Undelete"));
    canvas = QPixmap(size());
    // Progress displays on the pages repaint with the window, nothing else asks.
    repaint_timer = new QTimer(this);
    repaint_timer->setInterval(400);
    connect(repaint_timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    repaint_timer->start();
    setMouseTracking(true);
    frame = load_frame_images(frame_folder);
    setContentsMargins(frame.left.width(), frame.top.height(), frame.right.width(), frame.bottom.height());
    needs_restyle = true;
}

void skin_window_c::updateStyle()
{
    QPixmap fresh(size().expandedTo(QSize(1, 1)));
    fresh.fill(Qt::transparent);
    {
        QPainter p(&fresh);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        paint_frame(p, frame, size());
        decorate_frame(p);
        QFont title_font(QStringLiteral("Comic Sans MS"));
        p.setFont(title_font);
        p.setPen(Qt::white);
        p.drawText(QPoint(10, 20), windowTitle());
    }
    canvas = fresh;
    needs_restyle = false;
}

void skin_window_c::compose(QPainter& painter)
{
    if (needs_restyle)
        updateStyle();
    painter.drawPixmap(0, 0, canvas);
    draw_buttons(painter);
}

void skin_window_c::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    compose(painter);
}

void skin_window_c::resizeEvent(QResizeEvent* event)
{
    needs_restyle = true;
    QWidget::resizeEvent(event);
}

Qt::Edges skin_window_c::resize_edges(const QPoint& point, const QSize& size)
{
    const int x = point.x(), y = point.y(), w = size.width(), h = size.height();
    if (x < 0 || y < 0 || x >= w || y >= h)
        return {};
    const bool near_left = x < resize_margin, near_right = x >= w - resize_margin;
    const bool near_top = y < resize_margin, near_bottom = y >= h - resize_margin;
    Qt::Edges edges;
    if (near_left)
        edges |= Qt::LeftEdge;
    if (near_right)
        edges |= Qt::RightEdge;
    if (near_top)
        edges |= Qt::TopEdge;
    if (near_bottom)
        edges |= Qt::BottomEdge;
    // Corners reach further along each edge, so they are easy to catch.
    if (near_top || near_bottom) {
        if (x < resize_corner)
            edges |= Qt::LeftEdge;
        else if (x >= w - resize_corner)
            edges |= Qt::RightEdge;
    }
    if (near_left || near_right) {
        if (y < resize_corner)
            edges |= Qt::TopEdge;
        else if (y >= h - resize_corner)
            edges |= Qt::BottomEdge;
    }
    return edges;
}

Qt::CursorShape skin_window_c::cursor_for(Qt::Edges edges)
{
    const bool horizontal = edges & (Qt::LeftEdge | Qt::RightEdge);
    const bool vertical = edges & (Qt::TopEdge | Qt::BottomEdge);
    if (horizontal && vertical) {
        const bool top_left = (edges & Qt::LeftEdge) && (edges & Qt::TopEdge);
        const bool bottom_right = (edges & Qt::RightEdge) && (edges & Qt::BottomEdge);
        return top_left || bottom_right ? Qt::SizeFDiagCursor : Qt::SizeBDiagCursor;
    }
    if (horizontal)
        return Qt::SizeHorCursor;
    if (vertical)
        return Qt::SizeVerCursor;
    return Qt::ArrowCursor;
}

void skin_window_c::show_edge_cursor(Qt::Edges edges)
{
    if (edges) {
        setCursor(cursor_for(edges));
        edge_cursor_shown = true;
    } else if (edge_cursor_shown) {
        unsetCursor();
        edge_cursor_shown = false;
    }
}

void skin_window_c::mousePressEvent(QMouseEvent* event)
{
    move_armed = moving_by_hand = false;
    resizing_by_hand = {};
    press_kind = press_e::none;
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    bool hit = false;
    if (p.y() <= move_band && press_buttons(p, &hit))
        update();
    if (hit) {
        press_kind = press_e::button;
        return;
    }
    if (const Qt::Edges edges = may_resize() ? resize_edges(p, size()) : Qt::Edges(); edges) {
        press_kind = press_e::resize;
        begin_resize(edges, event->globalPosition().toPoint());
        return;
    }
    if (p.y() <= move_band) {
        // The move starts with the drag, so a double click still reaches us.
        press_kind = press_e::move;
        move_armed = true;
        press_global = event->globalPosition().toPoint();
        press_geometry = geometry();
    }
}

void skin_window_c::begin_resize(Qt::Edges edges, const QPoint& global)
{
    if (QWindow* window = windowHandle(); window && window->startSystemResize(edges))
        return;
    // No window-system resize here (offscreen, some X11 managers): by hand.
    resizing_by_hand = edges;
    press_global = global;
    press_geometry = geometry();
}

void skin_window_c::drag_to(const QPoint& global)
{
    const QPoint delta = global - press_global;
    if (move_armed && !moving_by_hand) {
        if (delta.manhattanLength() < QApplication::startDragDistance())
            return;
        move_armed = false;
        if (QWindow* window = windowHandle(); window && window->startSystemMove())
            return;
        moving_by_hand = true;
    }
    if (moving_by_hand) {
        move(press_geometry.topLeft() + delta);
        return;
    }
    if (resizing_by_hand) {
        QRect g = press_geometry;
        const QSize least = minimumSize();
        if (resizing_by_hand & Qt::LeftEdge)
            g.setLeft(std::min(g.left() + delta.x(), g.right() + 1 - least.width()));
        if (resizing_by_hand & Qt::RightEdge)
            g.setRight(std::max(g.right() + delta.x(), g.left() + least.width() - 1));
        if (resizing_by_hand & Qt::TopEdge)
            g.setTop(std::min(g.top() + delta.y(), g.bottom() + 1 - least.height()));
        if (resizing_by_hand & Qt::BottomEdge)
            g.setBottom(std::max(g.bottom() + delta.y(), g.top() + least.height() - 1));
        setGeometry(g);
    }
}

void skin_window_c::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (event->buttons() & Qt::LeftButton)
        drag_to(event->globalPosition().toPoint());
    else
        show_edge_cursor(may_resize() && !button_at(p) ? resize_edges(p, size()) : Qt::Edges());
    if (move_buttons(p))
        update();
}

void skin_window_c::mouseReleaseEvent(QMouseEvent* event)
{
    move_armed = moving_by_hand = false;
    resizing_by_hand = {};
    if (event->button() != Qt::LeftButton)
        return;
    update();
    // Last: the action may open a menu or a box, or close the window.
    if (release_buttons(event->position().toPoint()))
        event->accept();
}

void skin_window_c::leaveEvent(QEvent* event)
{
    // A button the pointer left in a hurry must not stay lit.
    if (reset_buttons())
        update();
    show_edge_cursor({});
    QWidget::leaveEvent(event);
}

bool skin_window_c::event(QEvent* event)
{
    // The edge cursor must not spread to the pages: a child inherits the
    // window's cursor and the window hears nothing once the pointer is on one.
    if (event->type() == QEvent::ChildAdded) {
        QObject* child = static_cast<QChildEvent*>(event)->child();
        if (child->isWidgetType())
            child->installEventFilter(this);
    } else if (event->type() == QEvent::WindowActivate) {
        update();
    } else if (event->type() == QEvent::WindowTitleChange) {
        // The title is part of the frame.
        needs_restyle = true;
        update();
    }
    return QWidget::event(event);
}

bool skin_window_c::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Enter && watched->parent() == this) {
        show_edge_cursor({});
        if (reset_buttons())
            update();
    }
    return QWidget::eventFilter(watched, event);
}

void skin_window_c::closeEvent(QCloseEvent* event)
{
    emit aboutToClose();
    QWidget::closeEvent(event);
}
