// One thread shape for every long task: a job runs on its own thread, keeps
// a progress the window polls, takes a stop and a pause through one status
// block, and ends with an outcome that says whether it got through and, if
// not, why, plus what it had to skip on the way.
#pragma once

#include "jobs/job_note.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <cstdint>

// The stop word of a job. The numbers are what the pages write and the jobs
// compare (and what scanners stored before jobs had a shape of their own);
// 1 is what a scanner that never ran reports.
enum stop_code_e : int32_t {
    stop_run = 0,           // keep going
    stop_idle = 1,          // the inert scanner's answer
    stop_abandon = 2,       // the results are thrown away
    stop_keep_results = 3,  // stop early, keep what was done
};

// Counters and flags shared between the user-interface thread and a job's
// thread. Each field is a single value whose readers tolerate a stale read,
// so relaxed ordering is enough.
struct job_status_s {
    std::atomic<double> progress{0.0};     // fraction done, 0.0 to 1.0
    std::atomic<int32_t> pause{0};         // non-zero while paused
    std::atomic<int32_t> stop{stop_run};   // a stop_code_e
    std::atomic<int64_t> read_count{0};    // entries, records or rows examined
    std::atomic<int64_t> found_count{0};   // entries found, or rows done

    // Sets all five to zero.
    void clear();
};

enum class job_end_e {
    done,     // went through to its end
    stopped,  // ended early because a stop was asked for
    failed,   // could not do its work; reason says why
};

struct job_outcome_s {
    job_end_e end = job_end_e::done;
    QString reason;        // one line when failed (or stopped with a cause); empty otherwise
    job_notes_t notes;     // what was skipped or went wrong without ending the job
};

class job_c : public QThread {
    Q_OBJECT
public:
    // task names the job in a failure's reason: "the scan", "the search".
    explicit job_c(const char* task, QObject* parent = nullptr);

    // Virtual so that a job whose engine keeps its own control block (the
    // deep scan) can answer from there.
    virtual double get_progress() const;
    virtual void set_progress(double progress);
    virtual void set_stop(int code);
    virtual int get_stop() const;
    virtual int get_pause() const;
    virtual void set_pause(int flag);
    virtual int64_t get_read_count() const;
    virtual int64_t get_found_count() const;

    // Asks a running job to end (keeping what it did) and wakes it if paused.
    void request_stop();
    // Whether a stop has been asked for and not yet cleared.
    bool stop_requested() const { return get_stop() != stop_run; }

    // How the last run ended. Safe to read at any time; final once the
    // thread has finished. A job that never ran reports done.
    job_outcome_s job_outcome() const;

protected:
    // The work, on the job's thread. An exception it lets out ends the job
    // as failed with its reason instead of ending the program.
    virtual void run_job() = 0;
    // Called on the job's thread after run_job let an exception out, to drop
    // what a half-done update left behind. Must not throw.
    virtual void after_failure() noexcept {}

    // What the next run calls itself in a failure's reason.
    void set_task(const char* task) { task_ = task; }
    // Ends the outcome as failed with reason (the first one given stays).
    void fail(const QString& reason);
    void note(job_note_s note);
    // For a job's loop: waits while paused (a stop wakes it) and answers
    // whether a stop has been asked for.
    bool stop_point();

    job_status_s status_;

private:
    void run() final;

    const char* task_;
    mutable QMutex outcome_mutex_;
    job_outcome_s outcome_;
};
