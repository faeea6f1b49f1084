#include "skin/skin_dialog.h"

QSkinDialog::QSkinDialog(QWidget* parent)
    : skin_window_c(parent, Qt::Dialog, QStringLiteral(":/images/dialogs/"))
{
    auto* close_button = new system_button_c<QSkinDialog>;
    close_button->setup(QStringLiteral(":/images/system/quiButton1.png"),
                        QStringLiteral(":/images/system/quiButton2.png"),
                        QStringLiteral(":/images/system/quiButton3.png"), QRect(1, 1, 30, 21));
    close_button->action = &QSkinDialog::close_window;
    buttons.append(close_button);
}

QSkinDialog::~QSkinDialog()
{
    qDeleteAll(buttons);
}

bool QSkinDialog::press_buttons(const QPoint& point, bool* hit)
{
    return skin_buttons::press(buttons, point, rect(), hit);
}

bool QSkinDialog::release_buttons(const QPoint& point)
{
    button_c<QSkinDialog>* released = skin_buttons::release(buttons, point, rect());
    if (!released)
        return false;
    if (released->action)
        (this->*(released->action))();
    return true;
}

bool QSkinDialog::move_buttons(const QPoint& point)
{
    return skin_buttons::move(buttons, point, rect());
}

bool QSkinDialog::reset_buttons()
{
    return skin_buttons::reset(buttons);
}

bool QSkinDialog::button_at(const QPoint& point) const
{
    return skin_buttons::any_contains(buttons, point, rect());
}

void QSkinDialog::draw_buttons(QPainter& painter) const
{
    for (const button_c<QSkinDialog>* button : buttons)
        button->draw(painter, rect());
}
