#include "app/pages/volume_window.h"

#include "app/pages/image_dialog.h"
#include "app/pages/volume_delegate.h"
#include "app/pages/volume_model.h"
#include "scan/raw/raw_recovery.h"
#include "shell/message_box.h"
#include "shell/settings.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace {

QFont title_font() { return QFont(QStringLiteral("Arial"), 12); }

// "Text files: txt, csv"; the names alone where the language file lacks the text.
QString some_types_caption(const QString& names)
{
    const QString text = text_for_key("deep_text_some");
    return text.contains(QLatin1String("%1")) ? text.arg(names) : names;
}

}  // namespace

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

    // Text files are off unless asked for: old text lies everywhere on a
    // used disk. The choice stands beside the image button, in its look.
    text_button = new QPushButton(this);
    text_button->setObjectName(QStringLiteral("btn_text_types"));
    text_button->setFont(ui.btn_image->font());
    text_button->setStyleSheet(ui.btn_image->styleSheet());
    text_types_menu = new QMenu(text_button);
    text_types_menu->setObjectName(QStringLiteral("menu_text_types"));
    text_types_menu->setToolTipsVisible(true);
    every_text = text_types_menu->addAction(text_for_key("deep_text_every"));
    every_text->setCheckable(true);
    text_types_menu->addSeparator();
    for (const std::string& type : raw_recovery_c::text_types()) {
        QAction* action = text_types_menu->addAction(QLatin1Char('.') + QString::fromStdString(type));
        action->setCheckable(true);
        action->setData(QString::fromStdString(type));
        text_actions.push_back(action);
        connect(action, &QAction::toggled, this, [this] {
            const QSignalBlocker quiet(every_text);
            every_text->setChecked(std::all_of(text_actions.begin(), text_actions.end(),
                                               [](const QAction* a) { return a->isChecked(); }));
            update_text_button();
        });
    }
    connect(every_text, &QAction::triggered, this, [this](bool on) {
        for (QAction* action : text_actions)
            action->setChecked(on);
        update_text_button();
    });
    // Several types are ticked in one visit: a tick leaves the menu open.
    text_types_menu->installEventFilter(this);
    connect(text_button, &QPushButton::clicked, this, [this] {
        text_types_menu->popup(text_button->mapToGlobal(QPoint(0, text_button->height())));
    });
    update_text_button();
    text_button->hide();
    // The keys keep the buttons' order on screen: the list, Back, Refresh,
    // Scan, and then the choice of text files.
    setTabOrder(ui.btn_scan, text_button);
}

void volume_window_c::show_text_choice(bool deep)
{
    text_button->setVisible(deep);
}

bool volume_window_c::text_choice_shown() const { return !text_button->isHidden(); }

std::vector<std::string> volume_window_c::chosen_text_types() const
{
    std::vector<std::string> chosen;
    for (const QAction* action : text_actions)
        if (action->isChecked())
            chosen.push_back(action->data().toString().toStdString());
    return chosen;
}

void volume_window_c::update_text_button()
{
    if (!text_button)
        return;
    const std::vector<std::string> chosen = chosen_text_types();
    QString caption;
    QString tip = text_for_key("deep_text_tip");
    if (chosen.empty()) {
        caption = text_for_key("deep_text_off");
    } else if (chosen.size() == text_actions.size()) {
        caption = text_for_key("deep_text_all");
    } else {
        // The names as far as they fit between the page's title and the
        // image button; the tool tip holds them all.
        QStringList names;
        for (const std::string& type : chosen)
            names << QString::fromStdString(type);
        const int title_end = 23 + QFontMetrics(title_font()).horizontalAdvance(text_for_key("volume_select")) + 12;
        const int room = ui.btn_image->x() - 10 - title_end;
        const QString all = names.join(QStringLiteral(", "));
        caption = some_types_caption(all);
        while (names.size() > 1 &&
               text_button->fontMetrics().horizontalAdvance(caption + QStringLiteral(" ▾")) + 32 > room) {
            names.removeLast();
            caption = some_types_caption(names.join(QStringLiteral(", ")) + QStringLiteral(", …"));
        }
        tip = all + QStringLiteral("\n\n") + tip;
    }
    text_button->setToolTip(tip);
    text_button->setText(caption + QStringLiteral(" ▾"));
    const int width = text_button->fontMetrics().horizontalAdvance(text_button->text()) + 32;
    text_button->setGeometry(ui.btn_image->x() - 10 - width, ui.btn_image->y(), width, ui.btn_image->height());
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
    if (watched == text_types_menu && event->type() == QEvent::MouseButtonRelease) {
        QAction* action = text_types_menu->actionAt(static_cast<QMouseEvent*>(event)->position().toPoint());
        if (action && action->isCheckable() && action->isEnabled()) {
            action->trigger();
            return true;
        }
    }
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
    update_text_button();
    ui.lv_volumes->setGeometry(25, 45, w - 50, h - 140);
}

void volume_window_c::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QPixmap strip(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(0, 0, width(), strip.height(), QBrush(strip));
    painter.setFont(title_font());
    painter.drawText(23, 30, text_for_key("volume_select"));
}
