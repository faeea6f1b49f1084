#include "app/pages/drive_window.h"

#include "app/pages/drive_model.h"
#include "app/pages/image_dialog.h"
#include "devices/enumerate.h"
#include "platform/drive_table.h"
#include "shell/message_box.h"
#include "shell/settings.h"

#include <QFile>
#include <QPainter>
#include <QPixmap>

drive_window_c::drive_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    delegate = new drive_delegate_c(this);
    ui.lv_drives->setItemDelegate(delegate);
    ui.lv_drives->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (QPushButton* button : {ui.btn_back, ui.btn_refresh, ui.btn_scan})
        button->resize(100, 30);
    ui.btn_back->setText(text_for_key("btn_back"));
    ui.btn_scan->setText(text_for_key("btn_scan"));
    ui.btn_refresh->setText(text_for_key("btn_refresh"));
    ui.btn_image->setText(text_for_key("image_disk_button"));
    connect(ui.btn_image, &QPushButton::clicked, this, &drive_window_c::on_save_image);
    if (!main_window)
        return;  // a page on its own, as in tests
    connect(ui.btn_refresh, SIGNAL(clicked()), main_window, SLOT(on_click_drive_refresh()));
    connect(ui.btn_back, SIGNAL(clicked()), main_window, SLOT(on_click_drive_back()));
    connect(ui.btn_scan, SIGNAL(clicked()), main_window, SLOT(on_click_drive_scan()));
}

void drive_window_c::show_list(std::vector<drive_item_s>* list)
{
    drives = list;
    drive_model_c* old = model;
    model = new drive_model_c(list, this);
    ui.lv_drives->setModel(model);
    delete old;
}

void drive_window_c::set_drive_list(std::vector<drive_item_s>* list)
{
    show_list(list);
    // An image opened by name is what the person came to search; else the
    // first disk.
    int chosen = 1;
    for (std::size_t row = 1; list && row < list->size(); ++row) {
        const int number = platform::drive_number_of(QFile::encodeName((*list)[row].device_path).toStdString());
        if (const auto entry = platform::drive_at(number); number >= 0 && entry && entry->is_image)
            chosen = int(row);
    }
    ui.lv_drives->setCurrentIndex(model->index(chosen, 0));
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

void drive_window_c::on_save_image()
{
    const drive_item_s drive = selected_drive();
    if (drive.device_path.isEmpty()) {
        show_warning(this, QStringLiteral("Quarvel"), "main_warning1", QMessageBox::Ok);
        return;
    }
    if (save_image_of(drive.device_path, this))
        refresh();
}

void drive_window_c::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int w = width(), h = height();
    place_image_button(ui.btn_image, w);
    ui.btn_back->move(175, h - 54);
    ui.btn_refresh->move(w / 2 - 50, h - 54);
    ui.btn_scan->move(w - 275, h - 54);
    ui.lv_drives->setGeometry(25, 45, w - 50, h - 140);
}

void drive_window_c::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QPixmap strip(QStringLiteral(":/images/background/bai.png"));
    if (!strip.isNull())
        painter.fillRect(QRect(0, 0, width(), strip.height()), QBrush(strip));
    painter.setFont(QFont(QStringLiteral("Arial"), 12));
    painter.setPen(Qt::black);
    painter.drawText(23, 30, text_for_key("volume_select"));
}
