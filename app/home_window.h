// The home page (page 0): two large picture buttons, start a scan or resume a
// saved one, and three hints painted below them.
#pragma once

#include "ui_HomeForm.h"

#include <QWidget>

// Style sheet giving a push button the three per-language images of `name`
// (name + "1.png" normal, "2.png" hover, "3.png" pressed).
QString home_button_style(const QString& name);

class home_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the buttons' clicks (on_click_home_start/resume).
    explicit home_window_c(QWidget* main_window);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    Ui::HomeForm ui;
    QWidget* main_window;
};
