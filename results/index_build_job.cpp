#include "results/index_build_job.h"

#include <QThread>

index_build_job_c::index_build_job_c(QObject* parent) : QObject(parent) {}

index_build_job_c::~index_build_job_c() { stop(); }

void index_build_job_c::start(const recovery_base_c& scanner, row_flags_e reading, done_fn done)
{
    stop();
    auto control = std::make_shared<result_index_c::build_control_s>();
    auto index = std::make_shared<result_index_c>();
    auto built = std::make_shared<bool>(false);
    QThread* thread = QThread::create([&scanner, reading, control, index, built] {
        *built = index->build(scanner, reading, control.get());
    });
    thread->setObjectName(QStringLiteral("index build"));
    control_ = control;
    thread_ = thread;
    const uint64_t generation = ++generation_;
    // Queued to this object's thread. A build stopped meanwhile has a later
    // generation standing, and its thread was deleted by stop().
    connect(thread, &QThread::finished, this, [this, generation, index, built, done = std::move(done)] {
        if (generation != generation_ || !thread_)
            return;
        thread_->wait();
        delete thread_;
        thread_ = nullptr;
        control_.reset();
        done(*built ? index : nullptr);
    });
    thread->start();
}

void index_build_job_c::stop()
{
    if (!thread_)
        return;
    control_->stop.store(true);
    thread_->wait();
    delete thread_;
    thread_ = nullptr;
    control_.reset();
    // A finished handler still queued is left with nothing to do.
    ++generation_;
}

double index_build_job_c::progress() const
{
    return control_ ? control_->progress.load(std::memory_order_relaxed) : 0.0;
}
