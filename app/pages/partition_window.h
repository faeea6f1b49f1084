// Partition search page (page 3): the search's progress and the partitions
// found on the chosen disk, Stop/Start, Back, and Repair with its
// confirmations. The repair and the undo from the menu run as a job of their
// own; their outcome is told as it is, refusals with their reason.
#pragma once

#include "devices/volume_item.h"
#include "partition/partition_repair.h"
#include "partition/sector0_job.h"
#include "skin/progress_bar.h"
#include "ui_PartitionForm.h"

#include <QTimer>
#include <QWidget>

class partition_model_c;
class partition_delegate_c;

class partition_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the Back button's click (on_click_partition_back)
    // and parents the boxes of the undo, which may be asked from any page.
    explicit partition_window_c(QWidget* main_window);
    ~partition_window_c() override;

    // Searches `drive` from sector 0 with an emptied list; the record is
    // copied, the caller's may go away.
    void start_search(const drive_item_s& drive);
    // Stops a running search; what it found stays listed.
    void stop_search();

    // The settings menu's undo: asks, then puts the sector 0 saved by the
    // last repair back onto its disk (the sector it replaces saved in turn).
    void restore_last_repair();

    // A search is going on and was not asked to stop (a stopped one ends
    // before its next block).
    bool search_running() const { return search.isRunning() && !search.stop_requested(); }
    bool writing() const { return job.isRunning(); }
    const drive_item_s& searched_drive() const { return drive; }
    const partition_repair_c& search_thread() const { return search; }
    double progress_value() const { return progress; }
    const QString& gpt_state_text() const { return gpt_line; }
    // "N sectors could not be read" for the search so far, or empty; its
    // tool tip lists the ranges.
    const QString& unreadable_text() const { return unreadable_line; }

    // Connected at construction by member pointer: not declared as slots, so
    // the form's connect-by-name does not take their names for its own.
    void on_partition_found();
    void on_thread_finished();
    void on_timer();
    void on_stop_clicked();
    void on_repair_clicked();
    void on_job_finished();
    // Reads the selected found volume (or, with none selected, deep-scans
    // the whole disk) through a window over the disk: nothing is written.
    void on_scan_volume_clicked();

signals:
    // The main window hands the volume to the recovery page.
    void scan_volume(const volume_item_s& volume, bool deep);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void show_found();
    void read_unreadable();
    // Reads the chosen disk's GPT state into gpt_line (empty for a disk
    // that shows no GPT).
    void read_gpt_state();
    void set_busy(bool busy);
    // "partition_repair_failed" with the reason, or the success text with
    // where the old sector went.
    void tell_outcome(const partition::repair_outcome_s& outcome, bool restore);

    Ui::PartitionForm ui;
    QWidget* main_window;
    partition_repair_c search;
    sector0_job_c job;
    QTimer timer;
    progress_bar_c progress_bar;
    double progress = 0.0;
    drive_item_s drive;
    QString gpt_line;
    QString unreadable_line;
    QString unreadable_list;
    QRect unreadable_rect;
    partition_model_c* model = nullptr;
    partition_delegate_c* delegate = nullptr;
    QPushButton* btn_scan_volume = nullptr;
};
