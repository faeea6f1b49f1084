#include "scan/recovery_base.h"

#include "scan/unreadable_sectors.h"

#include <QFile>
#include <string>
#include <unordered_set>

void recovery_base_c::reset_for_run()
{
    const int stop = get_stop();
    const int pause = get_pause();
    reset();
    set_stop(stop);
    set_pause(pause);
}

namespace {
// A volume record's path may end in a separator; the device itself does not.
QString without_separator(QString path)
{
    if (path.endsWith('/') || path.endsWith('\\'))
        path.chop(1);
    return path;
}
}  // namespace

void recovery_base_c::set_source(const QString& device_path, platform::byte_source_ptr source)
{
    source_path_ = without_separator(device_path);
    // A copy learns through the wrapper which unreadable sectors it met.
    source_ = with_read_ledger(std::move(source));
}

platform::byte_source_ptr recovery_base_c::scan_source(const QString& device_path, QString* error) const
{
    const QString path = without_separator(device_path);
    // Only for the path it was opened for: a scanner handed another volume
    // since never reads the old one's bytes.
    if (source_ && source_path_ == path)
        return source_;
    std::string reason;
    platform::byte_source_ptr source = platform::open_byte_source(QFile::encodeName(path).toStdString(), &reason);
    if (!source && error)
        *error = QString::fromStdString(reason);
    return with_read_ledger(std::move(source));
}

int32_t recovery_base_c::judge_content(int64_t, carve::check_budget_s*) { return 0; }

bool recovery_base_c::check_next_content(carve::check_budget_s* budget)
{
    std::lock_guard lock(read_back_);
    int64_t id = 0;
    if (!content_queue_.next(&id))
        return false;
    const int32_t flags = judge_content(id, budget);
    // Cut short by a stop: the file still waits, so a copy judges it first.
    if (budget && budget->stop && budget->stop->load(std::memory_order_relaxed) != 0)
        return false;
    content_queue_.judged(id, flags);
    return true;
}

void recovery_base_c::queue_content_check(std::vector<int64_t> ids)
{
    content_queue_.clear();
    content_pass_budget_c pass;
    if (ids.empty() || !pass.load())
        return;
    content_queue_.fill(std::move(ids), *pass.budget());
    if (content_deferred_)
        return;
    while (!stop_requested() && pass.next_file() && check_next_content(pass.budget())) {
    }
    // The rows are read from the store as they stand now; nothing waits.
    content_queue_.clear();
}

void recovery_base_c::judge_if_waiting(int64_t id)
{
    std::lock_guard lock(read_back_);
    if (!content_queue_.waiting(id))
        return;
    // The check reads clusters the copy may not take; only what the copy
    // reads counts for it.
    ledger_pause_c not_the_copy;
    carve::check_budget_s budget = content_queue_.one_file_budget();
    content_queue_.judged(id, judge_content(id, &budget));
}

void recovery_base_c::run_job()
{
    run_scan();
    if (const QString failure = failure_reason(); !failure.isEmpty())
        fail(failure);
    for (job_note_s& skipped : notes())
        note(std::move(skipped));
    if (std::optional<job_note_s> damaged = read_damage_note(read_damage()))
        note(std::move(*damaged));
}

read_damage_s recovery_base_c::read_damage() const
{
    return source_ ? read_damage_of(*source_) : read_damage_s{};
}

void recovery_base_c::after_failure() noexcept
{
    try {
        reset();
    } catch (...) {
        // Clearing frees memory and does not throw in practice; if it did,
        // the failure is still what the service reports.
    }
}

QString recovery_base_c::scan_failure() const
{
    const job_outcome_s outcome = job_outcome();
    return outcome.end == job_end_e::failed && !outcome.reason.isEmpty() ? outcome.reason : failure_reason();
}

void register_scan_types()
{
    qRegisterMetaType<recovery_item_s>("recovery_item_s");
    // A row read as text is its name, for whatever asks a table for text.
    static const bool converter = QMetaType::registerConverter<recovery_item_s, QString>(
        [](const recovery_item_s& row) { return row.name; });
    Q_UNUSED(converter);
}

int recovery_base_c::get_full_path(int64_t, QString*) { return 0; }

bool recovery_base_c::live_source(const recovery_item_s&, QString*) { return false; }

bool recovery_base_c::data_offset(int64_t, uint64_t*) { return false; }

QString recovery_base_c::written_name(const recovery_item_s& row) const { return row.name; }

std::vector<written_folder_s> recovery_base_c::written_folders(const found_row_s& row) const
{
    std::vector<written_folder_s> out;
    for (const QString& part : row.folder.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        out.push_back({part, 0});
    return out;
}

bool recovery_base_c::top_folder(const void**) const { return false; }
void recovery_base_c::sub_folders(const void*, std::vector<result_folder_s>*) const {}
void recovery_base_c::folder_rows(const void*, std::vector<recovery_item_s>*) const {}

void recovery_base_c::visit_folder_rows(const void* folder, const row_visit_fn& visit) const
{
    std::vector<recovery_item_s> rows;
    folder_rows(folder, &rows);
    for (const recovery_item_s& row : rows)
        visit(row);
}
QString recovery_base_c::failure_reason() const { return {}; }
job_notes_t recovery_base_c::notes() const { return {}; }

std::vector<found_row_s> recovery_base_c::found_rows() const
{
    std::vector<found_row_s> rows;
    const void* top = nullptr;
    if (!top_folder(&top))
        return rows;
    struct frame_s {
        const void* folder;
        QString path;
        int depth;
    };
    std::vector<frame_s> pending{{top, QStringLiteral("/"), 0}};
    std::unordered_set<const void*> seen{top};
    std::vector<result_folder_s> folders;
    while (!pending.empty()) {
        const frame_s frame = pending.back();
        pending.pop_back();
        visit_folder_rows(frame.folder, [&](const recovery_item_s& item) { rows.push_back({item, frame.path}); });
        if (frame.depth >= max_tree_depth)
            continue;
        folders.clear();
        sub_folders(frame.folder, &folders);
        for (const auto& f : folders) {
            if (!seen.insert(f.node).second)
                continue;
            const QString path = (frame.path == QStringLiteral("/") ? QString() : frame.path) + '/' + f.name;
            pending.push_back({f.node, path, frame.depth + 1});
        }
    }
    return rows;
}
