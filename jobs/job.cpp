#include "jobs/job.h"

#include "platform/exception_reason.h"

#include <QDebug>
#include <QMutexLocker>
#include <string>

void job_status_s::clear()
{
    progress.store(0.0, std::memory_order_relaxed);
    pause.store(0, std::memory_order_relaxed);
    stop.store(stop_run, std::memory_order_relaxed);
    read_count.store(0, std::memory_order_relaxed);
    found_count.store(0, std::memory_order_relaxed);
}

job_c::job_c(const char* task, QObject* parent) : QThread(parent), task_(task) {}

double job_c::get_progress() const { return status_.progress.load(std::memory_order_relaxed); }
void job_c::set_progress(double progress) { status_.progress.store(progress, std::memory_order_relaxed); }
void job_c::set_stop(int code) { status_.stop.store(code, std::memory_order_relaxed); }
int job_c::get_stop() const { return status_.stop.load(std::memory_order_relaxed); }
int job_c::get_pause() const { return status_.pause.load(std::memory_order_relaxed); }
void job_c::set_pause(int flag) { status_.pause.store(flag, std::memory_order_relaxed); }
int64_t job_c::get_read_count() const { return status_.read_count.load(std::memory_order_relaxed); }
int64_t job_c::get_found_count() const { return status_.found_count.load(std::memory_order_relaxed); }

void job_c::request_stop()
{
    set_stop(stop_keep_results);
    // A paused job must wake up to see the stop.
    set_pause(0);
}

job_outcome_s job_c::job_outcome() const
{
    QMutexLocker lock(&outcome_mutex_);
    return outcome_;
}

void job_c::fail(const QString& reason)
{
    QMutexLocker lock(&outcome_mutex_);
    if (outcome_.end == job_end_e::failed)
        return;
    outcome_.end = job_end_e::failed;
    outcome_.reason = reason;
}

void job_c::note(job_note_s note)
{
    QMutexLocker lock(&outcome_mutex_);
    outcome_.notes.push_back(std::move(note));
}

bool job_c::stop_point()
{
    while (get_pause() != 0 && get_stop() == stop_run)
        QThread::msleep(50);
    return get_stop() != stop_run;
}

void job_c::run()
{
    {
        QMutexLocker lock(&outcome_mutex_);
        outcome_ = {};
    }
    std::string reason;
    if (platform::run_catching(task_, [this] { run_job(); }, &reason)) {
        QMutexLocker lock(&outcome_mutex_);
        if (outcome_.end == job_end_e::done && get_stop() != stop_run)
            outcome_.end = job_end_e::stopped;
        return;
    }
    // Nothing here may throw again: a literal first, the detail if it fits.
    QMutexLocker lock(&outcome_mutex_);
    outcome_.end = job_end_e::failed;
    outcome_.reason = QStringLiteral("stopped by an internal error");
    try {
        if (!reason.empty())
            outcome_.reason = QString::fromStdString(reason);
        qWarning().noquote() << metaObject()->className() << outcome_.reason;
    } catch (...) {
        // The literal stands.
    }
    lock.unlock();
    after_failure();
}
