// Partition search page (page 3). For now it only records the drive it was
// asked to search; the search and repair page replaces it.
#pragma once

#include "devices/volume_item.h"
#include "ui_PartitionForm.h"

#include <QWidget>

class partition_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the Back button's click (on_click_partition_back).
    explicit partition_window_c(QWidget* main_window);

    // Searches `drive`; the record is copied, the caller's may go away.
    void start_search(const drive_item_s& drive);
    void stop_search();

    bool search_running() const { return running; }
    const drive_item_s& searched_drive() const { return drive; }

private:
    Ui::PartitionForm ui;
    QWidget* main_window;
    drive_item_s drive;
    bool running = false;
};
