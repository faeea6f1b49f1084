// Saving an image of a disk on the job shape the window drives: progress,
// pause, stop, and a run that continues where the last one stopped.
#pragma once

#include "imaging/imager.h"
#include "jobs/job.h"

#include <QString>
#include <memory>

class image_job_c : public job_c {
    Q_OBJECT
public:
    explicit image_job_c(QObject* parent = nullptr);
    ~image_job_c() override;

    // On the calling thread, before start(): opens the source and the
    // destination and reads a map already there. Returns an empty string or
    // one line saying why the image cannot be saved. A job that was stopped
    // is started again without a new prepare() and goes on where it was.
    QString prepare(const QString& source, const QString& dest, const QString& map,
                    const imaging::imaging_options_s& options = {});

    imaging::imaging_progress_s imaging_progress() const;
    // The share of the disk that is settled (rescued, or known unreadable).
    double get_progress() const override;
    // Whether the last run got to the end of every phase.
    bool finished() const;
    QString dest_path() const;
    QString map_path() const;

protected:
    void run_job() override;

private:
    std::unique_ptr<imaging::imager_c> imager_;
};
