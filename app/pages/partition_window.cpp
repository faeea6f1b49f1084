#include "app/pages/partition_window.h"

#include "app/pages/partition_model.h"
#include "partition/gpt_disk.h"
#include "partition/sector0_backup.h"
#include "results/failure_text.h"
#include "scan/found_volume.h"
#include "scan/scan_service.h"
#include "shell/message_box.h"
#include "shell/settings.h"

#include <QFile>
#include <QHelpEvent>
#include <QPainter>
#include <QPixmap>
#include <QToolTip>

namespace {
const QString title = QStringLiteral("Quarvel");

QString from_local(const std::string& text) { return QFile::decodeName(QByteArray::fromStdString(text)); }
}  // namespace

partition_window_c::partition_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    delegate = new partition_delegate_c(this);
    show_found();
    ui.lv_volumes->setItemDelegate(delegate);
    ui.lv_volumes->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (QPushButton* button : {ui.btn_back, ui.btn_stop, ui.btn_repair})
        button->resize(100, 30);
    ui.btn_back->setText(text_for_key("btn_back"));
    ui.btn_stop->setText(text_for_key("btn_stop"));
    ui.btn_repair->setText(text_for_key("btn_repair"));

    connect(&search, &partition_repair_c::partition_found, this, &partition_window_c::on_partition_found);
    connect(&search, &QThread::finished, this, &partition_window_c::on_thread_finished);
    connect(&timer, &QTimer::timeout, this, &partition_window_c::on_timer);
    connect(ui.btn_stop, &QPushButton::clicked, this, &partition_window_c::on_stop_clicked);
    connect(ui.btn_repair, &QPushButton::clicked, this, &partition_window_c::on_repair_clicked);
    connect(&job, &QThread::finished, this, &partition_window_c::on_job_finished);
    btn_scan_volume = new QPushButton(text_for_key("btn_scan_volume"), this);
    btn_scan_volume->setObjectName(QStringLiteral("btn_scan_volume"));
    btn_scan_volume->setToolTip(text_for_key("btn_scan_volume_tip"));
    btn_scan_volume->setFont(ui.btn_repair->font());
    btn_scan_volume->setStyleSheet(ui.btn_repair->styleSheet());
    btn_scan_volume->setPalette(ui.btn_repair->palette());
    btn_scan_volume->resize(160, 30);
    setTabOrder(ui.btn_back, btn_scan_volume);
    setTabOrder(btn_scan_volume, ui.btn_repair);
    connect(btn_scan_volume, &QPushButton::clicked, this, &partition_window_c::on_scan_volume_clicked);
    if (main_window)
        connect(ui.btn_back, SIGNAL(clicked()), main_window, SLOT(on_click_partition_back()));
    timer.start(400);
    progress_bar.set_image(QStringLiteral(":/images/partition_search/loding_on.png"), QColor(226, 240, 253));
}

partition_window_c::~partition_window_c()
{
    search.request_stop();
    search.wait();
    job.wait();
}

void partition_window_c::start_search(const drive_item_s& chosen)
{
    if (job.isRunning())
        return;
    if (search.isRunning()) {  // a search just left by Back: it ends before its next block
        search.request_stop();
        search.wait();
    }
    drive = chosen;
    progress = 0.0;
    read_gpt_state();
    search.start_search(&drive);
    read_unreadable();
    show_found();
    ui.btn_stop->setText(text_for_key("btn_stop"));
    update();
}

void partition_window_c::stop_search()
{
    if (!search_running())
        return;
    search.request_stop();
    ui.btn_stop->setText(text_for_key("btn_start"));
}

void partition_window_c::show_found()
{
    partition_model_c* old = model;
    model = new partition_model_c(search.partitions(), this);
    ui.lv_volumes->setModel(model);
    delete old;
}

void partition_window_c::on_partition_found() { show_found(); }

void partition_window_c::read_unreadable()
{
    const auto ranges = search.unreadable();
    unreadable_line.clear();
    unreadable_list.clear();
    if (ranges.empty())
        return;
    unreadable_line = text_for_key("partition_unreadable").arg(partition::total_sectors(ranges));
    constexpr size_t most_listed = 30;
    for (size_t i = 0; i < ranges.size() && i < most_listed; ++i) {
        const auto& r = ranges[i];
        if (!unreadable_list.isEmpty())
            unreadable_list += '\n';
        unreadable_list += text_for_key("partition_unreadable_range")
                               .arg(r.first_sector)
                               .arg(r.last_sector())
                               .arg(r.sector_count)
                               .arg(QString::fromStdString(r.reason));
    }
    if (ranges.size() > most_listed)
        unreadable_list += QStringLiteral("\n…");
}

void partition_window_c::read_gpt_state()
{
    gpt_line.clear();
    partition::gpt_state_s gpt;
    if (!partition::read_gpt_state(QFile::encodeName(drive.device_path).toStdString(), &gpt))
        return;
    if (!gpt.is_gpt())
        return;
    auto state = [](const partition::gpt_copy_s& c) {
        return text_for_key(c.sound() ? "partition_gpt_sound" : c.present ? "partition_gpt_damaged"
                                                                          : "partition_gpt_missing");
    };
    gpt_line = text_for_key("partition_gpt_state")
                   .arg(state(gpt.primary), state(gpt.backup),
                        text_for_key(gpt.protective_mbr ? "partition_gpt_sound" : "partition_gpt_missing"));
}

void partition_window_c::on_thread_finished()
{
    show_found();  // a find signalled just before the end is shown for sure
    progress = search.get_progress();
    read_unreadable();
    if (!search.stop_requested())
        ui.btn_stop->setText(QStringLiteral("Start"));
    update();
    // A disk that could not be opened: why, and what to do, rather than a
    // bar at 0 % over an empty list.
    if (const platform::open_refusal_e refusal = search.open_refusal();
        refusal != platform::open_refusal_e::none && isVisible())
        show_message(this, title,
                     open_refusal_text(refusal, drive.device_path, from_local(search.search_error()), text_for_key),
                     QMessageBox::Ok);
}

void partition_window_c::on_timer()
{
    if (search.isRunning()) {
        progress = search.get_progress();
        read_unreadable();
    }
    update();
}

void partition_window_c::on_stop_clicked()
{
    if (search_running()) {
        stop_search();
        return;
    }
    if (drive.device_path.isEmpty() || job.isRunning())
        return;
    ui.btn_stop->setText(text_for_key("btn_stop"));
    start_search(drive);
}

void partition_window_c::on_scan_volume_clicked()
{
    if (job.isRunning() || drive.device_path.isEmpty())
        return;
    const QVariant row = ui.lv_volumes->currentIndex().data(Qt::DisplayRole);
    const partition_item_s found = row.value<partition_item_s>();
    volume_item_s volume;
    bool deep = false;
    if (!row.isValid() || found.file_system.isEmpty()) {
        if (show_warning(this, title, "partition_scan_whole_query", QMessageBox::Yes | QMessageBox::No) !=
            QMessageBox::Yes)
            return;
        volume = whole_disk_volume(drive);
        deep = true;
    } else {
        volume = found_volume(drive, found.start_sector, found.end_sector - found.start_sector + 1,
                              found.file_system, found.label);
        if (choose_scanner(volume, false) == scanner_kind_e::none) {
            if (show_message(this, title, text_for_key("partition_scan_deep_query").arg(found.file_system),
                             QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
                return;
            deep = true;
        }
    }
    // The search would go on reading the disk beside the scan.
    stop_search();
    emit scan_volume(volume, deep);
}

void partition_window_c::set_busy(bool busy)
{
    for (QPushButton* button : {ui.btn_back, ui.btn_stop, ui.btn_repair, btn_scan_volume})
        button->setEnabled(!busy);
    update();
}

void partition_window_c::on_repair_clicked()
{
    if (search.isRunning() || job.isRunning())
        return;
    const std::string path = QFile::encodeName(drive.device_path).toStdString();
    // A GPT with a sound copy is rebuilt from it: the search is not needed.
    const bool from_copy = !drive.device_path.isEmpty() && !partition::repair_needs_search(path);
    const bool gpt = from_copy || (!drive.device_path.isEmpty() &&
                                   partition::chosen_table_kind(path, partition::table_kind::automatic,
                                                                search.partitions()) == partition::table_kind::gpt);
    if (gpt) {
        read_gpt_state();
        QString state = gpt_line;
        if (partition::gpt_state_s now; state.isEmpty() && partition::read_gpt_state(path, &now))
            state = QString::fromStdString(now.summary());
        if (show_message(this, title, text_for_key("partition_gpt_query").arg(state),
                         QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
    } else if (show_warning(this, title, "partition_query", QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        return;
    }

    partition::repair_outcome_s refusal;
    std::optional<partition::table_request_s> request;
    if (from_copy) {
        request.emplace();
        request->device_path = path;
    } else {
        request = search.table_request(&refusal);
    }
    if (!request) {
        tell_outcome(refusal, false);
        return;
    }
    // What needs no write is refused here, before the person is asked again.
    if (auto early = partition::check_disk_before_search(request->device_path); early.result != 0) {
        tell_outcome(early, false);
        return;
    }
    const auto dropped = partition::partitions_dropped(request->device_path, request->partitions);
    if (!dropped.empty()) {
        const QString text = text_for_key("partition_drop_query")
                                 .arg(from_local(partition::describe_losses(dropped)).replace(", p", "\np"));
        if (show_message(this, title, text, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
        request->drop_confirmed = true;
    }
    if (job.start_repair(*request))
        set_busy(true);
}

void partition_window_c::restore_last_repair()
{
    QWidget* parent = main_window ? main_window : this;
    if (job.isRunning())
        return;
    partition::last_repair_s last;
    if (!partition::read_last_repair(&last)) {
        show_warning(parent, title, "partition_restore_none", QMessageBox::Ok);
        return;
    }
    const QString text =
        text_for_key("partition_restore_query").arg(from_local(last.device_path), from_local(last.backup_path));
    if (show_message(parent, title, text, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    if (job.start_restore(last.device_path, last.backup_path))
        set_busy(true);
}

void partition_window_c::on_job_finished()
{
    set_busy(false);
    read_gpt_state();
    // A backup of another disk (or of this image before it was copied) goes
    // back only after a second, explicit yes.
    if (job.is_restore() && job.outcome().status == partition::repair_status::other_disk) {
        QWidget* parent = main_window ? main_window : this;
        const QString text = text_for_key("partition_restore_other_disk").arg(from_local(job.outcome().reason));
        if (show_message(parent, title, text, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            return;
        const std::string device = job.restore_device();
        const std::string backup = job.restore_backup();
        if (job.start_restore(device, backup, true))
            set_busy(true);
        return;
    }
    tell_outcome(job.outcome(), job.is_restore());
}

void partition_window_c::tell_outcome(const partition::repair_outcome_s& outcome, bool restore)
{
    QWidget* parent = restore && main_window ? main_window : this;
    const char* saved_key =
        outcome.written == partition::table_kind::gpt ? "partition_gpt_backup_saved" : "partition_backup_saved";
    QString text;
    if (outcome.result != 0) {
        // A refusal wrote nothing; a failure may have got part of the way.
        const bool refused = outcome.status != partition::repair_status::failed;
        text = text_for_key(refused ? "partition_repair_refused" : "partition_repair_failed") + "\n\n" +
               from_local(outcome.reason);
        if (!outcome.backup_path.empty())
            text += "\n\n" + text_for_key(saved_key).arg(from_local(outcome.backup_path));
    } else {
        // An undo of a GPT repair puts back the disk's first and last sectors.
        const bool many = restore && outcome.sectors_restored > 1;
        text = !restore ? text_for_key("partition_finished")
               : many   ? text_for_key("partition_restore_finished_sectors").arg(outcome.sectors_restored)
                        : text_for_key("partition_restore_finished");
        const char* kept_key = !restore ? saved_key : many ? "partition_gpt_backup_saved" : "partition_backup_saved";
        text += "\n\n" + text_for_key(kept_key).arg(from_local(outcome.backup_path));
        if (!outcome.note.empty())
            text += "\n\n" + text_for_key("partition_replug");
    }
    show_message(parent, title, text, QMessageBox::Ok);
}

void partition_window_c::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int w = width(), h = height();
    ui.btn_back->move(200, h - 54);
    ui.btn_repair->move(w - 300, h - 54);
    btn_scan_volume->move(w / 2 - 80, h - 54);
    ui.btn_stop->move(w - 168, 42);
    ui.lv_volumes->setGeometry(25, 120, w - 50, h - 180);
}

bool partition_window_c::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        if (!unreadable_list.isEmpty() && unreadable_rect.contains(help->pos()))
            QToolTip::showText(help->globalPos(), unreadable_list, this, unreadable_rect);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

void partition_window_c::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int w = width();
    const QPixmap band(QStringLiteral(":/images/background/bai.png"));
    if (!band.isNull())
        painter.fillRect(QRect(0, 0, w, 50), QBrush(band));
    const QPixmap icon(QStringLiteral(":/images/partition_search/icon_found1.png"));
    if (!icon.isNull())
        painter.drawPixmap(45, 30, icon);
    painter.setPen(QColor(139, 184, 241));
    painter.drawRect(25, 12, w - 50, 92);

    progress_bar.set_value(progress);
    progress_bar.draw(painter, QRect(120, 50, 450, 12));
    painter.setPen(Qt::black);
    painter.setFont(QFont(QStringLiteral("Verdana"), 10));
    if (search.isRunning())
        painter.drawText(120, 40, text_for_key("partition_text1"));
    else if (job.isRunning())
        painter.drawText(120, 40, text_for_key("partition_writing"));
    painter.setFont(QFont(QStringLiteral("Verdana"), 9));
    int line_y = 84;
    unreadable_rect = {};
    if (!unreadable_line.isEmpty()) {
        // Under the bar: what the search could not read, its ranges in the
        // line's tool tip.
        painter.setPen(QColor(178, 34, 34));
        const QFontMetrics metrics = painter.fontMetrics();
        unreadable_rect = QRect(120, line_y - metrics.ascent(), metrics.horizontalAdvance(unreadable_line),
                                metrics.height());
        painter.drawText(120, line_y, unreadable_line);
        painter.setPen(Qt::black);
        line_y += 16;
    }
    if (!gpt_line.isEmpty())
        painter.drawText(120, unreadable_line.isEmpty() ? 86 : line_y, gpt_line);
}
