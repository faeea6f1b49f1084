#include "app/main_window_base.h"

#include "platform/drive_table.h"
#include "platform/rescue_map.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/settings.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
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
    auto* open_with_map = new QAction(text_for_key("menu_open_image_map"), menu);
    open_with_map->setObjectName(QStringLiteral("action_open_image_map"));
    connect(open_with_map, &QAction::triggered, this, &main_window_base_c::on_click_open_disk_image_with_map);
    QAction* first = menu->actions().value(0);
    menu->insertAction(first, open_image);
    menu->insertAction(first, open_with_map);
    menu->insertSeparator(first);
    connect(menu, &QMenu::aboutToShow, this, &main_window_base_c::update_menu);
}

void main_window_base_c::update_menu()
{
    // Changing the drive table under a running scan would pull the disk
    // layer's drives away from the scanner.
    for (const char* name : {"action_open_image", "action_open_image_map"})
        if (auto* action = settings_menu()->findChild<QAction*>(QLatin1String(name)))
            action->setEnabled(!work_running());
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
    return !work_running();
}

namespace {

QString choose_disk_image(QWidget* parent)
{
    return QFileDialog::getOpenFileName(
        parent, main_window_base_c::tr("Open disk image"), QString(),
        main_window_base_c::tr("Disk images (*.img *.dd *.raw *.bin *.ima *.E01 *.e01 *.Ex01 *.ex01 *.vhd *.vhdx *.vmdk);;All files (*)"));
}

}  // namespace

void main_window_base_c::on_click_open_disk_image()
{
    if (!may_change_devices())
        return;
    const QString path = choose_disk_image(this);
    if (!path.isEmpty())
        open_disk_image_file(path);
}

void main_window_base_c::on_click_open_disk_image_with_map()
{
    if (!may_change_devices())
        return;
    const QString path = choose_disk_image(this);
    if (path.isEmpty())
        return;
    // Imaging tools name their maps in many ways; start beside the image.
    const QString map = QFileDialog::getOpenFileName(
        this, text_for_key("rescue_map_choose").arg(QFileInfo(path).fileName()), QFileInfo(path).absolutePath(),
        tr("Rescue maps (*.map *.mapfile *.log);;All files (*)"));
    if (!map.isEmpty())
        open_disk_image_file(path, map);
}

int main_window_base_c::open_disk_image_file(const QString& path, const QString& map_path)
{
    if (!may_change_devices())
        return -1;
    const std::string image = QFile::encodeName(path).toStdString();
    // A map that does not fit would mark the wrong sectors unreadable, or
    // fail every scan of the image later: refuse it now, with the reason.
    if (const std::string why = platform::adopt_rescue_map(image, QFile::encodeName(map_path).toStdString());
        !why.empty()) {
        const QString map_shown = map_path.isEmpty() ? QString::fromStdString(platform::rescue_map_for(image)) : map_path;
        show_message(this, QStringLiteral("Quarvel"),
                     text_for_key("rescue_map_refused").arg(map_shown, path, QString::fromStdString(why)),
                     QMessageBox::Ok);
        return -1;
    }
    std::string reason;
    if (platform::open_disk_image(image, &reason) != 0) {
        show_message(this, QStringLiteral("Quarvel"),
                     text_for_key("image_open_failed").arg(path, QString::fromStdString(reason)), QMessageBox::Ok);
        return -1;
    }
    devices_changed();
    return 0;
}
