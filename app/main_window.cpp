#include "app/main_window.h"

#include "app/home_window.h"
#include "app/pages/drive_window.h"
#include "app/pages/partition_window.h"
#include "app/pages/recovery_window.h"
#include "app/pages/volume_window.h"
#include "devices/enumerate.h"
#include "devices/volume_item.h"
#include "platform/drive_table.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/settings.h"

#include <QAction>
#include <QFile>
#include <QIcon>
#include <QMenu>

main_window_c::main_window_c(QWidget* parent) : main_window_base_c(parent)
{
    ui.setupUi(this);

    home = new home_window_c(this);
    volume = new volume_window_c(this);
    drive = new drive_window_c(this);
    partition = new partition_window_c(this);
    recovery = new recovery_window_c(this);
    for (QWidget* page : {page_at(1), page_at(2), page_at(3), page_at(4)})
        page->hide();

    for (int index = 0; index < 5; ++index)
        ui.gridLayout->addWidget(page_at(index), 0, 0);
    home->raise();
    current_page = home;

    QSizePolicy policy = sizePolicy();
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    setWindowIcon(QIcon(QStringLiteral(":/images/top.ico")));

    // A volume found on a disk whose table is lost is read where it lies.
    connect(partition, &partition_window_c::scan_volume, this, [this](const volume_item_s& found, bool deep) {
        choose_text_types();
        if (recovery->begin_scan(found, deep || deep_scan_chosen()) == 0)
            show_page(4);
    });

    // Undoing a partition table repair: its own entry, its own confirmation.
    QAction* undo_repair = new QAction(text_for_key("menu_restore_sector0"), settings_menu());
    undo_repair->setObjectName(QStringLiteral("action_restore_sector0"));
    // After the entries that open disk images, the other one that concerns whole disks.
    const QList<QAction*> entries = settings_menu()->actions();
    qsizetype after = entries.size() - 1;
    for (qsizetype i = 0; i < entries.size(); ++i)
        if (entries[i]->objectName() == QLatin1String("action_open_image_map"))
            after = i;
    settings_menu()->insertAction(entries.value(after + 1), undo_repair);
    connect(undo_repair, &QAction::triggered, this, [this] {
        if (startup_done)
            partition->restore_last_repair();
        else
            show_warning(this, QStringLiteral("Quarvel"), "startup_warning", QMessageBox::Ok);
    });
}

QWidget* main_window_c::page_at(int index) const
{
    switch (index) {
    case 0: return home;
    case 1: return volume;
    case 2: return drive;
    case 3: return partition;
    case 4: return recovery;
    default: return nullptr;
    }
}

int main_window_c::current_page_index() const
{
    for (int index = 0; index < 5; ++index) {
        if (page_at(index) == current_page)
            return index;
    }
    return -1;
}

void main_window_c::choose_text_types()
{
    // Ticked text types count only where they were offered: in the deep scan.
    recovery->scan_service().set_text_types(deep_scan_chosen() ? volume->chosen_text_types()
                                                               : std::vector<std::string>());
}

void main_window_c::show_page(int index)
{
    QWidget* page = page_at(index);
    if (!page)
        return;
    if (index == 1)
        volume->show_text_choice(deep_scan_chosen());
    current_page->hide();
    page->raise();
    page->show();
    current_page = page;
    update();
}

void main_window_c::leave_page()
{
    recovery->abandon_scan();
    recovery->reset_page();
}

void main_window_c::on_click_home_start()
{
    if (!startup_done) {
        show_warning(this, QStringLiteral("Quarvel"), "startup_warning", QMessageBox::Ok);
        return;
    }
    show_page(1);
}

void main_window_c::on_click_home_resume()
{
    if (!startup_done) {
        show_warning(this, QStringLiteral("Quarvel"), "startup_warning", QMessageBox::Ok);
        return;
    }
    if (recovery->load_result() == -1)
        return;
    show_page(4);
}

void main_window_c::on_click_volume_back()
{
    show_page(0);
}

bool main_window_c::work_running() const
{
    return recovery && recovery->scan_session().running();
}

void main_window_c::on_click_recovery_back()
{
    if (work_running() &&
        show_warning(this, QStringLiteral("Quarvel"), "back_warning", QMessageBox::Yes | QMessageBox::No) ==
            QMessageBox::No)
        return;
    leave_page();
    show_page(1);
}

void main_window_c::on_click_volume_refresh()
{
    enumerate_volumes();
    volume->set_volume_list(&volume_list);
}

void main_window_c::on_click_volume_scan()
{
    volume_item_s* selected = volume->selected_volume();
    if (!selected)
        return;
    if (selected->dos_device.isEmpty()) {
        show_warning(nullptr, QStringLiteral("Quarvel Undelete"), "main_warning2");
        return;
    }
    // Copied: a refresh may rebuild the list while the scan runs.
    const volume_item_s chosen = *selected;
    choose_text_types();
    if (recovery->begin_scan(chosen, deep_scan_chosen()) == 0)
        show_page(4);
}

void main_window_c::on_click_drive_scan()
{
    const drive_item_s chosen = drive->selected_drive();
    if (chosen.device_path.isEmpty()) {
        show_warning(nullptr, QStringLiteral("Quarvel Undelete"), "main_warning1");
        return;
    }
    partition->start_search(chosen);
    show_page(3);
}

void main_window_c::on_click_drive_refresh()
{
    drive->refresh();
}

void main_window_c::on_click_drive_back()
{
    show_page(0);
}

void main_window_c::on_click_partition_back()
{
    partition->stop_search();
    show_page(1);
}

void main_window_c::on_init_finished()
{
    volume->set_volume_list(&volume_list);
    drive->set_drive_list(&drive_list);
}

void main_window_c::devices_changed()
{
    enumerate_volumes();
    volume->set_volume_list(&volume_list);
    // The image just opened is what the person came for: chosen, as at start.
    enumerate_drives();
    drive->set_drive_list(&drive_list);
}

void main_window_c::open_handed_images(const QStringList& images)
{
    QStringList failures;
    for (const QString& image : images) {
        std::string reason;
        if (platform::open_disk_image(QFile::encodeName(image).toStdString(), &reason) != 0)
            failures << image + QStringLiteral(": ") + QString::fromStdString(reason);
    }
    if (startup_done)
        devices_changed();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
    if (!failures.isEmpty())
        show_message(this, QStringLiteral("Quarvel"), text_for_key("images_not_opened").arg(failures.join('\n')),
                     QMessageBox::Ok);
}
