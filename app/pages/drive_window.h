// Drive selection page (page 2): the drives as a painted list whose row 0 is
// the heading; Back, Refresh and Scan go to the main window's slots.
#pragma once

#include "devices/volume_item.h"
#include "ui_DriveForm.h"

#include <QWidget>
#include <vector>

class drive_model_c;
class drive_delegate_c;

class drive_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the page's button clicks (its on_click_drive_* slots).
    explicit drive_window_c(QWidget* main_window);

    // Shows a fresh model over `list` with the first drive (row 1) current.
    void set_drive_list(std::vector<drive_item_s>* list);
    // Enumerates the drives again and shows them with no row current.
    void refresh();
    // The record of the current row; an empty record (like the header row)
    // when no row is current.
    drive_item_s selected_drive() const;

private slots:
    void on_save_image();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void show_list(std::vector<drive_item_s>* list);

    Ui::DriveForm ui;
    QWidget* main_window;
    std::vector<drive_item_s>* drives = nullptr;
    drive_model_c* model = nullptr;
    drive_delegate_c* delegate = nullptr;
};
