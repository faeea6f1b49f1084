// Painted buttons of the skinned windows. They are not widgets: the window
// keeps them in a list, paints them into its frame and drives their state
// from its own mouse handlers. T is the window class whose member function a
// button runs when it is released.
#pragma once

#include <QList>
#include <QPainter>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QString>
#include <array>

enum button_state_e { button_normal = 0, button_hover = 1, button_pressed = 2 };

template <class T>
class button_c {
public:
    using action_t = void (T::*)();

    virtual ~button_c() = default;

    // Loads the images of the three states and places the button. The state
    // is left as it is.
    virtual void setup(const QString& normal, const QString& hover, const QString& pressed, const QRect& place)
    {
        set_images(normal, hover, pressed);
        rect = place;
    }
    // Hit test, edges included.
    virtual bool contains(const QPoint& point, const QRect& window_rect) const = 0;
    virtual void draw(QPainter& painter, const QRect& window_rect) const = 0;
    virtual void set_images(const QString& normal, const QString& hover, const QString& pressed)
    {
        images = {QPixmap(normal), QPixmap(hover), QPixmap(pressed)};
    }

    const QPixmap& current_image() const { return images[std::size_t(state_index())]; }

    std::array<QPixmap, 3> images;
    int state = button_normal;
    QRect rect;
    action_t action = nullptr;

protected:
    int state_index() const { return state >= button_normal && state <= button_pressed ? state : 0; }
};

// Placed from the window's left edge.
template <class T>
class top_button_c : public button_c<T> {
public:
    bool contains(const QPoint& point, const QRect&) const override { return this->rect.contains(point); }
    void draw(QPainter& painter, const QRect&) const override
    {
        painter.drawPixmap(this->rect.topLeft(), this->current_image());
    }
};

// Placed from the window's right edge: rect.x counts leftwards from it, so
// the button stays in the corner whatever the window's width.
template <class T>
class system_button_c : public button_c<T> {
public:
    bool contains(const QPoint& point, const QRect& window_rect) const override
    {
        return this->rect.contains(QPoint(window_rect.right() - point.x(), point.y()));
    }
    void draw(QPainter& painter, const QRect& window_rect) const override
    {
        painter.drawPixmap(QPoint(window_rect.right() - this->rect.right(), this->rect.top()),
                           this->current_image());
    }
};

// The state changes the window's mouse handlers make, shared by both window
// classes. Each returns whether a button changed (the window repaints then).
namespace skin_buttons {

// A press makes the first button under `point` that is not yet pressed
// pressed. `hit` tells whether any button lay under the point.
template <class T>
bool press(const QList<button_c<T>*>& buttons, const QPoint& point, const QRect& window_rect, bool* hit)
{
    *hit = false;
    for (button_c<T>* button : buttons) {
        if (!button->contains(point, window_rect))
            continue;
        *hit = true;
        if (button->state != button_pressed) {
            button->state = button_pressed;
            return true;
        }
    }
    return false;
}

// A release over a button that is not in hover state makes it hover and
// returns it, so the caller runs its action once its own work is done.
template <class T>
button_c<T>* release(const QList<button_c<T>*>& buttons, const QPoint& point, const QRect& window_rect)
{
    for (button_c<T>* button : buttons) {
        if (button->contains(point, window_rect) && button->state != button_hover) {
            button->state = button_hover;
            return button;
        }
    }
    return nullptr;
}

// A move lights the button it enters and darkens the one it left; at most
// one button changes per move.
template <class T>
bool move(const QList<button_c<T>*>& buttons, const QPoint& point, const QRect& window_rect)
{
    for (button_c<T>* button : buttons) {
        const bool inside = button->contains(point, window_rect);
        if (inside && button->state == button_normal) {
            button->state = button_hover;
            return true;
        }
        if (!inside && button->state != button_normal) {
            button->state = button_normal;
            return true;
        }
    }
    return false;
}

template <class T>
bool any_contains(const QList<button_c<T>*>& buttons, const QPoint& point, const QRect& window_rect)
{
    for (const button_c<T>* button : buttons) {
        if (button->contains(point, window_rect))
            return true;
    }
    return false;
}

template <class T>
bool reset(const QList<button_c<T>*>& buttons)
{
    bool changed = false;
    for (button_c<T>* button : buttons) {
        changed |= button->state != button_normal;
        button->state = button_normal;
    }
    return changed;
}

}  // namespace skin_buttons
