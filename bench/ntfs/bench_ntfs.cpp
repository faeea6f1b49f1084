// Times our NTFS scan and the recovery of every deleted file it shows against
// ntfsundelete and The Sleuth Kit on the same image, in one run, and prints
// the ratios (ours / theirs: below 1 means we are faster).
//
//   bench_ntfs IMAGE [PARTITION] [RUNS]
//
// For example, with an optimised build:
//   bench/ntfs/make_bench_image.sh /tmp/ntfs100k.img 100000
//   build/release/bin/bench_ntfs /tmp/ntfs100k.img
//
// Each timing is the best of RUNS runs (default 3), since the machine may be
// shared.
// The image is read once before timing so that every tool starts with it in
// the page cache; recovered files go to /dev/shm when it is there. Peers that
// are not installed are left out.
#include "platform/drive_table.h"
#include "platform/volumes.h"
#include "scan/ntfs/ntfs_recovery.h"
#include "scan/recover_rows.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <fstream>
#include <vector>

namespace {

// Runs a peer with its output thrown away. Returns seconds, or -1 when it
// is missing or fails.
int runs = 3;

double time_peer_once(const QString& program, const QStringList& args, const QString& output_file) {
    const QString path = QStandardPaths::findExecutable(program, {"/usr/bin", "/usr/sbin", "/sbin", "/bin"});
    if (path.isEmpty())
        return -1;
    QProcess p;
    p.setStandardOutputFile(output_file);
    p.setStandardErrorFile("/dev/null");
    QElapsedTimer t;
    t.start();
    p.start(path, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    return t.nsecsElapsed() / 1e9;
}

// The best of `runs` runs of a peer, each after `prepare`.
double time_peer(const QString& program, const QStringList& args, const std::function<void()>& prepare = {}) {
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        if (prepare)
            prepare();
        const double t = time_peer_once(program, args, "/dev/null");
        if (t < 0)
            return -1;
        best = best < 0 ? t : std::min(best, t);
    }
    return best;
}

// Empties a folder between runs.
void renew(const QString& dir) {
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
}

int count_files(const QString& dir) {
    int n = 0;
    QDir d(dir);
    for (const QFileInfo& fi : d.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (fi.isDir())
            n += count_files(fi.filePath());
        else
            ++n;
    }
    return n;
}

void warm_cache(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(1 << 22);
    while (in.read(buf.data(), std::streamsize(buf.size())) || in.gcount() > 0) {
    }
}

void ratio(const char* what, double ours, double theirs) {
    if (theirs <= 0)
        std::printf("%-44s  (peer not available)\n", what);
    else
        std::printf("%-44s  %.3f\n", what, ours / theirs);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_ntfs IMAGE [PARTITION]\n");
        return 2;
    }
    const std::string image = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath().toStdString();
    const int partition = argc > 2 ? std::atoi(argv[2]) : 0;
    if (argc > 3)
        runs = std::max(1, std::atoi(argv[3]));
    platform::set_block_devices_enabled(false);
    if (platform::open_disk_image(image) != 0) {
        std::fprintf(stderr, "bench_ntfs: cannot open %s\n", image.c_str());
        return 1;
    }
    platform::platform_volume_s v;
    if (!platform::find_volume(image + ":p" + std::to_string(partition), &v) || v.file_system != "NTFS") {
        std::fprintf(stderr, "bench_ntfs: %s:p%d is not an NTFS volume\n", image.c_str(), partition);
        return 1;
    }
    volume_item_s volume;
    volume.device_path = QString::fromStdString(v.device_path);
    volume.root_path = QString::fromStdString(v.root_path);
    volume.file_system = "NTFS";
    volume.disk_number = v.disk_number;
    volume.partition_number = v.partition_number;
    // The peers take a partition as an offset in sectors.
    const QString sectors = QString::number(v.start_bytes / 512);
    const QString img = QString::fromStdString(image);

    warm_cache(image);
    // Recovered files go to memory where it can be had: creating tens of
    // thousands of files on a disk file system measures that file system
    // (and what it deleted last) more than the tools.
    const QString base = QFileInfo("/dev/shm").isWritable() ? QStringLiteral("/dev/shm/bench_ntfs-XXXXXX")
                                                            : QDir::tempPath() + "/bench_ntfs-XXXXXX";
    QTemporaryDir work(base);

    // Our scan: the scanner thread from start to finish, tree linked.
    ntfs_recovery_c scanner;
    double our_scan = -1;
    QElapsedTimer t;
    for (int i = 0; i < runs; ++i) {
        t.restart();
        scanner.reset();
        scanner.set_volume(volume);
        scanner.start();
        scanner.wait();
        const double s = t.nsecsElapsed() / 1e9;
        our_scan = our_scan < 0 ? s : std::min(our_scan, s);
    }
    std::vector<recovery_row_s> rows;
    // Record numbers in front keep equal names in different folders apart.
    scanner.visit_shown_files([&](const ntfs_node_s& node, const QString&) {
        rows.push_back({node.number, QString::number(node.number) + '_' + node.name});
    });

    // Our recovery of every shown file.
    const QString ours_dir = work.filePath("ours");
    int64_t written = 0, failed = 0;
    double our_recover = -1;
    for (int i = 0; i < runs; ++i) {
        renew(ours_dir);
        written = failed = 0;
        t.restart();
        for (const auto& row : rows) {
            if (recover_row(scanner, row, ours_dir) == 0)
                ++written;
            else
                ++failed;
        }
        const double s = t.nsecsElapsed() / 1e9;
        our_recover = our_recover < 0 ? s : std::min(our_recover, s);
    }

    const QStringList offset = partition ? QStringList{"-o", sectors} : QStringList{};
    // ntfsundelete reads a whole device only, so it runs on unpartitioned images.
    const double undelete_scan = partition ? -1 : time_peer("ntfsundelete", {"--scan", "--force", img});
    const double fls = time_peer("fls", offset + QStringList{"-r", "-d", img});
    const QString tsk_dir = work.filePath("tsk");
    const double tsk = time_peer("tsk_recover", offset + QStringList{img, tsk_dir}, [&] { renew(tsk_dir); });
    const QString nu_dir = work.filePath("ntfsundelete");
    const double undelete_all =
        partition ? -1
                  : time_peer("ntfsundelete", {"--undelete", "--match", "*", "--force", "--quiet", "--destination", nu_dir, img},
                              [&] { renew(nu_dir); });

    std::printf("image %s, partition %d, best of %d runs\n", image.c_str(), partition, runs);
    std::printf("records read %lld, deleted files shown %zu, recovered %lld, failed %lld\n",
                static_cast<long long>(scanner.get_read_count()), rows.size(), static_cast<long long>(written),
                static_cast<long long>(failed));
    std::printf("%-44s  %8.3f s\n", "ours: scan", our_scan);
    std::printf("%-44s  %8.3f s\n", "ours: recover every shown file", our_recover);
    if (undelete_scan >= 0)
        std::printf("%-44s  %8.3f s\n", "ntfsundelete --scan", undelete_scan);
    if (fls >= 0)
        std::printf("%-44s  %8.3f s\n", "fls -r -d", fls);
    if (tsk >= 0)
        std::printf("%-44s  %8.3f s  (%d files)\n", "tsk_recover (deleted files)", tsk, count_files(tsk_dir));
    if (undelete_all >= 0)
        std::printf("%-44s  %8.3f s  (%d files)\n", "ntfsundelete --undelete --match '*'", undelete_all,
                    count_files(nu_dir));
    std::printf("ratios, ours / theirs (below 1: ours faster)\n");
    ratio("scan / ntfsundelete --scan", our_scan, undelete_scan);
    ratio("scan / fls -r -d", our_scan, fls);
    ratio("recover / tsk_recover", our_recover, tsk);
    ratio("scan + recover / fls + tsk_recover", our_scan + our_recover, fls > 0 && tsk > 0 ? fls + tsk : -1);
    ratio("recover / ntfsundelete --undelete", our_recover, undelete_all);
    return 0;
}
