#include "app/pages/drive_window.h"

#include "app/settings.h"
#include "devices/enumerate.h"

#include <QStringListModel>

drive_window_c::drive_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    ui.btn_back->setText(text_for_key("btn_back"));
    ui.btn_scan->setText(text_for_key("btn_scan"));
    ui.btn_refresh->setText(text_for_key("btn_refresh"));
    connect(ui.btn_refresh, SIGNAL(clicked()), main_window, SLOT(on_click_drive_refresh()));
    connect(ui.btn_back, SIGNAL(clicked()), main_window, SLOT(on_click_drive_back()));
    connect(ui.btn_scan, SIGNAL(clicked()), main_window, SLOT(on_click_drive_scan()));
}

void drive_window_c::show_list(std::vector<drive_item_s>* list)
{
    drives = list;
    QStringList rows;
    for (const drive_item_s& d : *list)
        rows << (d.device_path.isEmpty() ? QString() : d.device_path + "  " + format_size(d.size_bytes));
    QStringListModel* old = model;
    model = new QStringListModel(rows, this);
    ui.lv_drives->setModel(model);
    delete old;
}

void drive_window_c::set_drive_list(std::vector<drive_item_s>* list)
{
    show_list(list);
    ui.lv_drives->setCurrentIndex(model->index(1, 0));
}

void drive_window_c::refresh()
{
    enumerate_drives();
    show_list(&drive_list);
}

drive_item_s drive_window_c::selected_drive() const
{
    const int row = ui.lv_drives->currentIndex().row();
    if (!drives || row < 0 || std::size_t(row) >= drives->size())
        return {};
    return (*drives)[std::size_t(row)];
}
