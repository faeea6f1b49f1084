// Volume selection page (page 1): the offered volumes as a painted list whose
// first row holds the column headings; Back, Refresh and Scan go straight to
// the main window, and a double-click or Enter on a row counts as Scan.
#pragma once

#include "devices/volume_item.h"
#include "ui_VolumeForm.h"

#include <QWidget>
#include <string>
#include <vector>

class QAction;
class QMenu;
class volume_model_c;
class volume_delegate_c;

class volume_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the page's button clicks (its on_click_volume_* slots).
    explicit volume_window_c(QWidget* main_window);

    // Shows a fresh model over `list`; no row is current afterwards.
    void set_volume_list(std::vector<volume_item_s>* list);
    // The record of the current row (the header row included), or null after
    // warning that no row is selected.
    volume_item_s* selected_volume();

    // The choice of text files a deep scan looks for too (none unless the
    // user ticks some): shown while the deep scan is chosen.
    void show_text_choice(bool deep);
    bool text_choice_shown() const;
    // The text types ticked (txt, csv, ...); empty when none.
    std::vector<std::string> chosen_text_types() const;
    QMenu* text_menu() const { return text_types_menu; }

signals:
    void start_scan();

private slots:
    void on_double_clicked(const QModelIndex& index);
    void on_save_image();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void update_text_button();

    Ui::VolumeForm ui;
    QPushButton* text_button = nullptr;
    QMenu* text_types_menu = nullptr;
    QAction* every_text = nullptr;
    std::vector<QAction*> text_actions;
    QWidget* main_window;
    std::vector<volume_item_s>* volumes = nullptr;
    volume_model_c* model = nullptr;
    volume_delegate_c* delegate = nullptr;
};
