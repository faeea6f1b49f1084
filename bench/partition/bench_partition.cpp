// Times the partition search on one disk image against TestDisk's
// "analyze,search" and a plain sequential read (dd), in one run, and prints
// the ratios. Our search reads every sector of the disk once; TestDisk's
// quick search reads only sectors at the places partitions usually start, so
// it may read far less than the whole image. Without an image it builds a
// 4 GiB sparse image with three volumes (mkfs.fat, mkntfs) and a zeroed first
// sector.
//
//   bench_partition [--uncached] [--runs N] [IMAGE]
//
// The read and our search run N times in turn (default 5) and the fastest of
// each is compared. --uncached drops the image's pages from the page cache
// before every timed run (posix_fadvise, no root needed); for a block device
// that takes root (BLKFLSBUF), and the drop is said to have failed otherwise.
#include "partition/partition_repair.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QString tool(const QString& name)
{
    return QStandardPaths::findExecutable(name, {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin",
                                                 "/sbin", "/bin"});
}

bool run(const QString& program, const QStringList& args, const QString& cwd = {})
{
    QProcess p;
    p.setWorkingDirectory(cwd);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForStarted() && p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit &&
           p.exitCode() == 0;
}

bool place(const QString& disk, qint64 sector, const QString& volume)
{
    QFile in(volume), out(disk);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::ReadWrite) || !out.seek(sector * 512))
        return false;
    const QByteArray data = in.readAll();
    return out.write(data) == data.size();
}

// Builds the default image in dir; returns its path or an empty string.
QString build_image(const QString& dir)
{
    const QString mkfs_fat = tool("mkfs.fat"), mkntfs = tool("mkntfs");
    if (mkfs_fat.isEmpty() || mkntfs.isEmpty()) {
        std::fprintf(stderr, "bench_partition: mkfs.fat and mkntfs are needed to build the image\n");
        return {};
    }
    const QString fat = dir + "/fat.img", ntfs = dir + "/ntfs.img", disk = dir + "/disk.img";
    QFile f(fat), n(ntfs), d(disk);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(64 << 20) || !n.open(QIODevice::WriteOnly) ||
        !n.resize(64 << 20) || !d.open(QIODevice::WriteOnly) || !d.resize(qint64(4) << 30))
        return {};
    f.close();
    n.close();
    d.close();
    if (!run(mkfs_fat, {"-F", "32", fat}) || !run(mkntfs, {"-q", "-F", "-f", "-s", "512", ntfs}))
        return {};
    if (!place(disk, 2048, fat) || !place(disk, 3000000, ntfs) || !place(disk, 7000000, ntfs))
        return {};
    return disk;
}

double seconds(const QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e9; }

// CPU seconds (user + system) of this process, or of its waited-for children.
double cpu_seconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Drops the cached pages of an image file (or, as root, of a block device).
bool drop_cache(const QString& image)
{
    const int fd = ::open(QFile::encodeName(image).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool done = ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0 && (::ioctl(fd, BLKFLSBUF, 0) == 0 ||
                                                                            errno == ENOTTY || errno == EINVAL);
    ::close(fd);
    return done;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool uncached = args.removeAll("--uncached") > 0;
    int runs = 5;
    if (const qsizetype at = args.indexOf("--runs"); at >= 0 && at + 1 < args.size()) {
        runs = std::max(1, args.at(at + 1).toInt());
        args.remove(at, 2);
    }
    QTemporaryDir work;
    // Absolute, since TestDisk runs in the work folder.
    QString image = !args.isEmpty() ? QFileInfo(args.first()).absoluteFilePath() : build_image(work.path());
    if (image.isEmpty() || !QFile::exists(image)) {
        std::fprintf(stderr, "bench_partition: no image\n");
        return 1;
    }
    const qint64 bytes = QFile(image).size();
    std::printf("image %s, %.2f GiB\n", qPrintable(image), double(bytes) / double(1 << 30));

    const QString dd = tool("dd");
    if (!uncached)
        run(dd, {"if=" + image, "of=/dev/null", "bs=1M"});  // the same cache state for all three
    bool dropped = true;

    drive_item_s drive;
    drive.device_path = image;
    drive.size_bytes = uint64_t(bytes);
    partition_repair_c search;
    QElapsedTimer timer;
    // Wall-clock and CPU time, each the best of the runs; on a shared machine
    // the CPU time is the steadier of the two.
    double dd_s = 1e30, ours_s = 1e30, dd_cpu = 1e30, ours_cpu = 1e30;
    for (int r = 0; r < runs; ++r) {
        if (uncached)
            dropped = drop_cache(image) && dropped;
        double cpu = cpu_seconds(RUSAGE_CHILDREN);
        timer.start();
        run(dd, {"if=" + image, "of=/dev/null", "bs=128K"});
        dd_s = std::min(dd_s, seconds(timer));
        dd_cpu = std::min(dd_cpu, cpu_seconds(RUSAGE_CHILDREN) - cpu);

        if (uncached)
            dropped = drop_cache(image) && dropped;
        cpu = cpu_seconds(RUSAGE_SELF);
        timer.restart();
        search.start_search(&drive);
        search.wait();
        ours_s = std::min(ours_s, seconds(timer));
        ours_cpu = std::min(ours_cpu, cpu_seconds(RUSAGE_SELF) - cpu);
    }
    for (const auto& p : search.partitions())
        std::printf("  found %-5s %12llu .. %llu\n", qPrintable(p.file_system),
                    static_cast<unsigned long long>(p.start_sector), static_cast<unsigned long long>(p.end_sector));

    std::printf("page cache:              %s, best of %d runs\n",
                !uncached ? "warm" : dropped ? "dropped before each run" : "drop FAILED (needs root for a device)", runs);
    std::printf("plain read (dd bs=128K): %8.3f s   cpu %.3f s\n", dd_s, dd_cpu);
    std::printf("our search:              %8.3f s   cpu %.3f s   %.2fx the plain read (cpu %.2fx)\n", ours_s,
                ours_cpu, ours_s / dd_s, ours_cpu / std::max(dd_cpu, 1e-6));
    const QString testdisk = tool("testdisk");
    if (testdisk.isEmpty()) {
        std::printf("testdisk:                not installed (apt-get install testdisk)\n");
        return 0;
    }
    if (uncached)
        drop_cache(image);
    timer.restart();
    const bool ok = run(testdisk, {"/cmd", image, "partition_i386,analyze,search"}, work.path());
    const double peer_s = seconds(timer);
    std::printf("testdisk analyze,search: %8.3f s%s   ours takes %.2fx its time\n", peer_s, ok ? "" : " (failed)",
                ours_s / peer_s);
    return 0;
}
