#include "app/pages/recovery_window.h"

#include "app/settings.h"

recovery_window_c::recovery_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    ui.btn_recovery->setText(text_for_key("btn_recovery"));
    ui.btn_back->setText(text_for_key("btn_back"));
    ui.btn_stop->setText(text_for_key("btn_stop"));
    ui.btn_pause->setText(text_for_key("btn_pause"));
    ui.btn_filter->setText(text_for_key("btn_save_result"));
    connect(ui.btn_back, SIGNAL(clicked()), main_window, SLOT(on_click_recovery_back()));
}

int recovery_window_c::begin_scan(const volume_item_s&, bool)
{
    return -1;
}

int recovery_window_c::load_result()
{
    return -1;
}

void recovery_window_c::abandon_scan()
{
    ++abandoned;
}

void recovery_window_c::reset_page()
{
    ++resets;
}
