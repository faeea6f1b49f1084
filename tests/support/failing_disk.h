// Starts and stops quarvel_failing_disk (tests/support/failing_disk_fuse.cpp)
// from a test: a disk image served through FUSE as one file whose chosen
// sectors fail with EIO and whose chosen range reads slowly.
//
//   QUARVEL_FAILING_DISK_OR_SKIP();
//   test_support::failing_disk_c disk;
//   QVERIFY2(disk.start(image, {"--bad", "4100,9000-9007"}), qPrintable(disk.error()));
//   ... read disk.path() as the failing disk ...
//
// The mount ends when the object goes (or at stop()).
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

namespace test_support {

class failing_disk_c {
public:
    failing_disk_c() = default;
    ~failing_disk_c();
    failing_disk_c(const failing_disk_c&) = delete;
    failing_disk_c& operator=(const failing_disk_c&) = delete;

    // Why a failing disk cannot be served on this machine (no /dev/fuse, no
    // fusermount3, the tool not built), or empty when it can.
    static QString unavailable();

    // Serves image at path() (image + ".failing" unless mount_file is given),
    // with the tool's options (--bad, --slow, --sector-size). Returns false
    // with the reason in error(); skip() then tells whether the machine
    // refused the mount (a reason to skip rather than to fail).
    bool start(const QString& image, const QStringList& options, const QString& mount_file = {});
    // Unmounts and removes the mount file; true when the tool ended cleanly.
    bool stop();

    const QString& path() const { return path_; }
    const QString& error() const { return error_; }
    bool skip() const { return skip_; }

private:
    std::unique_ptr<QProcess> tool_;
    QString path_;
    QString error_;
    bool skip_ = false;
};

}  // namespace test_support

// Inside a Qt Test function: skip, with the reason, where FUSE is missing.
#define QUARVEL_FAILING_DISK_OR_SKIP()                                            \
    do {                                                                          \
        const QString quarvel_why_ = ::test_support::failing_disk_c::unavailable(); \
        if (!quarvel_why_.isEmpty())                                              \
            QSKIP(qPrintable(quarvel_why_));                                      \
    } while (0)

// Starts var on image with options; skips where the machine refuses the
// mount, fails on any other trouble.
#define QUARVEL_START_FAILING_DISK(var, image, ...)                               \
    do {                                                                          \
        if (!(var).start(image, __VA_ARGS__)) {                                   \
            if ((var).skip())                                                     \
                QSKIP(qPrintable((var).error()));                                 \
            QFAIL(qPrintable((var).error()));                                     \
        }                                                                         \
    } while (0)
