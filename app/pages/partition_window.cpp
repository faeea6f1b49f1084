#include "app/pages/partition_window.h"

#include "app/settings.h"

partition_window_c::partition_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    ui.btn_back->setText(text_for_key("btn_back"));
    ui.btn_stop->setText(text_for_key("btn_stop"));
    ui.btn_repair->setText(text_for_key("btn_repair"));
    connect(ui.btn_back, SIGNAL(clicked()), main_window, SLOT(on_click_partition_back()));
}

void partition_window_c::start_search(const drive_item_s& searched)
{
    drive = searched;
    running = true;
}

void partition_window_c::stop_search()
{
    running = false;
}
