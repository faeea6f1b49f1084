// Builds the result index of a finished scan on a thread of its own, so a
// million rows never hold the window still. One build at a time: starting
// another, or stopping, ends the one running first (it is told to stop and
// waited for; it reads the scanner's store, which may go once it returns).
#pragma once

#include "results/result_index.h"

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class index_build_thread_c;

class index_build_job_c : public QObject {
public:
    // The built index (null when the store has no top folder, or the build
    // failed and failure says why), handed over on the thread that started
    // the build.
    using done_fn = std::function<void(std::shared_ptr<result_index_c> index, const QString& failure)>;

    explicit index_build_job_c(QObject* parent = nullptr);
    ~index_build_job_c() override;

    // The scanner's thread must have finished; its store is read until done
    // is called or stop() returns.
    void start(const recovery_base_c& scanner, row_flags_e reading, done_fn done);
    // Ends a running build and drops its result; done is not called.
    void stop();
    bool running() const { return thread_ != nullptr; }
    // How far the running build is, 0 to 1.
    double progress() const;

private:
    index_build_thread_c* thread_ = nullptr;
    uint64_t generation_ = 0;
};
