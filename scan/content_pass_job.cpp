#include "scan/content_pass_job.h"

#include "scan/content_pass.h"
#include "scan/recovery_base.h"

#include <algorithm>

content_pass_job_c::content_pass_job_c(QObject* parent) : job_c("the content check", parent) {}

content_pass_job_c::~content_pass_job_c() { stop(); }

void content_pass_job_c::start_on(recovery_base_c* scanner)
{
    stop();
    if (!scanner || scanner->content_left() == 0)
        return;
    scanner_ = scanner;
    status_.clear();
    start(QThread::LowPriority);
}

void content_pass_job_c::stop()
{
    request_stop();
    wait();
}

void content_pass_job_c::run_job()
{
    content_pass_budget_c pass;
    pass.load();
    // A stop ends the file being judged too, so that Back or closing the
    // page does not wait out its share of the time.
    pass.budget()->stop = &status_.stop;
    const int64_t total = std::max<int64_t>(scanner_->content_total(), 1);
    while (!stop_point() && pass.next_file() && scanner_->check_next_content(pass.budget())) {
        const int64_t done = total - scanner_->content_left();
        status_.found_count.store(done, std::memory_order_relaxed);
        set_progress(double(done) / double(total));
    }
}
