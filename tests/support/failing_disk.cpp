#include "support/failing_disk.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <unistd.h>

namespace test_support {

namespace {

constexpr int ready_ms = 30000;  // a busy machine may take a while to start it
constexpr int tool_cannot_mount = 77;

QString tool_path()
{
    const QString set = qEnvironmentVariable("QUARVEL_FAILING_DISK");
    return !set.isEmpty() ? set : QStringLiteral(QUARVEL_FAILING_DISK_TOOL);
}

QString fusermount() { return QStandardPaths::findExecutable("fusermount3"); }

}  // namespace

failing_disk_c::~failing_disk_c() { stop(); }

QString failing_disk_c::unavailable()
{
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return "skip: /dev/fuse is missing or not usable here";
    if (fusermount().isEmpty())
        return "skip: fusermount3 is not installed (apt-get install fuse3)";
    const QString tool = tool_path();
    if (tool.isEmpty() || !QFileInfo(tool).isExecutable())
        return "skip: quarvel_failing_disk was not built (libfuse3-dev missing when CMake ran)";
    return {};
}

bool failing_disk_c::start(const QString& image, const QStringList& options, const QString& mount_file)
{
    stop();
    error_.clear();
    skip_ = false;
    if (const QString why = unavailable(); !why.isEmpty()) {
        error_ = why;
        skip_ = true;
        return false;
    }
    path_ = mount_file.isEmpty() ? image + ".failing" : mount_file;
    QFile mount_point(path_);
    if (!mount_point.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error_ = "cannot make the mount file " + path_;
        return false;
    }
    mount_point.close();

    tool_ = std::make_unique<QProcess>();
    tool_->setProcessChannelMode(QProcess::SeparateChannels);
    tool_->start(tool_path(), QStringList(options) << image << path_);
    QByteArray said;
    while (!said.contains("ready\n") && tool_->state() != QProcess::NotRunning) {
        if (!tool_->waitForReadyRead(ready_ms) && tool_->state() == QProcess::Running)
            break;
        said += tool_->readAllStandardOutput();
    }
    if (said.contains("ready\n"))
        return true;

    tool_->waitForFinished(2000);
    const QString err = QString::fromLocal8Bit(tool_->readAllStandardError()).trimmed();
    skip_ = tool_->exitStatus() == QProcess::NormalExit && tool_->exitCode() == tool_cannot_mount;
    error_ = (skip_ ? "skip: FUSE refused the mount here: " : "quarvel_failing_disk did not start: ") + err;
    stop();
    return false;
}

bool failing_disk_c::stop()
{
    bool clean = true;
    if (tool_) {
        if (tool_->state() != QProcess::NotRunning) {
            tool_->terminate();  // the tool unmounts on SIGTERM
            if (!tool_->waitForFinished(20000)) {
                tool_->kill();
                tool_->waitForFinished(5000);
                clean = false;
            }
        }
        clean = clean && tool_->exitStatus() == QProcess::NormalExit && tool_->exitCode() == 0;
        tool_.reset();
        // A tool that died leaves the mount behind; a lazy unmount lets the
        // file go even while a reader still has it open.
        if (!clean)
            QProcess::execute(fusermount(), {"-u", "-z", "-q", path_});
    }
    if (!path_.isEmpty())
        QFile::remove(path_);
    path_.clear();
    return clean;
}

}  // namespace test_support
