#include "scan/recovery_writer.h"

#include "platform/fd_io.h"
#include "scan/recovery_tree.h"
#include "scan/safe_name.h"

#include <QFile>
#include <algorithm>
#include <memory>
#include <cxxabi.h>
#include <cerrno>
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
        if (!platform::write_fully(out, buffer.data(), static_cast<size_t>(got))) {
            ok = false;
            break;
        }
    }
    if (::close(out) != 0)
        ok = false;
    ::close(in);
    if (!ok) {
        ::unlink(QFile::encodeName(destination).constData());
        return -1;
    }
    return 0;
}

namespace {

int recover_one_unguarded(recovery_base_c& scanner, const QDir& destination, const recovery_item_s& row,
                          QString* written)
{
    QString source;
    const bool live = scanner.live_source(row, &source);
    const name_rules_e rules = destination_name_rules(destination.path());
    const QString name = scanner.written_name(row);
    for (int attempt = 1; attempt <= max_name_attempts; ++attempt) {
        const QString target = destination.filePath(numbered_file_name(name, attempt, rules));
        // A name already taken is passed over without asking the scanner;
        // one taken between this look and the scanner's exclusive create
        // comes back as recover_target_exists and is passed over as well.
        struct stat st {};
        if (::lstat(QFile::encodeName(target).constData(), &st) == 0)
            continue;
        int result = -1;
        forget_created_target();
        try {
            result = live ? copy_by_path(source, target) : scanner.recover_file(row.id, target);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // Memory ran out (or a bug) part way through the copy: the file
            // begun is taken away again, and the row fails.
            remove_created_target(target);
            throw;
        }
        if (result == recover_target_exists)
            continue;
        // The file's own time where its entry gives one; a copy that cannot
        // take it still counts as written.
        if (result == 0)
            set_created_target_time(target, row.date1);
        if (result == 0 && written)
            *written = target;
        // A failed copy lets go of the file too: a descriptor held on the
        // destination would keep its drive from being unmounted.
        if (result != 0)
            forget_created_target();
        return result == 0 ? 0 : -1;
    }
    return -1;
}

}  // namespace

namespace {
thread_local QString last_row_failure;
}

QString last_recovery_failure() { return last_row_failure; }

int recover_one(recovery_base_c& scanner, const QDir& destination, const recovery_item_s& row, QString* written)
{
    std::lock_guard lock(scanner.read_back_lock());
    last_row_failure.clear();
    forget_target_failure();
    int result = -1;
    try {
        result = recover_one_unguarded(scanner, destination, row, written);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // A row that cannot be copied whole is a failed row, whatever the cause.
        last_row_failure = QStringLiteral("the copy was cut short (out of memory?)");
        return -1;
    }
    if (result != 0) {
        last_row_failure = last_target_failure();
        if (last_row_failure.isEmpty())
            last_row_failure = QStringLiteral("its data could not be read back whole (a read error, the device "
                                              "ended early, or the disk written to is full)");
    }
    return result;
}

int recover_in_tree(recovery_base_c& scanner, recovery_tree_c& tree, const found_row_s& row, QString* written)
{
    QDir target;
    QString shown, why;
    if (!tree.folder_for(scanner.written_folders(row), &target, &shown, &why)) {
        last_row_failure = why;
        return -1;
    }
    QString path;
    const int result = recover_one(scanner, target, row.item, &path);
    // The folder may be reached through its descriptor; the person is told
    // where it lies.
    if (result == 0 && written)
        *written = shown + QLatin1Char('/') + path.section(QLatin1Char('/'), -1);
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
    status_.clear();
    start(QThread::InheritPriority);
    // The system may refuse the thread (memory exhausted); then no
    // finished() comes and nothing was written.
    return isRunning() || isFinished() ? 0 : -1;
}

recovery_tally_s recovery_file_c::tally() const
{
    return {written_.load(std::memory_order_relaxed), failed_.load(std::memory_order_relaxed)};
}

void recovery_file_c::run_job()
{
    size_t done = 0;
    const double total = double(std::max<size_t>(ids_.size(), 1));
    try {
        // Where the selection's folders meet is known only once every row
        // has been seen: the rows are looked up twice.
        recovery_tree_c tree(destination_, keep_tree);
        for (const int64_t id : ids_) {
            found_row_s row;
            if (lookup_(id, &row))
                tree.add(scanner_->written_folders(row));
        }
        for (const int64_t id : ids_) {
            // A stop leaves the files written so far; the rest are neither.
            if (stop_point())
                break;
            found_row_s row;
            QString written;
            int result = -1;
            if (lookup_(id, &row))
                result = recover_in_tree(*scanner_, tree, row, &written);
            (result == 0 ? written_ : failed_).fetch_add(1, std::memory_order_relaxed);
            ++done;
            status_.read_count.store(int64_t(done), std::memory_order_relaxed);
            set_progress(double(done) / total);
        }
        tree.stamp_folders();
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
    status_.found_count.store(written_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    if (const int64_t failed = failed_.load(std::memory_order_relaxed); failed > 0)
        warn(QStringLiteral("%1 of %2 files could not be written").arg(failed).arg(ids_.size()));
}
