// "Save an image of this disk…": runs the imaging job for one disk or
// volume with the skin's progress bar, the figures a failing disk needs
// (rescued, unreadable, rate, time left, phase), Pause, Stop and Resume,
// and offers to open the image when it is done.
#pragma once

#include "imaging/image_job.h"
#include "skin/progress_bar.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QTimer;

class image_dialog_c : public QDialog {
    Q_OBJECT
public:
    image_dialog_c(const QString& source, const QString& dest, QWidget* parent = nullptr);
    ~image_dialog_c() override;

    // Opens the source and the destination; an empty string, or why not.
    QString prepare();
    void start();
    image_job_c& job() { return job_; }
    // Whether the person chose to open the saved image.
    bool open_image() const { return open_image_; }
    // The labels as they stand (for the screenshot tool and the tests).
    void refresh() { on_timer(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private slots:
    void on_timer();
    void on_pause();
    void on_stop();
    void on_job_finished();

private:
    QString source_;
    QString dest_;
    image_job_c job_;
    progress_bar_c bar_;
    QLabel* lbl_title_ = nullptr;
    QLabel* lbl_phase_ = nullptr;
    QLabel* lbl_figures_ = nullptr;
    QPushButton* btn_pause_ = nullptr;
    QPushButton* btn_stop_ = nullptr;
    QPushButton* btn_close_ = nullptr;
    QTimer* timer_ = nullptr;
    bool open_image_ = false;
};

// Asks where to save the image of source, runs the dialog, and when the
// person chose so opens the image; answers whether an image was opened.
bool save_image_of(const QString& source, QWidget* parent);

// Puts a page's "Save an image…" button at the right of its heading strip,
// as wide as its text needs.
void place_image_button(QPushButton* button, int page_width);
