// A skinned window that owns a list of painted buttons acting on T (the
// window class itself) and routes the mouse handlers' state changes to them.
#pragma once

#include "skin/skin_button.h"
#include "skin/skin_window.h"

#include <QList>
#include <functional>

template <class T>
class skin_button_window_c : public skin_window_c {
public:
    ~skin_button_window_c() override { qDeleteAll(buttons); }

    // In creation order; owned by the window.
    const QList<button_c<T>*>& skin_buttons() const { return buttons; }

protected:
    skin_button_window_c(QWidget* parent, Qt::WindowType kind, const QString& frame_folder)
        : skin_window_c(parent, kind, frame_folder)
    {
    }

    bool press_buttons(const QPoint& point, bool* hit) override
    {
        return skin_buttons::press(buttons, point, rect(), hit);
    }
    bool release_buttons(const QPoint& point) override
    {
        button_c<T>* released = skin_buttons::release(buttons, point, rect());
        if (!released)
            return false;
        if (const auto action = released->action)
            std::invoke(action, static_cast<T*>(this));
        return true;
    }
    bool move_buttons(const QPoint& point) override { return skin_buttons::move(buttons, point, rect()); }
    bool reset_buttons() override { return skin_buttons::reset(buttons); }
    bool button_at(const QPoint& point) const override
    {
        return skin_buttons::any_contains(buttons, point, rect());
    }
    void draw_buttons(QPainter& painter) const override
    {
        for (const button_c<T>* button : buttons)
            button->draw(painter, rect());
    }

    QList<button_c<T>*> buttons;
};
