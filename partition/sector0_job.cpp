#include "partition/sector0_job.h"

#include "partition/sector0_backup.h"

sector0_job_c::sector0_job_c(QObject* parent) : job_c("the repair", parent) {}

// A write of sector 0 is never cut short: the window waits for it.
sector0_job_c::~sector0_job_c() { wait(); }

bool sector0_job_c::start_repair(const partition::table_request_s& request)
{
    if (isRunning())
        return false;
    request_ = request;
    restore_ = false;
    set_task("the repair");
    return start_job();
}

bool sector0_job_c::start_restore(const std::string& device_path, const std::string& backup_path, bool force)
{
    if (isRunning())
        return false;
    request_ = {};
    request_.device_path = device_path;
    backup_path_ = backup_path;
    restore_ = true;
    force_ = force;
    set_task("putting sector 0 back");
    return start_job();
}

bool sector0_job_c::start_job()
{
    outcome_ = {};
    start();
    if (isRunning() || isFinished())
        return true;
    // No thread to be had (memory exhausted): nothing was written, and no
    // finished() will come.
    outcome_.reason = "cannot start the job (the system refused a new thread: out of memory?)";
    return false;
}

void sector0_job_c::after_failure() noexcept
{
    outcome_.result = -1;
    outcome_.status = partition::repair_status::failed;
    try {
        outcome_.reason = job_outcome().reason.toStdString();
    } catch (...) {
        // The status says failed all the same.
    }
}

void sector0_job_c::run_job()
{
    if (!restore_) {
        outcome_ = partition::write_table(request_);
        if (outcome_.result != 0)
            fail(QString::fromStdString(outcome_.reason));
        return;
    }
    partition::repair_outcome_s out;
    std::string replaced;
    bool other_disk = false;
    if (partition::restore_sector0(request_.device_path, backup_path_, &replaced, &out.reason, &out.note, force_,
                                   &other_disk, &out.sectors_restored) == 0) {
        out.result = 0;
        out.status = partition::repair_status::written;
        out.reason.clear();
    } else if (other_disk) {
        out.status = partition::repair_status::other_disk;
    }
    out.backup_path = replaced;
    outcome_ = out;
    if (outcome_.result != 0)
        fail(QString::fromStdString(outcome_.reason));
}
