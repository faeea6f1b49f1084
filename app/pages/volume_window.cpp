#include "app/pages/volume_window.h"

#include "app/pages/image_dialog.h"
#include "app/pages/volume_delegate.h"
#include "app/pages/volume_model.h"
#include "shell/message_box.h"
#include "shell/settings.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>

volume_window_c::volume_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    delegate = new volume_delegate_c(this);
    ui.lv_volumes->setItemDelegate(delegate);
    ui.lv_volumes->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (QPushButton* button : {ui.btn_back, ui.btn_refresh, ui.btn_scan})
        button->resize(100, 30);
    ui.btn_back->setText(text_for_key("btn_back"));
    ui.btn_scan->setText(text_for_key("btn_scan"));
    ui.btn_refresh->setText(text_for_key("btn_refresh"));
    ui.btn_image->setText(text_for_key("image_volume_button"));
    connect(ui.btn_image, &QPushButton::clicked, this, &volume_window_c::on_save_image);

    // The list first, then the buttons in the order they stand on screen.
    setTabOrder(ui.lv_volumes, ui.btn_back);
    setTabOrder(ui.btn_back, ui.btn_refresh);
    setTabOrder(ui.btn_refresh, ui.btn_scan);
    ui.lv_volumes->installEventFilter(this);

    connect(ui.btn_scan, SIGNAL(clicked()), main_window, SLOT(on_click_volume_scan()));
    connect(this, SIGNAL(start_scan()), main_window, SLOT(on_click_volume_scan()));
    connect(ui.btn_back, SIGNAL(clicked()), main_window, SLOT(on_click_volume_back()));
    connect(ui.btn_refresh, SIGNAL(clicked()), main_window, SLOT(on_click_volume_refresh()));
    connect(ui.lv_volumes, &QListView::doubleClicked, this, &volume_window_c::on_double_clicked);
}

void volume_window_c::set_volume_list(std::vector<volume_item_s>* list)
{
    volumes = list;
    volume_model_c* old = model;
    model = new volume_model_c(list, this);
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
    // The list may have been rebuilt under a stale index; never read past it.
    if (std::size_t(row) >= volumes->size())
        return nullptr;
    return &(*volumes)[std::size_t(row)];
}

void volume_window_c::on_save_image()
{
    const volume_item_s* volume = selected_volume();
    if (!volume)
        return;
    if (volume->device_path.isEmpty()) {
        show_warning(this, QStringLiteral("Quarvel"), "main_warning2", QMessageBox::Ok);
        return;
    }
    // The image opened joins the list as the main window's Refresh shows it.
    if (save_image_of(volume->device_path, this) && main_window)
        QMetaObject::invokeMethod(main_window, "on_click_volume_refresh");
}

void volume_window_c::on_double_clicked(const QModelIndex&)
{
    emit start_scan();
}

bool volume_window_c::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui.lv_volumes && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            emit start_scan();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void volume_window_c::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int w = width();
    const int h = height();
    ui.btn_back->move(175, h - 54);
    ui.btn_refresh->move(w / 2 - 50, h - 54);
    ui.btn_scan->move(w - 275, h - 54);
    place_image_button(ui.btn_image, w);
    ui.lv_volumes->setGeometry(25, 45, w - 50, h - 140);
}

void volume_window_c::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QPixmap strip(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(0, 0, width(), strip.height(), QBrush(strip));
    painter.setFont(QFont(QStringLiteral("Arial"), 12));
    painter.drawText(23, 30, text_for_key("volume_select"));
}
