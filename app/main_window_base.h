// Base of the main window: owns the deep-scan choice, the navigation commands
// of the top bar, the settings menu (navigation, disk images, language, exit)
// and the close guard. The pages are shown by the derived window through
// show_page and leave_page.
#pragma once

#include <QWidget>
#include <cstdint>

class QMenu;
class QToolButton;

class main_window_base_c : public QWidget {
    Q_OBJECT
public:
    explicit main_window_base_c(QWidget* parent = nullptr);

    // Brings page `index` (0..4) to the front.
    virtual void show_page(int index) = 0;
    // Ends whatever the current page is doing before another page is shown.
    virtual void leave_page() = 0;

    bool deep_scan_chosen() const { return deep_scan != 0; }

    // Top navigation: 1 undelete, 2 partition search, 3 deep scan. Refused
    // with "startup_warning" before start-up has finished; while a scan runs
    // only after "back_warning" was not answered No.
    void top_command(int button);

    // Opens `path` as a disk image and, on success, shows it in the lists.
    // Returns 0, or -1 after telling the user why not.
    int open_disk_image_file(const QString& path);

    QMenu* settings_menu() const { return system_menu; }

public slots:
    void on_click_close();
    void on_click_language();
    void on_click_open_disk_image();

protected:
    // Called after the drive table changed, to rebuild the device lists.
    virtual void devices_changed() = 0;
    // Keeps the menu button above the pages; call after the pages are laid out.
    void raise_menu_button();

    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    // 1 when the last top-bar choice was the deep scan. Only this class writes it.
    uint8_t deep_scan = 0;

private:
    void build_menu();
    // Refreshes what may be chosen right now (no disk images during a scan).
    void update_menu();
    // False (after telling why, when start-up is not done) while the device
    // lists may not change.
    bool may_change_devices();

    QMenu* system_menu = nullptr;
    QToolButton* menu_button = nullptr;
    bool close_confirmed = false;
};
