#include "app/pages/volume_window.h"

#include "app/message_box.h"
#include "app/settings.h"

#include <QStringListModel>

volume_window_c::volume_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    ui.btn_back->setText(text_for_key("btn_back"));
    ui.btn_scan->setText(text_for_key("btn_scan"));
    ui.btn_refresh->setText(text_for_key("btn_refresh"));
    connect(ui.btn_scan, SIGNAL(clicked()), main_window, SLOT(on_click_volume_scan()));
    connect(this, SIGNAL(start_scan()), main_window, SLOT(on_click_volume_scan()));
    connect(ui.btn_back, SIGNAL(clicked()), main_window, SLOT(on_click_volume_back()));
    connect(ui.btn_refresh, SIGNAL(clicked()), main_window, SLOT(on_click_volume_refresh()));
    connect(ui.lv_volumes, &QListView::doubleClicked, this, &volume_window_c::on_double_clicked);
}

void volume_window_c::set_volume_list(std::vector<volume_item_s>* list)
{
    volumes = list;
    QStringList rows;
    for (const volume_item_s& v : *list)
        rows << (v.dos_device.isEmpty() ? QString() : v.dos_device + "  " + v.file_system + "  " + v.label);
    QStringListModel* old = model;
    model = new QStringListModel(rows, this);
    ui.lv_volumes->setModel(model);
    delete old;
}

volume_item_s* volume_window_c::selected_volume()
{
    const int row = ui.lv_volumes->currentIndex().row();
    if (row < 0 || !volumes) {
        show_warning(this, QStringLiteral("Quarvel"), "scan_nosel_warning", QMessageBox::Ok);
        return nullptr;
    }
    if (std::size_t(row) >= volumes->size())
        return nullptr;
    return &(*volumes)[std::size_t(row)];
}

void volume_window_c::on_double_clicked(const QModelIndex&)
{
    emit start_scan();
}
