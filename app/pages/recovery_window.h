// Recovery page (page 4): starts and watches the scan of the chosen volume,
// shows what it found as a folder tree and a file table with ticks, previews
// a clicked file, saves a deep scan's result and loads one back, and copies
// the ticked files into a folder the user picks.
#pragma once

#include "devices/volume_item.h"
#include "results/index_build_job.h"
#include "results/scan_messages.h"
#include "scan/recovery_base.h"
#include "scan/scan_session.h"
#include "skin/progress_bar.h"
#include "ui_RecoveryForm.h"

#include <QDir>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class QDialog;

class MyHeaderView;
class MyQTableView;
class QLabel;
class QMovie;
class recovery_delegate_c;
class recovery_filter_bar_c;
class recovery_model_c;
class result_index_c;
class TreeModel;

// Which question a path chooser answers.
enum class path_question_e { destination_folder, save_file, open_file };

// Test hook: when set, asked instead of the toolkit's file dialogs; returns
// the chosen path, or an empty string for a cancelled dialog. Null restores
// the dialogs.
using path_chooser_t = std::function<QString(path_question_e question)>;
void set_path_chooser(path_chooser_t chooser);

// The path a scan is saved under: a name typed without an extension gets
// ".sav", so the open dialog's scan filter finds it again. Empty stays empty.
QString scan_file_name(const QString& chosen);

// A scan that found at least this many entries has its file list built on
// a thread of its own (below it the build takes a few milliseconds on the
// window's thread). Tests lower it to 0.
void set_listing_thread_threshold(int64_t found);

class recovery_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the Back button's click (on_click_recovery_back).
    explicit recovery_window_c(QWidget* main_window);
    ~recovery_window_c() override;

    // Starts scanning `volume` (a deep scan when deep_scan is set). Returns 0
    // when a scan was started, -1 when one still runs or no scanner fits.
    int begin_scan(const volume_item_s& volume, bool deep_scan);
    // Asks the user for a saved deep-scan result and shows it. Returns 0 when
    // one was loaded, -1 otherwise (cancelled, unreadable, volume absent).
    int load_result();
    // Asks a running scan to stop and discard its results.
    void abandon_scan();
    // Empties the page (when the user leaves it).
    void reset_page();

    // For tests and the main window.
    int abandon_calls() const { return abandoned; }
    int reset_calls() const { return resets; }
    recovery_base_c* scanner() const { return &session.service().scanner(); }
    const scan_service_c& scan_service() const { return session.service(); }
    scan_service_c& scan_service() { return session.service(); }
    // The scan the page shows: whether it runs, and what follows it.
    const scan_session_c& scan_session() const { return session; }
    scan_session_c& scan_session() { return session; }
    scanner_kind_e kind() const { return session.service().kind(); }
    bool writer_running() const { return session.service().recovering(); }
    // Whether the finished scan's file list is being built.
    bool listing() const { return index_job.running(); }
    // Whether deleted files are being checked by their content.
    bool checking_contents() const { return session.checking_contents(); }
    // Whether the volume is searched for lost folders and records after
    // the listing.
    bool searching_lost_files() const { return session.searching_lost(); }
    // The rows the file table shows now, ticks included.
    std::vector<recovery_item_s> table_rows() const;
    // Every found row of the scan shown, with the ticks (null before one).
    const result_index_c* results() const { return index.get(); }
    recovery_filter_bar_c* filter_bar() const { return filter; }
    QString preview_path() const { return preview_ready ? preview_file : QString(); }
    // What the preview area says instead of a preview; empty when it shows one.
    QString preview_message() const { return preview_note; }
    // What the line under the progress bar says of unreadable and slow
    // sectors (empty on a sound medium), and the list behind its link.
    read_damage_text_s read_damage_shown() const { return damage_text; }
    // Opens the list of unreadable areas (what the line's link does).
    void show_damage_list();
    // What the same line says of what the finished scan skipped (empty
    // while it runs), and the list behind its own link.
    scan_notes_text_s scan_notes_shown() const { return notes_text; }
    // Opens the list of what the scan skipped, one note a row.
    void show_notes_list();
    // The files a recovery could not write, with their reasons, in a list
    // of their own (failed: how many there were in all); it closes itself.
    QDialog* show_failed_files(const std::vector<failed_file_s>& failures, int64_t failed);

signals:
    // After a scan's end has been handled (tree built, question asked).
    void scan_handled();
    // After the search for lost files that follows a listing has ended and
    // its files are shown (or it was stopped); the question a listing that
    // found nothing leaves to it is asked by then.
    void lost_search_handled();
    // After a recovery has ended and its message was answered.
    void recovery_done(qint64 written, qint64 failed);

public slots:
    void on_timer();
    void on_thread_finished();
    void on_tree_clicked(const QModelIndex& index);
    void on_list_clicked(const QModelIndex& index);
    void on_recovery_clicked();
    void on_stop_clicked();
    void on_pause_clicked();
    void on_save_result_clicked();
    void on_check_all(bool value);
    void on_sort_column(int column);
    void on_filter_changed();
    void on_tree_ticks_changed();

private slots:
    void on_recovery_finished(qint64 written, qint64 failed);
    void on_content_pass_finished();
    void on_lost_pass_finished();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The same volume again (deep: as a deep scan).
    void restart_scan(bool deep);
    // After the session was asked to start a scan: the page set going, or
    // why it could not start said (started: what the session returned).
    int scan_started(int started, const QString& reason);
    void handle_scan_end();
    // What a scan's end does once its file list is built (or the scan was
    // abandoned, or the list could not be built: list_failure says why):
    // the tree shown, the questions asked.
    void finish_scan_end(int stop_code, bool nothing_found, const QString& list_failure = {});
    // An abandoned scan whose file list is being built: the build stopped,
    // the results dropped.
    void abandon_listing();
    void reset_tree();
    bool show_result_tree(std::shared_ptr<result_index_c> built);
    recovery_model_c* table_model() const;
    TreeModel* tree_model() const;
    // An empty table.
    void install_table();
    // The content check's verdicts since last asked, into the index, the
    // table and the preview.
    void take_content_verdicts();
    // The rows whose copies met unreadable sectors, from the writer: their
    // tag says so from then on.
    void take_unreadable_rows();
    // The files of a folder of the index (UINT32_MAX: every found file)
    // that pass the filter.
    void show_folder(uint32_t folder);
    // After ticks changed: the tree's boxes, the header's box and the
    // selection line.
    void ticks_changed(bool from_tree);
    void show_selection();
    // The line under the progress bar, from the scanner's read damage and,
    // once it has ended, its notes.
    void show_read_damage();
    void place_damage_label();
    void clear_preview();
    // Where the preview, the filter box and the file table start: right of
    // the folder tree, as wide as its texts need.
    int panel_left() const;
    void fit_selection();
    // Height of the preview above the filter box and the table.
    double preview_span(int h) const;
    static constexpr int two_filter_rows = 52;
    void draw_preview(QPainter& painter, int w, int h);
    // The content check's finding on the previewed file; returns the height used.
    int draw_preview_state(QPainter& painter, int w, int h);
    // Why the preview area is empty, in its place.
    void draw_preview_note(QPainter& painter, int w, int h, const QString& note);
    // Why the clicked row shows no preview, with what its state says of it.
    QString preview_failure(const char* key, const recovery_item_s& row) const;

    Ui::RecoveryForm ui;
    QWidget* main_window;
    scan_session_c session;
    // Declared after the session: it reads the scanner's store, so it goes first.
    index_build_job_c index_job;
    MyQTableView* table = nullptr;
    MyHeaderView* header = nullptr;
    recovery_delegate_c* delegate = nullptr;
    std::shared_ptr<result_index_c> index;
    recovery_filter_bar_c* filter = nullptr;
    QLabel* selection_label = nullptr;
    QLabel* damage_label = nullptr;
    read_damage_text_s damage_text;
    scan_notes_text_s notes_text;
    recovery_item_s preview_item;
    QString preview_file;
    progress_bar_c progress_bar;
    QTimer timer;
    QMovie* animation = nullptr;
    bool preview_ready = false;
    // Said in the preview area when a clicked file shows nothing.
    QString preview_note;
    // The search for lost files' time left, as last drawn.
    int64_t lost_seconds_left = -1;
    // The person opened the destination from the end message: the service's
    // opening after it is skipped.
    bool folder_opened_by_person = false;
    int abandoned = 0;
    int resets = 0;
};
