// A write of sector 0 (the repair, or putting a backup back) on a thread of
// its own, so the window stays responsive while the disk is flushed and the
// kernel re-reads the table. One job at a time; finished() tells the end.
#pragma once

#include "jobs/job.h"
#include "partition/table_writer.h"

class sector0_job_c : public job_c {
    Q_OBJECT
public:
    explicit sector0_job_c(QObject* parent = nullptr);
    ~sector0_job_c() override;

    // Start the repair described by request. Returns false (and starts
    // nothing) while a job runs, or when no thread could be had (then
    // outcome() says so).
    bool start_repair(const partition::table_request_s& request);
    // Start putting backup_path back onto sector 0 of device_path; the
    // outcome's backup_path is where the replaced sector was saved. Without
    // force, a backup of another disk ends the job with status other_disk
    // and nothing written.
    bool start_restore(const std::string& device_path, const std::string& backup_path, bool force = false);

    // The last job's outcome in full; read it after finished(). A job that
    // did not write also fails with the same reason in job_outcome().
    const partition::repair_outcome_s& outcome() const { return outcome_; }
    bool is_restore() const { return restore_; }
    // The last restore's disk and backup.
    const std::string& restore_device() const { return request_.device_path; }
    const std::string& restore_backup() const { return backup_path_; }

protected:
    void run_job() override;
    // The sector may or may not have been written: the outcome says it
    // failed, and the backup saved before any write stays where it is.
    void after_failure() noexcept override;

private:
    bool start_job();

    partition::table_request_s request_;
    std::string backup_path_;
    bool restore_ = false;
    bool force_ = false;
    partition::repair_outcome_s outcome_;
};
