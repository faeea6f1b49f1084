// The main window: owns the five pages, moves the user between them and hands
// the chosen volume or drive to the page that works on it.
#pragma once

#include "app/main_window_base.h"
#include "ui_MainForm.h"

class home_window_c;
class volume_window_c;
class drive_window_c;
class partition_window_c;
class recovery_window_c;

class main_window_c : public main_window_base_c {
    Q_OBJECT
public:
    explicit main_window_c(QWidget* parent = nullptr);

    void show_page(int index) override;
    void leave_page() override;

    // Index (0..4) of the page in front.
    int current_page_index() const;

    home_window_c* home_page() const { return home; }
    volume_window_c* volume_page() const { return volume; }
    drive_window_c* drive_page() const { return drive; }
    partition_window_c* partition_page() const { return partition; }
    recovery_window_c* recovery_page() const { return recovery; }

    // Disk images a later start of the program was given: opened, listed,
    // and the window brought to the front; those that fail are named.
    void open_handed_images(const QStringList& images);

public slots:
    void on_click_home_start();
    void on_click_home_resume();
    void on_click_volume_back();
    void on_click_recovery_back();
    void on_click_volume_refresh();
    void on_click_volume_scan();
    void on_click_drive_scan();
    void on_click_drive_refresh();
    void on_click_drive_back();
    void on_click_partition_back();
    void on_init_finished();

protected:
    void devices_changed() override;
    // While the recovery page's scan runs, until its end has been handled.
    bool work_running() const override;

private:
    QWidget* page_at(int index) const;
    // Hands the scan service the text types ticked for a deep scan.
    void choose_text_types();

    Ui::MainForm ui;
    home_window_c* home = nullptr;
    volume_window_c* volume = nullptr;
    drive_window_c* drive = nullptr;
    partition_window_c* partition = nullptr;
    recovery_window_c* recovery = nullptr;
    QWidget* current_page = nullptr;
};
