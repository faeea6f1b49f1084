#include "app/main_window_base.h"

#include "app/app_flags.h"
#include "app/message_box.h"
#include "app/settings.h"
#include "platform/drive_table.h"

#include <QAction>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QPalette>
#include <QToolButton>

main_window_base_c::main_window_base_c(QWidget* parent) : QWidget(parent)
{
    // The pages paint on a white window, as the skinned frame will give them.
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    build_menu();
    menu_button = new QToolButton(this);
    menu_button->setObjectName(QStringLiteral("btn_menu"));
    menu_button->setText(QStringLiteral("\u2261"));
    menu_button->setAutoRaise(true);
    menu_button->setToolTip(tr("Menu"));
    menu_button->setFixedSize(30, 24);
    connect(menu_button, &QToolButton::clicked, this, [this] {
        update_menu();
        system_menu->exec(menu_button->mapToGlobal(QPoint(0, menu_button->height())));
    });
}

void main_window_base_c::build_menu()
{
    system_menu = new QMenu(this);
    for (int button = 1; button <= 3; ++button) {
        const std::string key = "top_btn" + std::to_string(button);
        QAction* action = system_menu->addAction(text_for_key(key));
        action->setObjectName(QStringLiteral("action_top%1").arg(button));
        connect(action, &QAction::triggered, this, [this, button] { top_command(button); });
    }
    system_menu->addSeparator();
    QAction* open_image = system_menu->addAction(tr("Open disk image\u2026"));
    open_image->setObjectName(QStringLiteral("action_open_image"));
    connect(open_image, &QAction::triggered, this, &main_window_base_c::on_click_open_disk_image);

    QMenu* languages = system_menu->addMenu(tr("Language"));
    languages->setObjectName(QStringLiteral("menu_language"));
    for (int position = int(language_list.size()) - 1; position >= 0; --position) {
        QAction* action = languages->addAction(language_list[std::size_t(position)]);
        action->setData(position);
        action->setCheckable(true);
        action->setChecked(position == current_language_index);
        connect(action, &QAction::triggered, this, &main_window_base_c::on_click_language);
    }

    system_menu->addSeparator();
    QAction* exit = system_menu->addAction(text_for_key("menu_exit"));
    exit->setObjectName(QStringLiteral("action_exit"));
    connect(exit, &QAction::triggered, this, &main_window_base_c::on_click_close);
}

void main_window_base_c::update_menu()
{
    // Changing the drive table under a running scan would pull the disk
    // layer's drives away from the scanner.
    if (QAction* open_image = system_menu->findChild<QAction*>(QStringLiteral("action_open_image")))
        open_image->setEnabled(!scan_running);
    if (QMenu* languages = system_menu->findChild<QMenu*>(QStringLiteral("menu_language"))) {
        for (QAction* action : languages->actions())
            action->setChecked(action->data().toInt() == current_language_index);
    }
}

void main_window_base_c::raise_menu_button()
{
    menu_button->move(width() - menu_button->width() - 4, 4);
    menu_button->raise();
}

void main_window_base_c::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    raise_menu_button();
}

void main_window_base_c::contextMenuEvent(QContextMenuEvent* event)
{
    update_menu();
    system_menu->exec(event->globalPos());
}

void main_window_base_c::top_command(int button)
{
    if (!startup_done) {
        show_warning(this, QStringLiteral("Quarvel"), "startup_warning", QMessageBox::Ok);
        return;
    }
    if (scan_running &&
        show_warning(this, QStringLiteral("Quarvel"), "back_warning", QMessageBox::Yes | QMessageBox::No) ==
            QMessageBox::No)
        return;
    if (button == 1)
        deep_scan = 0;
    else if (button == 3)
        deep_scan = 1;
    leave_page();
    show_page(button == 2 ? 2 : 1);
}

void main_window_base_c::on_click_close()
{
    close();
}

void main_window_base_c::closeEvent(QCloseEvent* event)
{
    if (scan_running && !close_confirmed) {
        if (show_warning(this, QStringLiteral("Quarvel"), "quit_warning", QMessageBox::Yes | QMessageBox::No) !=
            QMessageBox::Yes) {
            event->ignore();
            return;
        }
        close_confirmed = true;
    }
    QWidget::closeEvent(event);
}

void main_window_base_c::on_click_language()
{
    auto* action = qobject_cast<QAction*>(sender());
    if (!action)
        return;
    if (choose_language(action->data().toInt()))
        show_warning(this, QStringLiteral("Quarvel"), "language_warning", QMessageBox::Ok);
}

bool main_window_base_c::may_change_devices()
{
    // Before start-up has finished the start-up thread still fills the lists.
    if (!startup_done) {
        show_warning(this, QStringLiteral("Quarvel"), "startup_warning", QMessageBox::Ok);
        return false;
    }
    return !scan_running;
}

void main_window_base_c::on_click_open_disk_image()
{
    if (!may_change_devices())
        return;
    const QString path = QFileDialog::getOpenFileName(this, tr("Open disk image"), QString(),
                                                      tr("Disk images (*.img *.dd *.raw *.bin *.ima);;All files (*)"));
    if (!path.isEmpty())
        open_disk_image_file(path);
}

int main_window_base_c::open_disk_image_file(const QString& path)
{
    if (!may_change_devices())
        return -1;
    std::string reason;
    if (platform::open_disk_image(QFile::encodeName(path).toStdString(), &reason) != 0) {
        show_message(this, QStringLiteral("Quarvel"),
                     tr("Cannot open the disk image %1: %2").arg(path, QString::fromStdString(reason)),
                     QMessageBox::Ok);
        return -1;
    }
    devices_changed();
    return 0;
}
