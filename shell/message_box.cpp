#include "shell/message_box.h"

#include "shell/settings.h"

#include <QPixmap>
#include <QTimer>
#include <utility>

namespace {

warning_driver_t& driver()
{
    static warning_driver_t installed;
    return installed;
}

}  // namespace

void set_warning_driver(warning_driver_t new_driver)
{
    driver() = std::move(new_driver);
}

QMessageBox::StandardButton show_message(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons)
{
    QMessageBox box(QMessageBox::Warning, title, text, buttons, parent,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    // Texts carry names from disks, images and scan files: never markup.
    box.setTextFormat(Qt::PlainText);
    const QPixmap icon(QStringLiteral(":/images/top.ico"));
    if (!icon.isNull())
        box.setIconPixmap(icon);

    if (driver()) {
        QTimer::singleShot(0, &box, [&box] {
            if (driver())
                driver()(box);
        });
    }
    const int code = box.exec();
    // The clicked button is the escape button when the box was closed
    // without a choice.
    if (QAbstractButton* clicked = box.clickedButton()) {
        const QMessageBox::StandardButton pressed = box.standardButton(clicked);
        if (pressed != QMessageBox::NoButton)
            return pressed;
    }
    return QMessageBox::StandardButton(code);
}

QMessageBox::StandardButton show_warning(QWidget* parent, const QString& title, std::string_view key,
                                         QMessageBox::StandardButtons buttons)
{
    return show_message(parent, title, text_for_key(key), buttons);
}
