#include "scan/recovery_writer.h"

#include "platform/fd_io.h"
#include "scan/recovery_tree.h"
#include "scan/safe_name.h"

#include <QFile>
#include <algorithm>
#include <memory>
#include <cxxabi.h>
#include <cerrno>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int copy_by_path(const QString& source, const QString& destination)
{
    const int in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0)
        return -1;
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(in);
        return -1;
    }
    const int out = open_recovery_target(destination);
    if (out < 0) {
        const bool exists = errno == EEXIST;
        ::close(in);
        return exists ? recover_target_exists : -1;
    }
    std::vector<char> buffer(static_cast<size_t>(copy_by_path_chunk));
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        // A stop that may not wait for the end of a large file.
        if (read_ledger_c* ledger = read_ledger_c::current(); ledger && ledger->should_cancel()) {
            ok = false;
            break;
        }
        if (!platform::write_fully(out, buffer.data(), static_cast<size_t>(got))) {
            ok = false;
            break;
        }
    }
    const int error = errno;
    if (::close(out) != 0)
        ok = false;
    ::close(in);
    if (!ok) {
        remove_created_target(destination);
        errno = error;
        return -1;
    }
    return 0;
}

namespace {

thread_local QString last_row_failure;
thread_local unreadable_sectors_s last_row_unreadable;
thread_local bool last_row_full = false;

bool destination_full_errno(int error) { return error == ENOSPC || error == EDQUOT; }

// The file's final name is taken only once it is complete; until then it is
// written under its partial name beside it. attempt is where the search for
// a free final name starts and goes on.
int publish(const QDir& destination, const QString& name, name_rules_e rules, int attempt, const QString& partial,
            QString* final_path)
{
    for (; attempt <= max_name_attempts; ++attempt) {
        const QString target = destination.filePath(numbered_file_name(name, attempt, rules));
        const int error = publish_created_target(partial, target);
        if (error == EEXIST)
            continue;
        if (error != 0) {
            last_row_failure = QStringLiteral("cannot give %1 its name: %2")
                                   .arg(target.section('/', -1), QString::fromLocal8Bit(std::strerror(error)));
            if (destination_full_errno(error))
                last_row_full = true;
            return -1;
        }
        *final_path = target;
        return 0;
    }
    last_row_failure = QStringLiteral("no free name for %1").arg(name);
    return -1;
}

int recover_one_unguarded(recovery_base_c& scanner, const QDir& destination, const recovery_item_s& row,
                          QString* written, const recovery_options_s& options)
{
    QString source;
    const bool live = scanner.live_source(row, &source);
    const name_rules_e rules = options.name_rules ? *options.name_rules : destination_name_rules(destination.path());
    const QString name = scanner.written_name(row);
    for (int attempt = 1; attempt <= max_name_attempts; ++attempt) {
        const QString final_name = numbered_file_name(name, attempt, rules);
        const QString target = destination.filePath(final_name);
        // A name already taken is passed over without asking the scanner.
        struct stat st {};
        if (::lstat(QFile::encodeName(target).constData(), &st) == 0)
            continue;
        // What a crash left while this file was written before goes; a
        // partial file another run is writing now stays, and this name is
        // passed over.
        const QString partial = destination.filePath(partial_file_name(final_name));
        if (remove_stale_partial(partial) == partial_state_e::taken)
            continue;
        int result = -1;
        int error = 0;
        forget_created_target();
        const unnamed_targets_c unnamed;
        read_ledger_c ledger(options.cancel);
        try {
            errno = 0;
            result = live ? copy_by_path(source, partial) : scanner.recover_file(row.id, partial);
            error = errno;
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // Memory ran out (or a bug) part way through the copy: the file
            // begun is taken away again, and the row fails.
            remove_created_target(partial);
            throw;
        }
        if (result == recover_target_exists)
            continue;
        if (ledger.cancelled()) {
            // Stopped part way (or just after the last read): the file goes.
            if (result == 0)
                remove_created_target(partial);
            forget_created_target();
            last_row_failure = QStringLiteral("stopped while it was written; it was removed");
            return recover_cancelled;
        }
        if (result != 0) {
            // A failed copy lets go of the file too: a descriptor held on the
            // destination would keep its drive from being unmounted.
            forget_created_target();
            if (!ledger.read_failed() && destination_full_errno(error))
                last_row_full = true;
            return -1;
        }
        last_row_unreadable = {ledger.sector_bytes(), ledger.ranges()};
        if (!last_row_unreadable.empty() && options.skip_unreadable) {
            remove_created_target(partial);
            return recover_skipped_unreadable;
        }
        QString final_path;
        if (publish(destination, name, rules, attempt, partial, &final_path) != 0) {
            remove_created_target(partial);
            return -1;
        }
        // The file's own time where its entry gives one; a copy that cannot
        // take it still counts as written.
        set_created_target_time(final_path, row.date1);
        if (written)
            *written = final_path;
        return 0;
    }
    return -1;
}

}  // namespace

QString last_recovery_failure() { return last_row_failure; }
unreadable_sectors_s last_recovery_unreadable() { return last_row_unreadable; }
bool last_recovery_destination_full() { return last_row_full; }

int recover_one(recovery_base_c& scanner, const QDir& destination, const recovery_item_s& row, QString* written,
                const recovery_options_s& options)
{
    std::lock_guard lock(scanner.read_back_lock());
    last_row_failure.clear();
    last_row_unreadable = {};
    last_row_full = false;
    forget_target_failure();
    int result = -1;
    try {
        result = recover_one_unguarded(scanner, destination, row, written, options);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // A row that cannot be copied whole is a failed row, whatever the cause.
        last_row_failure = QStringLiteral("the copy was cut short (out of memory?)");
        return -1;
    }
    if (result == -1 && last_row_failure.isEmpty()) {
        last_row_failure = last_target_failure();
        if (last_row_full)
            last_row_failure = QStringLiteral("the destination is full (%1)")
                                   .arg(QString::fromLocal8Bit(std::strerror(ENOSPC)));
        else if (last_row_failure.isEmpty())
            last_row_failure = QStringLiteral("its data could not be read back whole (its clusters lie outside "
                                              "the volume, or the device could not be read)");
    }
    if (result == recover_skipped_unreadable)
        last_row_failure = QStringLiteral("skipped: %1 could not be read").arg(unreadable_sectors_text(last_row_unreadable));
    return result;
}

void count_recovery(int result, const QString& shown, recovery_tally_s* tally, unreadable_list_c* list)
{
    const unreadable_sectors_s met = last_row_unreadable;
    if (result == 0) {
        ++tally->written;
        if (!met.empty()) {
            ++tally->unreadable;
            if (list)
                list->add(shown, met, true);
        }
    } else if (result == recover_skipped_unreadable) {
        ++tally->skipped;
        if (list)
            list->add(shown, met, false);
    } else if (result == recover_cancelled) {
        tally->cancelled = true;
    } else {
        ++tally->failed;
        if (last_row_full)
            ++tally->destination_full;
    }
}

int recover_in_tree(recovery_base_c& scanner, recovery_tree_c& tree, const found_row_s& row, QString* written,
                    const recovery_options_s& options)
{
    QDir target;
    QString shown, why;
    if (!tree.folder_for(scanner.written_folders(row), &target, &shown, &why)) {
        last_row_failure = why;
        last_row_unreadable = {};
        last_row_full = false;
        return -1;
    }
    QString path;
    recovery_options_s with_rules = options;
    with_rules.name_rules = tree.name_rules();
    const int result = recover_one(scanner, target, row.item, &path, with_rules);
    // The folder may be reached through its descriptor; the person is told
    // where it lies (a file skipped: where it would have gone).
    if (written)
        *written = shown + QLatin1Char('/') +
                   (result == 0 ? path.section(QLatin1Char('/'), -1) : safe_file_name(scanner.written_name(row.item)));
    return result;
}

recovery_file_c::recovery_file_c(QObject* parent) : job_c("the recovery", parent) {}

recovery_file_c::~recovery_file_c() { wait(); }

int recovery_file_c::start_recovery(recovery_base_c* scanner, const QDir& destination,
                                    const std::vector<recovery_item_s>& rows)
{
    // Rows are taken by their place in the copy, so a row listed twice is
    // written twice, as the table asked.
    auto ticked = std::make_shared<std::vector<recovery_item_s>>();
    for (const auto& row : rows)
        if (row.checked)
            ticked->push_back(row);
    std::vector<int64_t> places(ticked->size());
    for (size_t i = 0; i < places.size(); ++i)
        places[i] = int64_t(i);
    return start_recovery(scanner, destination, std::move(places), [ticked](int64_t place, found_row_s* out) {
        if (place < 0 || size_t(place) >= ticked->size())
            return false;
        out->item = (*ticked)[size_t(place)];
        return true;
    });
}

int recovery_file_c::start_recovery(recovery_base_c* scanner, const QDir& destination, std::vector<int64_t> ids,
                                    row_lookup_fn lookup)
{
    if (isRunning() || !scanner || !lookup)
        return -1;
    scanner_ = scanner;
    destination_ = destination;
    ids_ = std::move(ids);
    lookup_ = std::move(lookup);
    written_.store(0, std::memory_order_relaxed);
    failed_.store(0, std::memory_order_relaxed);
    unreadable_.store(0, std::memory_order_relaxed);
    skipped_.store(0, std::memory_order_relaxed);
    full_.store(0, std::memory_order_relaxed);
    listed_ = 0;
    list_path_.clear();
    list_failure_.clear();
    take_unreadable_ids();
    {
        std::lock_guard hold(failures_lock_);
        failures_.clear();
    }
    status_.clear();
    start(QThread::InheritPriority);
    // The system may refuse the thread (memory exhausted); then no
    // finished() comes and nothing was written.
    return isRunning() || isFinished() ? 0 : -1;
}

recovery_tally_s recovery_file_c::tally() const
{
    recovery_tally_s t;
    t.written = written_.load(std::memory_order_relaxed);
    t.failed = failed_.load(std::memory_order_relaxed);
    t.unreadable = unreadable_.load(std::memory_order_relaxed);
    t.skipped = skipped_.load(std::memory_order_relaxed);
    t.destination_full = full_.load(std::memory_order_relaxed);
    return t;
}

std::vector<failed_file_s> recovery_file_c::failures() const
{
    std::lock_guard hold(failures_lock_);
    return failures_;
}

std::vector<int64_t> recovery_file_c::take_unreadable_ids()
{
    std::lock_guard hold(unreadable_lock_);
    return std::exchange(unreadable_ids_, {});
}

void recovery_file_c::run_job()
{
    size_t done = 0;
    const double total = double(std::max<size_t>(ids_.size(), 1));
    unreadable_list_c list;
    try {
        // Where the selection's folders meet is known only once every row
        // has been seen: the rows are looked up twice.
        recovery_tree_c tree(destination_, keep_tree, scanner_->source_path());
        int64_t selected = 0;
        for (const int64_t id : ids_) {
            found_row_s row;
            if (lookup_(id, &row)) {
                tree.add(scanner_->written_folders(row));
                selected = selection_total(selected, row.item.size);
            }
        }
        if (const QString refused = scanner_->selection_refusal(selected); !refused.isEmpty()) {
            failed_.store(int64_t(ids_.size()), std::memory_order_relaxed);
            {
                std::lock_guard hold(failures_lock_);
                failures_.push_back({QStringLiteral("*"), refused});
            }
            done = ids_.size();
            fail(refused);
            lookup_ = nullptr;
            return;
        }
        const QString root = destination_.path().endsWith('/') ? destination_.path() : destination_.path() + '/';
        for (const int64_t id : ids_) {
            // A stop leaves the files written so far; the rest are neither.
            if (stop_point())
                break;
            found_row_s row;
            QString written;
            int result = -1;
            const bool listed = lookup_(id, &row);
            if (listed)
                result = recover_in_tree(*scanner_, tree, row, &written, options);
            recovery_tally_s one;
            const QString shown = written.startsWith(root) ? written.mid(root.size()) : written;
            count_recovery(result, shown, &one, &list);
            if (one.failed > 0) {
                std::lock_guard hold(failures_lock_);
                if (failures_.size() < max_failures_kept)
                    failures_.push_back({!shown.isEmpty()         ? shown
                                         : !row.item.name.isEmpty() ? row.item.name
                                                                    : QStringLiteral("#%1").arg(id),
                                         listed ? last_recovery_failure() : QStringLiteral("no longer listed")});
            }
            written_.fetch_add(one.written, std::memory_order_relaxed);
            failed_.fetch_add(one.failed, std::memory_order_relaxed);
            unreadable_.fetch_add(one.unreadable, std::memory_order_relaxed);
            skipped_.fetch_add(one.skipped, std::memory_order_relaxed);
            full_.fetch_add(one.destination_full, std::memory_order_relaxed);
            if (!last_recovery_unreadable().empty()) {
                std::lock_guard hold(unreadable_lock_);
                unreadable_ids_.push_back(id);
            }
            ++done;
            status_.read_count.store(int64_t(done), std::memory_order_relaxed);
            set_progress(double(done) / total);
        }
        tree.stamp_folders();
        for (const job_note_s& where : tree.notes())
            note(where);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // recover_one keeps its own failures in; what escapes here came from
        // around it (memory ran out between rows). The rows not written
        // count as failed, which is what the person is told.
        failed_.fetch_add(int64_t(ids_.size() - std::min(done, ids_.size())), std::memory_order_relaxed);
    }
    // The lookup may hold the whole result index; it goes with the run.
    lookup_ = nullptr;
    listed_ = list.size();
    list_path_ = list.write_into(destination_.path(), &list_failure_);
    status_.found_count.store(written_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    if (const int64_t failed = failed_.load(std::memory_order_relaxed); failed > 0)
        note({"note_files_not_written", {qint64(failed), qint64(ids_.size())}});
}
