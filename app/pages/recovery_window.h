// Recovery page (page 4). For now it starts no scans and loads no results;
// the page with the scanners, models and writer replaces it.
#pragma once

#include "devices/volume_item.h"
#include "ui_RecoveryForm.h"

#include <QWidget>

class recovery_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the Back button's click (on_click_recovery_back).
    explicit recovery_window_c(QWidget* main_window);

    // Returns 0 when a scan was started; no scanner is wired in yet, so -1.
    int begin_scan(const volume_item_s& volume, bool deep_scan);
    // Returns 0 when a saved result was loaded; -1 here.
    int load_result();
    // Asks a running scan to stop and discard its results.
    void abandon_scan();
    // Empties the page.
    void reset_page();

    int abandon_calls() const { return abandoned; }
    int reset_calls() const { return resets; }

private:
    Ui::RecoveryForm ui;
    QWidget* main_window;
    int abandoned = 0;
    int resets = 0;
};
