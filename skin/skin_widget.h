// The skinned main window base: the frame with the logo, the three top
// navigation buttons (undelete, partition search, deep scan), the system
// buttons (close, maximise/restore, minimise, settings), the settings menu
// (language, help in its own window, exit) and the close guard. The derived window shows the
// pages through show_page and leave_page.
#pragma once

#include "skin/skin_button_window.h"

#include <QByteArray>
#include <QPixmap>
#include <QPointer>

class QMenu;
class help_dialog_c;

class QSkinWidget : public skin_button_window_c<QSkinWidget> {
    Q_OBJECT
public:
    explicit QSkinWidget(QWidget* parent = nullptr);

    // Brings page `index` (0..4) to the front.
    virtual void show_page(int index) = 0;
    // Ends whatever the current page is doing before another page is shown.
    virtual void leave_page() = 0;
    // Whether a scan or recovery runs, which leaving the page or closing the
    // window would end; the window that owns the pages knows.
    virtual bool work_running() const = 0;

    bool deep_scan_chosen() const { return deep_scan; }

    // Top navigation: 1 undelete, 2 partition search, 3 deep scan. Refused
    // with "startup_warning" before start-up has finished; while a scan runs
    // only after "back_warning" was not answered No.
    void top_command(int button);
    void on_click_top1() { top_command(1); }
    void on_click_top2() { top_command(2); }
    void on_click_top3() { top_command(3); }

    // The maximise button's two actions, and the window operation behind them.
    void maximise();
    void restore();
    void minimise();
    void show_system_menu();

    bool is_restored() const { return restored; }
    QMenu* settings_menu() const { return system_menu; }
    // The help window while it is open, else null.
    help_dialog_c* help_dialog() const;
    button_c<QSkinWidget>* maximise_button() const { return max_button; }

    // The shipped help page for the current language (English when there is
    // none), or an empty string when none is installed.
    static QString help_page_path();

    // The size, place and maximised state of the last run, from the settings
    // file (nothing when it holds none); kept there again on close.
    void restore_window_state();
    void save_window_state() const;

public slots:
    void on_click_close();
    void on_click_help();
    void on_click_language();

protected:
    void decorate_frame(QPainter& painter) override;
    bool may_resize() const override { return restored; }

    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

    // True when the last top-bar choice was the deep scan. Only this class writes it.
    bool deep_scan = false;

private:
    void create_top_buttons();
    void create_system_buttons();
    void build_system_menu();
    void toggle_maximised();

    QPixmap logo;
    button_c<QSkinWidget>* max_button = nullptr;
    QMenu* system_menu = nullptr;
    QPointer<help_dialog_c> help_window;
    QByteArray normal_geometry;
    bool restored = true;
    bool close_confirmed = false;
};
