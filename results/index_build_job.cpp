#include "results/index_build_job.h"

// The build as a job: its progress, its stop, and an exception (memory run
// out over a million rows) ending it as failed instead of the program.
class index_build_thread_c : public job_c {
public:
    index_build_thread_c(const recovery_base_c& scanner, row_flags_e reading)
        : job_c("the file list"), scanner_(scanner), reading_(reading)
    {
    }
    std::shared_ptr<result_index_c> index = std::make_shared<result_index_c>();
    bool built = false;

protected:
    void run_job() override { built = index->build(scanner_, reading_, this); }
    void after_failure() noexcept override
    {
        built = false;
        index.reset();
    }

private:
    const recovery_base_c& scanner_;
    const row_flags_e reading_;
};

index_build_job_c::index_build_job_c(QObject* parent) : QObject(parent) {}

index_build_job_c::~index_build_job_c() { stop(); }

void index_build_job_c::start(const recovery_base_c& scanner, row_flags_e reading, done_fn done)
{
    stop();
    auto* thread = new index_build_thread_c(scanner, reading);
    thread_ = thread;
    const uint64_t generation = ++generation_;
    // Queued to this object's thread. A build stopped meanwhile has a later
    // generation standing, and its thread was deleted by stop().
    connect(thread, &QThread::finished, this, [this, generation, done = std::move(done)] {
        if (generation != generation_ || !thread_)
            return;
        thread_->wait();
        const job_outcome_s outcome = thread_->job_outcome();
        std::shared_ptr<result_index_c> index = thread_->built ? thread_->index : nullptr;
        delete thread_;
        thread_ = nullptr;
        done(outcome.end == job_end_e::failed ? nullptr : std::move(index),
             outcome.end == job_end_e::failed ? outcome.reason : QString());
    });
    thread->start();
}

void index_build_job_c::stop()
{
    if (!thread_)
        return;
    thread_->set_stop(stop_abandon);
    thread_->wait();
    delete thread_;
    thread_ = nullptr;
    // A finished handler still queued is left with nothing to do.
    ++generation_;
}

double index_build_job_c::progress() const
{
    return thread_ ? thread_->get_progress() : 0.0;
}
