#include "imaging/image_job.h"

#include <QFile>

image_job_c::image_job_c(QObject* parent) : job_c("the imaging", parent) {}

image_job_c::~image_job_c()
{
    request_stop();
    wait();
}

QString image_job_c::prepare(const QString& source, const QString& dest, const QString& map,
                             const imaging::imaging_options_s& options)
{
    auto imager = std::make_unique<imaging::imager_c>();
    const std::string why = imager->open(QFile::encodeName(source).toStdString(), QFile::encodeName(dest).toStdString(),
                                         QFile::encodeName(map).toStdString(), options);
    if (!why.empty())
        return QString::fromStdString(why);
    imager_ = std::move(imager);
    return {};
}

imaging::imaging_progress_s image_job_c::imaging_progress() const
{
    return imager_ ? imager_->progress() : imaging::imaging_progress_s{};
}

double image_job_c::get_progress() const
{
    const imaging::imaging_progress_s p = imaging_progress();
    if (p.size == 0)
        return 0;
    return static_cast<double>(p.size - p.untried - p.pending) / static_cast<double>(p.size);
}

bool image_job_c::finished() const { return imaging_progress().phase == imaging::phase_e::finished; }

QString image_job_c::dest_path() const
{
    return imager_ ? QFile::decodeName(imager_->dest_path().c_str()) : QString();
}

QString image_job_c::map_path() const
{
    return imager_ ? QFile::decodeName(imager_->map_path().c_str()) : QString();
}

void image_job_c::run_job()
{
    if (!imager_) {
        fail(QStringLiteral("nothing to image"));
        return;
    }
    set_stop(stop_run);
    const std::string why = imager_->run([this] { return stop_point(); });
    if (!why.empty())
        fail(QString::fromStdString(why));
}
