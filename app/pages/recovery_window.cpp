#include "app/pages/recovery_window.h"

#include "app/pages/list_dialog.h"
#include "app/pages/recovery_preview.h"
#include "app/pages/recovery_window_filter.h"
#include "devices/enumerate.h"
#include "platform/desktop.h"
#include "platform/folders.h"
#include "platform/volumes.h"
#include "results/failure_text.h"
#include "results/header_view.h"
#include "results/recovery_delegate.h"
#include "results/recovery_model.h"
#include "results/replace_model.h"
#include "results/result_index.h"
#include "results/row_state.h"
#include "results/table_view.h"
#include "results/tree_model.h"
#include "scan/content_pass.h"
#include "shell/message_box.h"
#include "shell/settings.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QStyle>
#include <QTableWidget>
#include <QTextOption>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

namespace {

path_chooser_t path_chooser;
int64_t listing_thread_threshold = 20000;

// "*.*" would hide a name without a dot, such as a scan saved as "card".
const char* const scan_file_filter = "Quarvel Scan files (*.sav);;All files (*)";

QString ask_path(QWidget* parent, path_question_e question)
{
    if (path_chooser)
        return path_chooser(question);
    const QString filter = QString::fromLatin1(scan_file_filter);
    QString selected = QStringLiteral("Quarvel Scan files (*.sav)");
    switch (question) {
    case path_question_e::destination_folder:
        return QFileDialog::getExistingDirectory(parent, text_for_key("recovery_select"), QDir::homePath(),
                                                 QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    case path_question_e::save_file:
        return QFileDialog::getSaveFileName(parent, QStringLiteral("Save"), QDir::currentPath(), filter, &selected);
    case path_question_e::open_file:
        return QFileDialog::getOpenFileName(parent, QStringLiteral("Save"), QDir::currentPath(), filter, &selected);
    }
    return {};
}

QString button_style(const char* base)
{
    const QString b = QStringLiteral(":/images/partition_search/") + QLatin1String(base);
    return QStringLiteral("QPushButton{ border-image: url(%1_1.png); }"
                          "QPushButton:hover{ border-image: url(%1_2.png);}"
                          "QPushButton:pressed{  border-image: url(%1_3.png);}")
        .arg(b);
}

}  // namespace

QString scan_file_name(const QString& chosen)
{
    if (chosen.isEmpty() || !QFileInfo(chosen).suffix().isEmpty())
        return chosen;
    return chosen + QStringLiteral(".sav");
}

void set_path_chooser(path_chooser_t chooser)
{
    path_chooser = std::move(chooser);
}

void set_listing_thread_threshold(int64_t found)
{
    listing_thread_threshold = found;
}

recovery_window_c::recovery_window_c(QWidget* main_window_) : QWidget(nullptr), main_window(main_window_)
{
    ui.setupUi(this);
    ui.btn_recovery->setText(text_for_key("btn_recovery"));
    ui.btn_back->setText(text_for_key("btn_back"));
    ui.btn_stop->setText(text_for_key("btn_stop"));
    ui.btn_pause->setText(text_for_key("btn_pause"));
    ui.btn_filter->setText(text_for_key("btn_save_result"));
    ui.chk_skip_unreadable->setText(text_for_key("recovery_skip_unreadable"));
    ui.chk_skip_unreadable->setToolTip(text_for_key("recovery_skip_unreadable_tip"));
    ui.chk_skip_unreadable->setFont(QFont(QStringLiteral("Arial"), 9));
    ui.btn_recovery->resize(100, 30);
    ui.btn_back->resize(100, 30);
    for (QPushButton* button : {ui.btn_stop, ui.btn_pause, ui.btn_filter})
        button->resize(80, 30);
    ui.btn_recovery->setStyleSheet(button_style("btn_wai"));
    ui.btn_back->setStyleSheet(button_style("btn_wai"));
    for (QPushButton* button : {ui.btn_stop, ui.btn_pause, ui.btn_filter})
        button->setStyleSheet(button_style("btn_start"));
    ui.lbl_anime->setGeometry(0, 0, 130, 86);
    progress_bar.set_image(QStringLiteral(":/images/partition_search/loding_on.png"), QColor(226, 240, 253));

    table = new MyQTableView(this);
    table->setObjectName(QStringLiteral("tv_files"));
    header = new MyHeaderView(this);
    delegate = new recovery_delegate_c(this);
    setup_file_table(table, header, delegate);
    table->installEventFilter(this);
    filter = new recovery_filter_bar_c(this);
    selection_label = new QLabel(this);
    selection_label->setObjectName(QStringLiteral("lbl_selection"));
    selection_label->setFont(QFont(QStringLiteral("Arial"), 10));
    selection_label->setAlignment(Qt::AlignVCenter | Qt::AlignRight);
    damage_label = new QLabel(this);
    damage_label->setObjectName(QStringLiteral("lbl_read_damage"));
    damage_label->setFont(QFont(QStringLiteral("Arial"), 9));
    damage_label->setTextFormat(Qt::RichText);
    damage_label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    damage_label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    damage_label->hide();
    connect(damage_label, &QLabel::linkActivated, this, [this](const QString& link) {
        if (link == QLatin1String("notes"))
            show_notes_list();
        else
            show_damage_list();
    });
    ui.tv_dirtree->header()->hide();
    ui.tv_dirtree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ui.tv_dirtree->header()->setStretchLastSection(false);
    reset_tree();

    // Tab goes through the page's controls in reading order.
    setTabOrder(ui.btn_pause, ui.btn_stop);
    setTabOrder(ui.btn_stop, ui.btn_filter);
    setTabOrder(ui.btn_filter, ui.tv_dirtree);
    setTabOrder(ui.tv_dirtree, filter);
    setTabOrder(filter, table);
    setTabOrder(table, ui.btn_back);
    setTabOrder(ui.btn_back, ui.btn_recovery);
    setTabOrder(ui.btn_recovery, ui.chk_skip_unreadable);

    animation = new QMovie(QStringLiteral(":/images/recovery/ani.gif"), QByteArray(), this);
    ui.lbl_anime->setMovie(animation);

    session.service().set_lost_names({text_for_key("lost_folders"), text_for_key("lost_folder_at"), text_for_key("lost_folder_record")});
    // The listing is shown first; the deleted files are checked after it.
    session.service().set_content_pass_deferred(true);
    // The search of the whole volume for lost folders and records too: a
    // large disk shows what its file system knows at once.
    session.service().set_lost_pass_deferred(true);
    // Opened once: not again after the person opened it from the end message.
    session.service().set_folder_opener([this](const QString& folder) {
        if (!std::exchange(folder_opened_by_person, false))
            platform::shell_open(QUrl::fromLocalFile(folder));
    });
    connect(&session.service(), &scan_service_c::scan_finished, this, &recovery_window_c::on_thread_finished);
    connect(&session.service(), &scan_service_c::recovery_finished, this, &recovery_window_c::on_recovery_finished);
    connect(&session.service(), &scan_service_c::content_pass_finished, this, &recovery_window_c::on_content_pass_finished);
    connect(&session.service(), &scan_service_c::lost_pass_finished, this, &recovery_window_c::on_lost_pass_finished);
    connect(ui.tv_dirtree, &QTreeView::clicked, this, &recovery_window_c::on_tree_clicked);
    connect(table, &QTableView::clicked, this, &recovery_window_c::on_list_clicked);
    connect(ui.btn_recovery, &QPushButton::clicked, this, &recovery_window_c::on_recovery_clicked);
    connect(ui.btn_pause, &QPushButton::clicked, this, &recovery_window_c::on_pause_clicked);
    connect(ui.btn_stop, &QPushButton::clicked, this, &recovery_window_c::on_stop_clicked);
    connect(ui.btn_filter, &QPushButton::clicked, this, &recovery_window_c::on_save_result_clicked);
    connect(header, &MyHeaderView::check_all, this, &recovery_window_c::on_check_all);
    connect(header, &MyHeaderView::sort_column, this, &recovery_window_c::on_sort_column);
    connect(filter, &recovery_filter_bar_c::filter_changed, this, &recovery_window_c::on_filter_changed);
    connect(ui.btn_back, SIGNAL(clicked()), main_window, SLOT(on_click_recovery_back()));
    connect(&timer, &QTimer::timeout, this, &recovery_window_c::on_timer);
    timer.start(200);
    raw_recovery_c::load_engine_config();
}

recovery_window_c::~recovery_window_c()
{
    // The service stops and waits for its threads as it goes.
    index_job.stop();
}

int recovery_window_c::begin_scan(const volume_item_s& chosen, bool deep)
{
    if (session.running() || !scan_session_c::scannable(chosen, deep))
        return -1;
    ui.btn_pause->setText(text_for_key("btn_pause"));
    ui.btn_pause->show();
    ui.btn_stop->show();
    reset_tree();
    clear_preview();
    ui.btn_filter->hide();
    QString reason;
    return scan_started(session.start(chosen, deep, &reason), reason);
}

int recovery_window_c::scan_started(int started, const QString& reason)
{
    if (started != 0) {
        // A disk that could not be opened says why and what to do; any other
        // refusal at least why. Nothing has started, so the page stays put.
        const platform::open_refusal_e refusal = session.service().open_refusal();
        const volume_item_s& volume = session.volume();
        const QString shown = volume.label.isEmpty() ? volume.dos_device : volume.label + " (" + volume.dos_device + ")";
        show_message(this, QStringLiteral("Quarvel"),
                     refusal != platform::open_refusal_e::none
                         ? open_refusal_text(refusal, shown, reason, text_for_key)
                         : text_for_key("scan_not_started").arg(reason),
                     QMessageBox::Ok);
        return -1;
    }
    show_read_damage();
    progress_bar.set_value(0.0);
    ui.btn_filter->setEnabled(false);
    animation->start();
    timer.start(200);
    return 0;
}

void recovery_window_c::restart_scan(bool deep)
{
    if (session.running())
        return;
    QString reason;
    if (scan_started(session.restart(deep, &reason), reason) != 0)
        return;
    ui.btn_pause->setText(text_for_key("btn_pause"));
    ui.btn_pause->show();
    ui.btn_stop->show();
}

void recovery_window_c::on_thread_finished()
{
    // The end of a scan already handled changes nothing.
    if (!session.running() || session.service().scanning() || index_job.running())
        return;
    handle_scan_end();
}

void recovery_window_c::handle_scan_end()
{
    ui.btn_pause->setText(text_for_key("btn_start"));
    ui.btn_stop->hide();
    recovery_base_c& scanner = session.service().scanner();
    const int stop_code = session.stop_code();
    if (stop_code == stop_abandon) {
        scanner.reset();
        finish_scan_end(stop_code, false);
        return;
    }
    scanner.set_progress(1.0);
    const row_flags_e reading = row_flags_reading(session.service().kind());
    if (scanner.get_found_count() < listing_thread_threshold) {
        progress_bar.set_value(1.0);
        auto built = std::make_shared<result_index_c>();
        const bool found = built->build(scanner, reading) && show_result_tree(std::move(built));
        finish_scan_end(stop_code, !found);
        return;
    }
    // The scan still counts as running until its list is shown: nothing
    // else may start on the scanner or read its store meanwhile.
    progress_bar.set_value(0.0);
    update();
    index_job.start(scanner, reading, [this, stop_code](std::shared_ptr<result_index_c> built, const QString& failure) {
        progress_bar.set_value(1.0);
        const bool found = built && show_result_tree(std::move(built));
        // A list that could not be built is no sign that nothing was deleted.
        finish_scan_end(stop_code, !found && failure.isEmpty(), failure);
    });
}

void recovery_window_c::abandon_listing()
{
    index_job.stop();
    session.service().scanner().reset();
    finish_scan_end(stop_abandon, false);
}

void recovery_window_c::finish_scan_end(int stop_code, bool nothing_found, const QString& list_failure)
{
    const scan_session_c::scan_end_s end = session.end_scan(stop_code, nothing_found, index != nullptr, list_failure);
    if (session.searching_lost()) {
        lost_seconds_left = -1;
        ui.btn_stop->show();
        progress_bar.set_value(0.0);
    }
    if (session.checking_contents()) {
        ui.btn_stop->show();
        progress_bar.set_value(0.0);
    }
    if (end.offer_saving)
        ui.btn_filter->show();
    ui.btn_filter->setEnabled(true);
    animation->stop();
    // The movie would rest on the frame it was showing, half a step of the
    // busy picture; its first frame is the quiet one.
    animation->jumpToFrame(0);
    update();

    if (!end.failure.isEmpty() && isVisible())
        show_message(this, QStringLiteral("Quarvel"), text_for_key("scan_failed").arg(end.failure), QMessageBox::Ok);
    else if (end.notice && isVisible())
        show_message(this, QStringLiteral("Quarvel"), text_for_key(end.notice), QMessageBox::Ok);
    // A disk that gave read errors is told once per scan to be imaged before
    // it is read again: every further pass may cost it more sectors.
    show_read_damage();
    if (stop_code != stop_abandon && isVisible() && session.take_image_advice(!damage_text.advice.isEmpty()))
        show_message(this, QStringLiteral("Quarvel"), damage_text.line + QStringLiteral("\n\n") + damage_text.advice,
                     QMessageBox::Ok);

    if (end.offer_deep_scan && isVisible() &&
        show_warning(this, QStringLiteral("Quarvel"), "deep_scan_query", QMessageBox::Yes | QMessageBox::No) ==
            QMessageBox::Yes)
        restart_scan(true);
    emit scan_handled();
}

void recovery_window_c::on_timer()
{
    // While files are written the bar shows how far the copy has got; while
    // the list of a large scan is built, how far that has got.
    take_content_verdicts();
    take_unreadable_rows();
    show_read_damage();
    if (session.lost_end_due())
        on_lost_pass_finished();
    if (session.searching_lost())
        lost_seconds_left = session.lost_seconds_left();
    if (writer_running())
        progress_bar.set_value(session.service().writer().get_progress());
    else if (session.searching_lost())
        progress_bar.set_value(session.service().lost_pass_progress());
    else if (session.checking_contents())
        progress_bar.set_value(session.service().content_pass_progress());
    else if (index_job.running())
        progress_bar.set_value(index_job.progress());
    else
        progress_bar.set_value(session.service().scanner().get_progress());
    if (isVisible())
        update();
}

void recovery_window_c::on_pause_clicked()
{
    if (session.service().scanning()) {
        ui.btn_pause->setText(text_for_key(session.toggle_pause() ? "btn_resume" : "btn_pause"));
        return;
    }
    // Start while the list of the last scan is still built drops that list,
    // as Start after it was shown drops the shown one.
    if (index_job.running())
        abandon_listing();
    if (session.running())
        return;  // ended, its end not yet handled
    reset_tree();
    clear_preview();
    ui.btn_pause->setText(text_for_key("btn_pause"));
    ui.btn_stop->show();
    restart_scan(session.deep());
}

void recovery_window_c::on_stop_clicked()
{
    // After the scan: the file being checked is finished, the rest keep the
    // tags they have; the search for lost files ends, the listing stays.
    if (session.stop_passes() || session.request_stop())
        ui.btn_stop->hide();
}

void recovery_window_c::abandon_scan()
{
    ++abandoned;
    session.abandon();
    if (index_job.running())
        abandon_listing();
}

void recovery_window_c::reset_page()
{
    ++resets;
    // The list being built reads the store about to go.
    if (index_job.running())
        abandon_listing();
    reset_tree();
    clear_preview();
    session.leave();
    progress_bar.set_value(0.0);
    timer.stop();
    damage_text = {};
    notes_text = {};
    damage_label->hide();
}

void recovery_window_c::on_content_pass_finished()
{
    if (!session.end_content_pass())
        return;
    take_content_verdicts();
    if (!session.running() && !session.searching_lost()) {
        ui.btn_stop->hide();
        progress_bar.set_value(1.0);
    }
    update();
}

void recovery_window_c::on_lost_pass_finished()
{
    const scan_session_c::lost_end_e ended = session.end_lost_pass();
    if (ended == scan_session_c::lost_end_e::none || ended == scan_session_c::lost_end_e::waiting)
        return;
    if (ended == scan_session_c::lost_end_e::kept) {
        ui.btn_stop->setVisible(session.checking_contents());
        if (!session.checking_contents())
            progress_bar.set_value(1.0);
        update();
        emit lost_search_handled();
        return;
    }
    // The new scan's list keeps the ticks the person had set.
    std::vector<int64_t> ticked;
    if (index)
        for (uint32_t f = 0; f < index->file_count(); ++f)
            if (index->ticked(f))
                ticked.push_back(index->row(f).id);
    auto built = std::make_shared<result_index_c>();
    const bool built_any = built->build(session.service().scanner(), row_flags_reading(session.service().kind()));
    for (const int64_t id : ticked)
        if (const uint32_t at = built->find_id(id); at != result_index_c::none)
            built->set_ticked(at, true);
    clear_preview();
    const bool found = built_any && show_result_tree(std::move(built));
    if (!found)
        reset_tree();
    const bool offer_deep_scan = session.after_adoption(found);
    ui.btn_stop->setVisible(session.checking_contents());
    progress_bar.set_value(session.checking_contents() ? 0.0 : 1.0);
    show_read_damage();
    update();
    if (const char* notice = session.service().scanner().notice_key(); notice && isVisible())
        show_message(this, QStringLiteral("Quarvel"), text_for_key(notice), QMessageBox::Ok);
    if (offer_deep_scan && isVisible() &&
        show_warning(this, QStringLiteral("Quarvel"), "deep_scan_query", QMessageBox::Yes | QMessageBox::No) ==
            QMessageBox::Yes)
        restart_scan(true);
    emit lost_search_handled();
}

void recovery_window_c::take_content_verdicts()
{
    content_queue_c::verdicts_t verdicts = session.service().scanner().take_content_verdicts();
    if (verdicts.empty() || !index || session.running())
        return;
    for (auto& [id, flags] : verdicts)
        if (session.unreadable_row(id))
            flags |= row_unreadable_sectors;
    const std::vector<uint32_t> changed = index->update_flags(verdicts);
    if (changed.empty())
        return;
    table_model()->files_changed(changed);
    for (const auto& [id, flags] : verdicts)
        if (preview_ready && id == preview_item.id)
            preview_item.flags = flags;
    update();
}

void recovery_window_c::take_unreadable_rows()
{
    const std::vector<int64_t> ids = session.service().writer().take_unreadable_ids();
    if (ids.empty() || !index || session.running())
        return;
    content_queue_c::verdicts_t marks;
    for (const int64_t id : ids) {
        if (const uint32_t at = index->find_id(id); at != result_index_c::none) {
            session.add_unreadable_row(id, index->row(at).flags & row_unreadable_sectors);
            marks.push_back({id, index->row(at).flags | row_unreadable_sectors});
        } else {
            session.add_unreadable_row(id, false);
        }
    }
    const std::vector<uint32_t> changed = index->update_flags(marks);
    if (changed.empty())
        return;
    table_model()->files_changed(changed);
    for (const auto& [id, flags] : marks)
        if (preview_ready && id == preview_item.id)
            preview_item.flags = flags;
    update();
}

void recovery_window_c::reset_tree()
{
    session.forget_unreadable_rows();
    reset_result_tree(ui.tv_dirtree);
    install_table();
    index.reset();
    show_selection();
}

bool recovery_window_c::show_result_tree(std::shared_ptr<result_index_c> built)
{
    if (!install_result_tree(ui.tv_dirtree, built))
        return false;
    index = std::move(built);
    // A new scan's files are all shown at first, whatever was filtered before.
    filter->clear_fields();
    connect(tree_model(), &TreeModel::ticks_changed, this, &recovery_window_c::on_tree_ticks_changed);
    show_selection();
    return true;
}

void recovery_window_c::install_table()
{
    install_table_model(table, new recovery_model_c, header);
}

void recovery_window_c::show_folder(uint32_t folder)
{
    install_table_model(table, new recovery_model_c(index, folder, filter->filter()), header);
}

recovery_model_c* recovery_window_c::table_model() const
{
    return static_cast<recovery_model_c*>(table->model());
}

TreeModel* recovery_window_c::tree_model() const
{
    return qobject_cast<TreeModel*>(ui.tv_dirtree->model());
}

std::vector<recovery_item_s> recovery_window_c::table_rows() const
{
    std::vector<recovery_item_s> out;
    const recovery_model_c* model = table_model();
    for (int r = 0; r < model->rowCount(); ++r)
        out.push_back(model->result_index()->row(model->file_at(r)));
    return out;
}

void recovery_window_c::ticks_changed(bool from_tree)
{
    if (!from_tree)
        if (TreeModel* tree = tree_model())
            tree->refresh_ticks();
    header->set_check_all(table_model()->all_shown_ticked());
    show_selection();
}

void recovery_window_c::show_selection()
{
    const QString line = text_for_key("recovery_selected");
    if (!index || index->file_count() == 0 || !line.contains(QLatin1String("%2"))) {
        selection_label->hide();
        return;
    }
    selection_label->setText(line.arg(index->ticked_count())
                                 .arg(format_size(index->ticked_bytes())));
    fit_selection();
    selection_label->show();
}

void recovery_window_c::fit_selection()
{
    // Between the two buttons a long count in a long language takes two
    // lines of a smaller type rather than losing its start.
    QFont font(QStringLiteral("Arial"), 10);
    const bool one_line = QFontMetrics(font).horizontalAdvance(selection_label->text()) <= selection_label->width();
    selection_label->setWordWrap(!one_line);
    for (int size = 9; !one_line && size >= 7; --size) {
        font.setPointSize(size);
        selection_label->setFont(font);
        if (selection_label->heightForWidth(selection_label->width()) <= selection_label->height())
            return;
    }
    selection_label->setFont(font);
}

void recovery_window_c::show_read_damage()
{
    recovery_base_c& scanner = session.service().scanner();
    read_damage_view_s view;
    view.block_device = session.block_source();
    // The scanner's count is read once its store is its own no more.
    view.scanning = session.running() || index_job.running();
    if (!view.scanning)
        view.affected_files = session.unreadable_files();
    damage_text = read_damage_text(scanner.read_damage(), view, [](std::string_view key) { return text_for_key(key); });
    // A scanner's notes are final once its thread has ended; the search for
    // lost folders runs in a scanner of its own, whose notes come with it.
    notes_text = view.scanning ? scan_notes_text_s{}
                               : scan_notes_text(scanner.notes(), [](std::string_view key) { return text_for_key(key); });
    if (damage_text.empty() && notes_text.line.isEmpty()) {
        damage_label->hide();
        return;
    }
    QString tip = damage_text.summary();
    constexpr size_t tip_areas = 12;
    for (size_t i = 0; i < damage_text.areas.size() && i < tip_areas; ++i) {
        const damage_area_row_s& area = damage_text.areas[i];
        tip += QStringLiteral("\n%1 (%2): %3").arg(area.first_sector, area.sectors, area.reason);
    }
    if (damage_text.areas.size() > tip_areas)
        tip += QStringLiteral("\n…");
    for (const QString& note : notes_text.notes)
        tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + note;
    damage_label->setToolTip(tip);
    place_damage_label();
    damage_label->show();
}

void recovery_window_c::place_damage_label()
{
    // On the line of the found count, after it; the link to the list stays
    // whole and the sentence gives way before it.
    if (damage_text.empty() && notes_text.line.isEmpty())
        return;
    const int64_t found = session.service().scanner().get_found_count();
    const int found_width =
        found > 0 ? QFontMetrics(QFont(QStringLiteral("Verdana"), 10))
                        .horizontalAdvance(text_for_key("recovery_total_files") + QLatin1Char(' ') + QString::number(found))
                  : 0;
    const int x = 90 + (found_width > 0 ? found_width + 16 : 0);
    const int right = width() - 14 - (ui.btn_filter->isVisible() ? 130 : 0);
    const int w = std::max(0, right - x);
    const QFontMetrics metrics(damage_label->font());
    QString link;
    QString link_text;
    const auto add_link = [&](const char* href, const char* key) {
        link += QStringLiteral(" <a href=\"%1\">%2</a>").arg(QLatin1String(href), text_for_key(key).toHtmlEscaped());
        link_text += QLatin1Char(' ') + text_for_key(key);
    };
    if (!damage_text.areas.empty())
        add_link("list", "read_damage_list");
    if (!notes_text.notes.isEmpty())
        add_link("notes", "scan_notes_list");
    const int link_width = link.isEmpty() ? 0 : metrics.horizontalAdvance(link_text);
    QString plain = damage_text.line;
    for (const QString& part : {damage_text.slow, notes_text.line})
        if (!part.isEmpty())
            plain += (plain.isEmpty() ? QString() : QStringLiteral(" ")) + part;
    const QString shown = metrics.elidedText(plain, Qt::ElideRight, std::max(0, w - link_width - 4));
    damage_label->setText(QStringLiteral("<span style=\"color:#b02018\">%1</span>%2").arg(shown.toHtmlEscaped(), link));
    // Below the buttons of the row above, whose lower edge it would touch.
    damage_label->setGeometry(x, 58, w, 15);
}

void recovery_window_c::show_damage_list()
{
    if (damage_text.areas.empty())
        return;
    // One list at a time, brought forward when asked for again.
    static constexpr const char* dialog_name = "dlg_read_damage";
    if (raise_list_dialog(this, QLatin1String(dialog_name)))
        return;
    const list_dialog_s list_dialog = make_list_dialog(
        this, QLatin1String(dialog_name), text_for_key("read_damage_title"), damage_text.summary(),
        QStringLiteral("tw_read_damage"),
        {text_for_key("read_damage_first"), text_for_key("read_damage_count"), text_for_key("read_damage_reason")},
        int(damage_text.areas.size()));
    QTableWidget* list = list_dialog.table;
    for (int r = 0; r < list->rowCount(); ++r) {
        const damage_area_row_s& area = damage_text.areas[size_t(r)];
        auto* first = new QTableWidgetItem(area.first_sector);
        auto* count = new QTableWidgetItem(area.sectors);
        first->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        count->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        list->setItem(r, 0, first);
        list->setItem(r, 1, count);
        list->setItem(r, 2, new QTableWidgetItem(area.reason));
    }
    show_list_dialog(list_dialog, QSize(560, 360));
}

void recovery_window_c::show_notes_list()
{
    if (notes_text.notes.isEmpty())
        return;
    static constexpr const char* dialog_name = "dlg_scan_notes";
    if (raise_list_dialog(this, QLatin1String(dialog_name)))
        return;
    const list_dialog_s list_dialog =
        make_list_dialog(this, QLatin1String(dialog_name), text_for_key("scan_notes_title"), notes_text.line,
                         QStringLiteral("tw_scan_notes"), {text_for_key("scan_notes_note")}, int(notes_text.notes.size()));
    for (int r = 0; r < list_dialog.table->rowCount(); ++r)
        list_dialog.table->setItem(r, 0, new QTableWidgetItem(notes_text.notes.at(r)));
    show_list_dialog(list_dialog, QSize(640, 300));
}

void recovery_window_c::clear_preview()
{
    preview_ready = false;
    preview_note.clear();
    update();
}

void recovery_window_c::on_tree_clicked(const QModelIndex& at)
{
    clear_preview();
    // The index is read from the scanner's store only when a scan ends, so
    // a folder can be opened even while another scan starts.
    TreeModel* model = tree_model();
    if (!model || !at.isValid() || !index || session.running()) {
        install_table();
        return;
    }
    // A click on a folder's tick box opens the folder too; the highlight
    // follows, so the tree says which folder the table shows.
    if (ui.tv_dirtree->currentIndex() != at)
        ui.tv_dirtree->setCurrentIndex(at);
    const TreeItem* item = model->item(at);
    if (item == model->all_item())
        show_folder(result_index_c::none);
    else if (item->folder != result_index_c::none)
        show_folder(item->folder);
    else
        install_table();
}

void recovery_window_c::on_list_clicked(const QModelIndex& at)
{
    clear_preview();
    recovery_model_c* model = table_model();
    if (!at.isValid() || at.row() >= model->rowCount())
        return;
    const int r = at.row();
    if (at.column() == 0) {
        model->set_checked(r, index->ticked(model->file_at(r)) ? 0 : 1);
        ticks_changed(false);
    }
    const uint32_t file = model->file_at(r);
    const recovery_item_s row = index->row(file);
    if (!preview_size_ok(row.size) && !session.running()) {
        preview_note = text_for_key("preview_too_large");
        update();
    }
    if (!preview_size_ok(row.size) || session.running())
        return;
    const QString folder = QString::fromStdString(platform::private_temp_dir());
    // The service refuses a preview folder on the scanned source.
    if (folder.isEmpty())
        return;
    if (!preview_file.isEmpty())
        QFile::remove(preview_file);
    QString written;
    // Waits while the writer reads the same scanner back.
    if (session.service().recover_one(QDir(folder), row, &written) == 0) {
        // The copy judged a file still waiting for its check: its tag first.
        take_content_verdicts();
        preview_item = index->row(file);
        preview_file = written;
        preview_ready = true;
        update();
    } else {
        preview_note = preview_failure("preview_failed", index->row(file));
        update();
    }
}

QString recovery_window_c::preview_failure(const char* key, const recovery_item_s& row) const
{
    QString note = text_for_key(key);
    const row_state_e state = row_state(row_flags_reading(session.service().kind()), row.flags);
    if (row_state_doubtful(state))
        note += QStringLiteral("\n\n") + row_state_explanation(state, row.flags);
    return note;
}

void recovery_window_c::draw_preview_note(QPainter& painter, int w, int h, const QString& note)
{
    const int x = panel_left();
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    option.setAlignment(Qt::AlignCenter);
    painter.setPen(QColor(90, 100, 120));
    painter.drawText(QRectF(x + 20, 84, w - x - 50, int(preview_span(h) - 10)), note, option);
}

void recovery_window_c::on_check_all(bool value)
{
    table_model()->tick_shown(value);
    ticks_changed(false);
}

void recovery_window_c::on_sort_column(int column)
{
    table_model()->sort_by_column(column);
}

void recovery_window_c::on_filter_changed()
{
    recovery_model_c* model = table_model();
    if (!model->result_index())
        return;
    clear_preview();
    model->set_filter(filter->filter());
    header->set_check_all(model->all_shown_ticked());
}

void recovery_window_c::on_tree_ticks_changed()
{
    table_model()->refresh_ticks();
    ticks_changed(true);
}

void recovery_window_c::on_recovery_clicked()
{
    // While files are written the button is Stop: the writer ends after the
    // file it is writing, keeping every file written.
    if (session.recovering()) {
        session.service().writer().request_stop();
        ui.btn_recovery->setEnabled(false);
        return;
    }
    if (!index || index->file_count() == 0)
        return;
    if (index->ticked_count() == 0) {
        show_warning(this, QStringLiteral("Quarvel"), "recovery_check_warning", QMessageBox::Ok);
        return;
    }
    if (writer_running() || session.running())
        return;
    const QString answer = ask_path(this, path_question_e::destination_folder);
    if (answer.isEmpty())
        return;
    const QDir folder(answer);
    // Never onto what is being scanned (that could overwrite the very files
    // still to be recovered), only where a file can be made, and only with
    // room for the whole selection: refused before the first copy.
    const output_check_s check = session.service().check_output(folder, index->ticked_bytes());
    if (!check.ok()) {
        show_message(this, QStringLiteral("Quarvel"), output_check_text(check, text_for_key), QMessageBox::Ok);
        return;
    }
    if (!session.destination_notes(folder).empty() &&
        show_warning(this, QStringLiteral("Quarvel"), "recovery_same_volume_warning",
                     QMessageBox::Yes | QMessageBox::No) == QMessageBox::No)
        return;
    // The whole selection, every folder's, in one run.
    std::vector<int64_t> ids = index->selected_ids();
    session.service().writer().options.skip_unreadable = ui.chk_skip_unreadable->isChecked();
    ui.chk_skip_unreadable->setEnabled(false);
    if (session.start_recovery(QDir(folder.absolutePath()), std::move(ids), index_row_lookup(index),
                               index->ticked_bytes()) != 0)
        return;
    ui.btn_recovery->setText(text_for_key("btn_stop"));
    // A new scan would have to wait for the last file with the window held
    // still: Start waits until the run has ended or been stopped.
    ui.btn_pause->setEnabled(false);
}

void recovery_window_c::on_recovery_finished(qint64 written, qint64 failed)
{
    // Only a recovery the page started knows how many files it was given.
    const scan_session_c::recovery_end_s end = session.end_recovery(written, failed);
    ui.btn_recovery->setText(text_for_key("btn_recovery"));
    ui.btn_recovery->setEnabled(true);
    ui.btn_pause->setEnabled(true);
    take_unreadable_rows();
    const recovery_tally_s tally = session.service().writer().tally();
    // Stopped before its last file: what was written, and that the rest was not.
    QString text = end.left > 0 && session.service().writer().job_outcome().end == job_end_e::stopped
                       ? text_for_key("recovery_stopped").arg(written).arg(failed).arg(end.left)
                       : text_for_key("recovery_done").arg(written).arg(failed);
    // Files over unreadable sectors, and where they are listed with them.
    const QString list = session.service().writer().unreadable_list_path().section(QLatin1Char('/'), -1);
    if (tally.unreadable > 0)
        text += QStringLiteral("\n\n") + text_for_key("recovery_unreadable_written").arg(tally.unreadable);
    if (tally.skipped > 0)
        text += QStringLiteral("\n\n") + text_for_key("recovery_unreadable_skipped").arg(tally.skipped);
    if (!list.isEmpty())
        text += QStringLiteral("\n") + text_for_key("recovery_unreadable_list").arg(list);
    else if (!session.service().writer().unreadable_list_failure().isEmpty())
        text += QStringLiteral("\n") + text_for_key("recovery_unreadable_list_failed")
                                          .arg(session.service().writer().unreadable_list_failure());
    if (tally.destination_full > 0)
        text += QStringLiteral("\n\n") + text_for_key("recovery_destination_full").arg(tally.destination_full);
    // Where files went other than asked (beside a mount point); the count of
    // failed files is in the first line already.
    for (const job_note_s& note : session.service().writer().job_outcome().notes)
        if (note.key != "note_files_not_written")
            text += QStringLiteral("\n\n") +
                    note_text(note, [](std::string_view key) { return text_for_key(key); });
    // The folder can be opened from here (the service opens it once this has
    // returned, unless it was), and every failed file shown with its reason.
    const std::vector<failed_file_s> failures = session.service().writer().failures();
    QStringList choices{text_for_key("recovery_open_folder")};
    if (!failures.empty())
        choices << text_for_key("recovery_show_failed");
    const QString folder = session.service().writer().destination().path();
    const int chosen = show_message_choice(this, QStringLiteral("Quarvel"), text, choices);
    if (chosen == 0) {
        folder_opened_by_person = true;
        platform::shell_open(QUrl::fromLocalFile(folder));
    } else if (chosen == 1) {
        show_failed_files(failures, failed);
    }
    emit recovery_done(written, failed);
}

QDialog* recovery_window_c::show_failed_files(const std::vector<failed_file_s>& failures, int64_t failed)
{
    QString heading = text_for_key("recovery_failed_heading").arg(failed);
    // Only so many are kept by name; the count says how many there were.
    if (int64_t(failures.size()) < failed)
        heading += QStringLiteral(" ") + text_for_key("recovery_failed_first").arg(failures.size());
    const list_dialog_s list_dialog = make_list_dialog(
        this, QStringLiteral("dlg_failed_files"), text_for_key("recovery_failed_title"), heading,
        QStringLiteral("tw_failed_files"), {text_for_key("recovery_failed_file"), text_for_key("recovery_failed_reason")},
        int(failures.size()));
    QTableWidget* list = list_dialog.table;
    list->setWordWrap(false);
    for (int r = 0; r < list->rowCount(); ++r) {
        const failed_file_s& f = failures[size_t(r)];
        list->setItem(r, 0, new QTableWidgetItem(f.name));
        auto* reason = new QTableWidgetItem(f.reason);
        reason->setToolTip(f.reason);
        list->setItem(r, 1, reason);
    }
    show_list_dialog(list_dialog, QSize(640, 360));
    return list_dialog.dialog;
}

void recovery_window_c::on_save_result_clicked()
{
    // The store is the scan thread's until its end has been handled.
    if (session.running() || session.service().kind() != scanner_kind_e::raw)
        return;
    const QString path = scan_file_name(ask_path(this, path_question_e::save_file));
    if (path.isEmpty())
        return;
    std::string reason;
    if (session.service().raw_scanner().save_results(QFile::encodeName(path), &reason) != 0)
        show_message(this, QStringLiteral("Quarvel"),
                     text_for_key("save_result_failed") + QStringLiteral("\n\n") + QString::fromStdString(reason),
                     QMessageBox::Ok);
}

int recovery_window_c::load_result()
{
    // A scan thread still ending owns its store.
    if (session.running())
        return -1;
    reset_tree();
    clear_preview();
    session.service().reset_scanner();
    progress_bar.set_value(0.0);
    timer.stop();

    const QString path = ask_path(this, path_question_e::open_file);
    if (path.isEmpty())
        return -1;
    // Only a volume this window offers now, of a drive in its table.
    const auto opened = session.open_scan_file(QFile::encodeName(path), scan_session_c::offered_in(volume_list));
    using outcome = scan_service_c::opened_scan_file_s::outcome_e;
    if (opened.outcome != outcome::opened) {
        if (opened.outcome == outcome::volume_missing)
            show_message(this, QStringLiteral("Quarvel"), text_for_key("resume_volume_missing").arg(opened.device),
                         QMessageBox::Ok);
        else
            show_message(this, QStringLiteral("Quarvel"),
                         text_for_key("resume_unreadable") + QStringLiteral("\n\n") +
                             QString::fromStdString(opened.reason),
                         QMessageBox::Ok);
        return -1;
    }
    // Its end is handled as a scan's, without the offer to save it.
    handle_scan_end();
    ui.btn_pause->hide();
    ui.btn_filter->hide();
    ui.btn_stop->hide();
    return 0;
}

bool recovery_window_c::eventFilter(QObject* watched, QEvent* event)
{
    // Space ticks the current row, as a click on its tick box does.
    if (watched == table && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space) {
        const QModelIndex current = table->currentIndex();
        recovery_model_c* model = table_model();
        if (current.isValid() && current.row() < model->rowCount()) {
            const int r = current.row();
            model->set_checked(r, index->ticked(model->file_at(r)) ? 0 : 1);
            ticks_changed(false);
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void recovery_window_c::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int w = width();
    const int h = height();
    ui.btn_back->move(200, h - 49);
    // Beside Recover, whose run it governs.
    ui.chk_skip_unreadable->setGeometry(w - 190, h - 49, 180, 30);
    ui.btn_recovery->move(w - 300, h - 49);
    ui.btn_pause->move(360, 29);
    ui.btn_stop->move(470, 29);
    ui.btn_filter->move(w - 130, 29);
    // The filter box takes the top of the table's space, and the preview
    // gives up what its rows need beyond two.
    const int table_bottom = int((h - 143) * 0.4 + 79 + 7) + int((h - 143) * 0.6);
    const int table_top = int(preview_span(h) + 79 + 7);
    const int filter_height = filter->sizeHint().height();
    const int x = panel_left();
    const int pw = w - x - 10;
    filter->setGeometry(x, table_top, pw, filter_height);
    const int rows_top = table_top + filter_height + 6;
    table->setGeometry(x, rows_top, pw, std::max(0, table_bottom - rows_top));
    selection_label->setGeometry(305, h - 49, std::max(0, w - 300 - 305 - 5), 30);
    fit_selection();
    place_damage_label();
    ui.tv_dirtree->setGeometry(10, 79, x - 19, h - 137);
}

double recovery_window_c::preview_span(int h) const
{
    return (h - 143) * 0.4 - std::max(0, filter->sizeHint().height() - two_filter_rows);
}

int recovery_window_c::panel_left() const
{
    // The folder tree is 193 pixels wide unless its first entry, "All found
    // files", needs more in the language shown; it never takes more than a
    // third of the page.
    const QTreeView* tree = ui.tv_dirtree;
    const QFontMetrics metrics(tree->font());
    const int frame = 2 * tree->frameWidth();
    const int scroll_bar = tree->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, tree);
    // Root decoration, icon and the item's margins, as the tree lays out its top entries.
    const int icon = tree->iconSize().isValid() ? tree->iconSize().width()
                                                : tree->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, tree);
    const int before_text = tree->indentation() + icon + 10;
    const int needed = frame + before_text + metrics.horizontalAdvance(text_for_key("tree_all_files")) + 8 + scroll_bar;
    return 10 + std::clamp(needed, 193, std::max(193, width() / 3)) + 9;
}

void recovery_window_c::paintEvent(QPaintEvent*)
{
    if (!isVisible())
        return;
    QPainter painter(this);
    const int w = width();
    const int h = height();
    const QPixmap strip(QStringLiteral(":/images/background/bai.png"));
    painter.fillRect(0, 0, w, strip.height(), QBrush(strip));

    painter.setPen(QColor(139, 184, 241));
    painter.drawRect(10, 13, w - 20, 60);
    const int x = panel_left();
    const int pw = w - x - 10;
    painter.drawRect(x, 79, pw, int(preview_span(h)));

    painter.setFont(QFont(QStringLiteral("Verdana"), 10));
    progress_bar.draw(painter, QRect(90, 38, 250, 12));

    painter.setPen(Qt::black);
    QString status;
    if (index_job.running()) {
        status = text_for_key("recovery_listing");
    } else if (session.searching_lost()) {
        // Its count and time left go on the wider line below, where they
        // are not cut short.
        status = text_for_key("recovery_lost_search");
    } else if (session.checking_contents()) {
        status = text_for_key("recovery_checking");
    } else if (session.deep()) {
        const auto done = uint64_t(progress_bar.current_value() * double(session.volume().total_bytes));
        status = text_for_key("raw_progress") + QLatin1Char(' ') + format_size(done);
    } else {
        status = text_for_key("recovery_reading") + QString::number(session.service().scanner().get_read_count());
    }
    // The first button of the row sits on the line's right; a long
    // translation is cut short before it rather than run under it.
    const int status_width = ui.btn_pause->x() - 90 - 8;
    painter.drawText(90, 30, QFontMetrics(painter.font()).elidedText(status, Qt::ElideRight, status_width));

    if (preview_ready) {
        draw_preview(painter, w, h);
    } else {
        painter.fillRect(x + 1, 80, pw - 1, int(preview_span(h) - 1), Qt::white);
        if (!preview_note.isEmpty())
            draw_preview_note(painter, w, h, preview_note);
    }

    // Once listed, the count is of the files the list holds; before, the
    // scanner's count takes folders in too, and is said to.
    const int64_t found_count = index ? int64_t(index->file_count()) : session.service().scanner().get_found_count();
    QString found_line;
    if (found_count > 0)
        found_line = text_for_key(index ? "recovery_total_files" : "recovery_found_so_far") + QLatin1Char(' ') +
                     QString::number(found_count);
    if (session.searching_lost()) {
        const QString left = lost_seconds_left < 0 ? text_for_key("image_time_unknown")
                                                   : QStringLiteral("%1:%2").arg(lost_seconds_left / 60).arg(
                                                         lost_seconds_left % 60, 2, 10, QLatin1Char('0'));
        const QString lost = text_for_key("recovery_lost_found").arg(session.service().lost_pass_found()).arg(left);
        found_line = found_line.isEmpty() ? lost : found_line + QStringLiteral("; ") + lost;
    }
    if (!found_line.isEmpty()) {
        painter.setPen(Qt::red);
        // A line longer than the room left of the buttons goes under them.
        const QFontMetrics metrics(painter.font());
        const int y = metrics.horizontalAdvance(found_line) > status_width
                          ? std::max(65, ui.btn_pause->geometry().bottom() + metrics.ascent() + 2)
                          : 65;
        painter.drawText(90, y, metrics.elidedText(found_line, Qt::ElideRight, w - 90 - 10));
    }
}

void recovery_window_c::draw_preview(QPainter& painter, int w, int h)
{
    const int x = panel_left();
    const int pw = w - x - 10;
    painter.fillRect(x + 1, 80, pw - 1, int(preview_span(h) - 1), Qt::white);
    const int state_line = draw_preview_state(painter, w, h);
    if (preview_is_image(preview_item.name)) {
        const QImage image(preview_file);
        if (image.width() == 0 || image.height() == 0) {
            draw_preview_note(painter, w, h, preview_failure("preview_not_decoded", preview_item));
            return;
        }
        const int b = int(preview_span(h) - 10) - state_line;
        if (b <= 0)
            return;
        // Never wider than the frame, whatever shape the picture has.
        int width = int(int64_t(b) * image.width() / image.height());
        int height = b;
        if (width > pw - 10) {
            width = std::max(1, pw - 10);
            height = std::max(1, int(int64_t(width) * image.height() / image.width()));
        }
        painter.drawImage(QRect(x + (pw - width) / 2, 84, width, height), image);
        return;
    }
    QFile file(preview_file);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.read(preview_text_bytes);
    if (bytes.isEmpty())
        return;
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAnywhere);
    painter.setPen(Qt::black);
    painter.drawText(QRectF(x + 5, 84, pw - 10, int(preview_span(h) - 10) - state_line), preview_text(bytes), option);
}

int recovery_window_c::draw_preview_state(QPainter& painter, int w, int h)
{
    // What the content check found, under the picture: a damaged photo
    // shows its grey or broken part, and this says how much is sound.
    const row_state_e state = row_state(row_flags_reading(session.service().kind()), preview_item.flags);
    if (state != row_state_e::damaged && !row_state_checked_whole(state))
        return 0;
    const QString line = row_state_line(state, preview_item.flags);
    const int bottom = 80 + int(preview_span(h) - 1);
    const QFontMetrics metrics(painter.font());
    const QRect box(panel_left() + 5, bottom - metrics.height() - 4, w - panel_left() - 20, metrics.height() + 2);
    painter.fillRect(box, Qt::white);
    painter.setPen(state == row_state_e::damaged ? QColor(176, 32, 24) : QColor(24, 110, 48));
    painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, metrics.elidedText(line, Qt::ElideRight, box.width()));
    return box.height() + 2;
}
