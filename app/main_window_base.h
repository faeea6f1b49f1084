// Base of the main window: the skinned frame with its top bar, system buttons
// and settings menu, plus what this platform adds to the menu (opening disk
// images). The pages are shown by the derived window through show_page and
// leave_page.
#pragma once

#include "skin/skin_widget.h"

class main_window_base_c : public QSkinWidget {
    Q_OBJECT
public:
    explicit main_window_base_c(QWidget* parent = nullptr);

    // Opens `path` as a disk image and, on success, shows it in the lists.
    // With map_path, that rescue map is read with it; without, the one beside
    // it (path + ".map") if there is one. Returns 0, or -1 after telling the
    // user why not.
    int open_disk_image_file(const QString& path, const QString& map_path = QString());

public slots:
    void on_click_open_disk_image();
    void on_click_open_disk_image_with_map();

protected:
    // Called after the drive table changed, to rebuild the device lists.
    virtual void devices_changed() = 0;

    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // Refreshes what may be chosen right now (no disk images during a scan).
    void update_menu();
    // False (after telling why, when start-up is not done) while the device
    // lists may not change.
    bool may_change_devices();
};
