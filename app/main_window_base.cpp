#include "app/main_window_base.h"

#include "platform/drive_table.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/settings.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QMenu>

main_window_base_c::main_window_base_c(QWidget* parent) : QSkinWidget(parent)
{
    QMenu* menu = settings_menu();
    QString text = text_for_key("menu_open_image");
    if (text.isEmpty())
        text = tr("Open disk image\u2026");
    auto* open_image = new QAction(text, menu);
    open_image->setObjectName(QStringLiteral("action_open_image"));
    connect(open_image, &QAction::triggered, this, &main_window_base_c::on_click_open_disk_image);
    QAction* first = menu->actions().value(0);
    menu->insertAction(first, open_image);
    menu->insertSeparator(first);
    connect(menu, &QMenu::aboutToShow, this, &main_window_base_c::update_menu);
}

void main_window_base_c::update_menu()
{
    // Changing the drive table under a running scan would pull the disk
    // layer's drives away from the scanner.
    if (auto* open_image = settings_menu()->findChild<QAction*>(QStringLiteral("action_open_image")))
        open_image->setEnabled(!scan_running);
}

void main_window_base_c::contextMenuEvent(QContextMenuEvent* event)
{
    settings_menu()->exec(event->globalPos());
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
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open disk image"), QString(),
        tr("Disk images (*.img *.dd *.raw *.bin *.ima *.E01 *.e01 *.Ex01 *.ex01 *.vhd *.vhdx *.vmdk);;All files (*)"));
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
