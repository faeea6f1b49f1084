#include "skin/skin_dialog.h"

QSkinDialog::QSkinDialog(QWidget* parent)
    : skin_button_window_c(parent, Qt::Dialog, QStringLiteral(":/images/dialogs/"))
{
    auto* close_button = new system_button_c<QSkinDialog>;
    close_button->setup(QStringLiteral(":/images/system/quiButton1.png"),
                        QStringLiteral(":/images/system/quiButton2.png"),
                        QStringLiteral(":/images/system/quiButton3.png"), QRect(1, 1, 30, 21));
    close_button->action = &QSkinDialog::close_window;
    buttons.append(close_button);
}
