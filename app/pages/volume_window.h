// Volume selection page (page 1). For now a plain list of the volume records;
// the page with its own model and row painter replaces it.
#pragma once

#include "devices/volume_item.h"
#include "ui_VolumeForm.h"

#include <QWidget>
#include <vector>

class QStringListModel;

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

signals:
    void start_scan();

private slots:
    void on_double_clicked(const QModelIndex& index);

private:
    Ui::VolumeForm ui;
    QWidget* main_window;
    std::vector<volume_item_s>* volumes = nullptr;
    QStringListModel* model = nullptr;
};
