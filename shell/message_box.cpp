#include "shell/message_box.h"

#include "shell/settings.h"

#include <QPixmap>
#include <QPushButton>
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

namespace {

// The box's look and the test driver, for every kind of box.
int run_box(QMessageBox& box)
{
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
    return box.exec();
}

}  // namespace

int show_message_choice(QWidget* parent, const QString& title, const QString& text, const QStringList& choices)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    QList<QAbstractButton*> added;
    for (qsizetype i = 0; i < choices.size(); ++i) {
        QPushButton* button = box.addButton(choices[i], QMessageBox::ActionRole);
        button->setObjectName(QStringLiteral("btn_choice_%1").arg(i));
        added.push_back(button);
    }
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    run_box(box);
    return int(added.indexOf(box.clickedButton()));
}

QMessageBox::StandardButton show_message(QWidget* parent, const QString& title, const QString& text,
                                         QMessageBox::StandardButtons buttons)
{
    QMessageBox box(QMessageBox::Warning, title, text, buttons, parent,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    const int code = run_box(box);
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
