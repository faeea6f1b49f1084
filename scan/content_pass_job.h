// The check of deleted files by their content as a pass of its own, run
// after the listing is shown: it judges the files a scanner left waiting,
// one at a time, until none is left, the pass's time is spent or it is
// stopped. The verdicts go to the scanner's queue, where the window takes
// them as they come.
#pragma once

#include "jobs/job.h"

class recovery_base_c;

class content_pass_job_c : public job_c {
    Q_OBJECT
public:
    explicit content_pass_job_c(QObject* parent = nullptr);
    // Stops a running pass and waits for it.
    ~content_pass_job_c() override;

    // Starts a pass over what scanner has waiting; nothing when nothing
    // waits. The scanner must outlive the pass (stop() first).
    void start_on(recovery_base_c* scanner);
    // Asks the pass to end and waits for the file being judged.
    void stop();

protected:
    void run_job() override;

private:
    recovery_base_c* scanner_ = nullptr;
};
