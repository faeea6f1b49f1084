#include "app/pages/image_dialog.h"

#include "devices/enumerate.h"
#include "platform/drive_table.h"
#include "shell/message_box.h"
#include "shell/settings.h"
#include "skin/button_style.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

namespace {

QString phase_text(imaging::phase_e phase)
{
    switch (phase) {
    case imaging::phase_e::copying: return text_for_key("image_phase_copying");
    case imaging::phase_e::trimming: return text_for_key("image_phase_trimming");
    case imaging::phase_e::scraping: return text_for_key("image_phase_scraping");
    case imaging::phase_e::retrying: return text_for_key("image_phase_retrying");
    case imaging::phase_e::finished: return text_for_key("image_phase_finished");
    }
    return {};
}

QString time_text(int64_t seconds)
{
    if (seconds < 0)
        return text_for_key("image_time_unknown");
    if (seconds >= 3600)
        return QStringLiteral("%1:%2 h").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2 min").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

constexpr int dialog_width = 560;
constexpr int dialog_height = 230;
const QRect bar_rect(20, 78, dialog_width - 40, 24);

}  // namespace

image_dialog_c::image_dialog_c(const QString& source, const QString& dest, QWidget* parent)
    : QDialog(parent), source_(source), dest_(dest)
{
    setWindowTitle(text_for_key("image_title").arg(source));
    setFixedSize(dialog_width, dialog_height);
    bar_.set_image(QStringLiteral(":/images/partition_search/loding_on.png"), QColor(226, 240, 253));
    lbl_title_ = new QLabel(this);
    lbl_title_->setGeometry(20, 14, dialog_width - 40, 56);
    lbl_title_->setWordWrap(true);
    lbl_title_->setText(text_for_key("image_title").arg(source) + QStringLiteral("\n") + dest);
    lbl_phase_ = new QLabel(this);
    lbl_phase_->setGeometry(20, 110, dialog_width - 40, 22);
    lbl_figures_ = new QLabel(this);
    lbl_figures_->setGeometry(20, 132, dialog_width - 40, 40);
    lbl_figures_->setWordWrap(true);
    for (QLabel* label : {lbl_title_, lbl_phase_, lbl_figures_})
        label->setFont(QFont(QStringLiteral("Arial"), 9));
    btn_pause_ = new QPushButton(text_for_key("btn_pause"), this);
    btn_stop_ = new QPushButton(text_for_key("btn_stop"), this);
    btn_close_ = new QPushButton(text_for_key("image_btn_close"), this);
    int x = dialog_width - 3 * 120;
    for (QPushButton* button : {btn_pause_, btn_stop_, btn_close_}) {
        button->setGeometry(x, dialog_height - 46, 100, 30);
        button->setStyleSheet(make_button_style(QStringLiteral("/images/partition_search/btn_wai_1.png"),
                                                QStringLiteral("/images/partition_search/btn_wai_2.png"),
                                                QStringLiteral("/images/partition_search/btn_wai_3.png")) +
                              QStringLiteral("QPushButton{ color: rgb(255, 255, 255); }"
                                             "QPushButton:disabled{ color: rgb(127, 127, 127); }"));
        button->setFont(QFont(QStringLiteral("Arial"), 10, QFont::Bold));
        x += 120;
    }
    connect(btn_pause_, &QPushButton::clicked, this, &image_dialog_c::on_pause);
    connect(btn_stop_, &QPushButton::clicked, this, &image_dialog_c::on_stop);
    connect(btn_close_, &QPushButton::clicked, this, &QDialog::close);
    connect(&job_, &QThread::finished, this, &image_dialog_c::on_job_finished, Qt::QueuedConnection);
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &image_dialog_c::on_timer);
}

image_dialog_c::~image_dialog_c()
{
    job_.request_stop();
    job_.wait();
}

QString image_dialog_c::prepare() { return job_.prepare(source_, dest_, QString()); }

void image_dialog_c::start()
{
    btn_pause_->setText(text_for_key("btn_pause"));
    btn_pause_->setEnabled(true);
    btn_stop_->setText(text_for_key("btn_stop"));
    btn_close_->setEnabled(false);
    job_.set_pause(0);
    job_.start();
    timer_->start(400);
    on_timer();
}

void image_dialog_c::on_timer()
{
    const imaging::imaging_progress_s p = job_.imaging_progress();
    bar_.set_value(job_.get_progress());
    QString phase = text_for_key("image_phase").arg(phase_text(p.phase));
    if (job_.isRunning() && job_.get_pause() != 0)
        phase += QStringLiteral(" — ") + text_for_key("image_paused");
    lbl_phase_->setText(phase);
    lbl_figures_->setText(text_for_key("image_figures")
                              .arg(format_size(p.rescued), format_size(p.size), format_size(p.unreadable),
                                   format_size(static_cast<uint64_t>(p.rate)), time_text(p.seconds_left)));
    update();
}

void image_dialog_c::on_pause()
{
    const bool pause = job_.get_pause() == 0;
    job_.set_pause(pause ? 1 : 0);
    btn_pause_->setText(text_for_key(pause ? "btn_resume" : "btn_pause"));
    on_timer();
}

void image_dialog_c::on_stop()
{
    if (job_.isRunning()) {
        btn_stop_->setEnabled(false);
        job_.request_stop();
        return;
    }
    start();  // Resume: the job goes on where its map stopped
}

void image_dialog_c::on_job_finished()
{
    timer_->stop();
    on_timer();
    btn_pause_->setEnabled(false);
    btn_stop_->setEnabled(true);
    btn_close_->setEnabled(true);
    const job_outcome_s outcome = job_.job_outcome();
    if (outcome.end == job_end_e::failed) {
        btn_stop_->setText(text_for_key("btn_resume"));
        show_message(this, QStringLiteral("Quarvel"), text_for_key("image_failed").arg(outcome.reason));
        return;
    }
    if (!job_.finished()) {
        btn_stop_->setText(text_for_key("btn_resume"));
        lbl_phase_->setText(text_for_key("image_stopped"));
        return;
    }
    btn_stop_->setEnabled(false);
    const QString text = text_for_key("image_done_open").arg(format_size(job_.imaging_progress().unreadable));
    if (show_message(this, QStringLiteral("Quarvel"), text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        open_image_ = true;
        accept();
    }
}

void image_dialog_c::paintEvent(QPaintEvent* event)
{
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setFont(QFont(QStringLiteral("Arial"), 9));
    bar_.draw(painter, bar_rect);
}

void image_dialog_c::closeEvent(QCloseEvent* event)
{
    // Closing while it runs stops it; the map keeps what was saved.
    if (job_.isRunning()) {
        job_.request_stop();
        job_.wait();
    }
    event->accept();
}

bool save_image_of(const QString& source, QWidget* parent)
{
    const QString suggested = QFileInfo(source).fileName().replace(QLatin1Char(':'), QLatin1Char('_')) +
                              QStringLiteral(".img");
    // An image that exists is continued from its map; the imager refuses one without.
    const QString dest = QFileDialog::getSaveFileName(parent, text_for_key("image_save_as"), suggested, QString(),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (dest.isEmpty())
        return false;
    image_dialog_c dialog(source, dest, parent);
    if (const QString why = dialog.prepare(); !why.isEmpty()) {
        show_message(parent, QStringLiteral("Quarvel"), text_for_key("image_failed").arg(why));
        return false;
    }
    dialog.start();
    dialog.exec();
    if (!dialog.open_image())
        return false;
    std::string reason;
    if (platform::open_disk_image(QFile::encodeName(dest).toStdString(), &reason) != 0) {
        show_message(parent, QStringLiteral("Quarvel"), QString::fromStdString(reason));
        return false;
    }
    return true;
}

void place_image_button(QPushButton* button, int page_width)
{
    const int width = button->fontMetrics().horizontalAdvance(button->text()) + 32;
    button->setGeometry(page_width - 25 - width, 9, width, 28);
}
