#include "app/home_window.h"

#include "shell/resources_init.h"
#include "shell/settings.h"
#include "skin/button_style.h"

#include <QPainter>
#include <QPixmap>

QString home_button_style(const QString& name)
{
    const QString base = QStringLiteral("/images/multilang/") + image_language_code() + "/" + name;
    return make_button_style(base + "1.png", base + "2.png", base + "3.png");
}

home_window_c::home_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    ui.lbl_wenzi->hide();
    ui.btn_start->setGeometry(40, 105, 330, 106);
    ui.btn_resume->setGeometry(425, 105, 323, 106);
    ui.btn_start->setStyleSheet(home_button_style(QStringLiteral("btn_start_scan")));
    ui.btn_resume->setStyleSheet(home_button_style(QStringLiteral("btn_resume_recovery")));
    // The pictures carry the words; screen readers get them from here.
    ui.btn_start->setAccessibleName(text_for_key("home_btn_start"));
    ui.btn_resume->setAccessibleName(text_for_key("home_btn_resume"));
    connect(ui.btn_start, SIGNAL(clicked()), main_window, SLOT(on_click_home_start()));
    connect(ui.btn_resume, SIGNAL(clicked()), main_window, SLOT(on_click_home_resume()));
}

void home_window_c::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int h = height();
    for (QPushButton* button : {ui.btn_start, ui.btn_resume})
        button->move(button->x(), int(0.45 * h - button->height()));
    ui.lbl_wenzi->move(ui.lbl_wenzi->x(), h - ui.lbl_wenzi->height() - 60);
}

void home_window_c::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int h = height();
    const QPixmap strip(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(0, 0, width(), strip.height(), QBrush(strip));
    painter.drawPixmap(55, h - 240, QPixmap(QStringLiteral(":/images/home/wenzi.png")));

    painter.setFont(QFont(QStringLiteral("arial"), 8));
    painter.setPen(QColor(91, 135, 201));
    painter.drawText(70, h - 190, text_for_key("home_text1"));
    painter.drawText(70, h - 140, text_for_key("home_text2"));
    painter.drawText(70, h - 90, text_for_key("home_text3"));
}
