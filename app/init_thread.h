// The start-up thread: reads the device lists and starts the disk layer while
// the window is already on screen.
#pragma once

#include "jobs/job.h"

class init_c : public job_c {
    Q_OBJECT
public:
    explicit init_c(QObject* parent = nullptr) : job_c("reading the drives", parent) {}

signals:
    // Emitted once, after startup_done is set; the lists are then complete
    // (or, when reading them failed, as far as they got).
    void init_finished();

protected:
    // A failure to read the lists is the job's failure, but the window is
    // still told the start-up has ended.
    void run_job() override;
};
