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
#include "bench/common/bench_support.h"
#include "bench/common/image_volume.h"
#include "scan/ntfs/ntfs_recovery.h"
#include "scan/recover_rows.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

int runs = 3;

// The best of `runs` runs of a peer, each after `prepare`. A non-zero exit
// code still counts as a run; what the peer wrote is counted afterwards.
double time_peer(const QString& program, const QStringList& args, const std::function<void()>& prepare = {}) {
    return bench::best_of(
        runs, [&] { return bench::time_peer(program, args, "/dev/null", bench::peer_exit::any); }, prepare);
}

// Empties a folder between runs.
void renew(const QString& dir) {
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
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
    platform::platform_volume_s v;
    volume_item_s volume;
    if (!bench::open_image_volume("bench_ntfs", image, partition, "NTFS", &v, &volume))
        return 1;
    volume.disk_number = v.disk_number;
    volume.partition_number = v.partition_number;
    // The peers take a partition as an offset in sectors.
    const QString sectors = QString::number(v.start_bytes / 512);
    const QString img = QString::fromStdString(image);

    bench::warm_cache(image);
    QTemporaryDir work(bench::scratch_folder() + "/bench_ntfs-XXXXXX");

    // Our scan: the scanner thread from start to finish, tree linked.
    ntfs_recovery_c scanner;
    QElapsedTimer t;
    const double our_scan = bench::best_of(runs, [&] {
        t.restart();
        scanner.reset();
        scanner.set_volume(volume);
        scanner.start();
        scanner.wait();
        return t.nsecsElapsed() / 1e9;
    });
    std::vector<recovery_row_s> rows;
    // Record numbers in front keep equal names in different folders apart.
    scanner.visit_shown_files([&](const ntfs_node_s& node, const QString&) {
        rows.push_back({node.number, QString::number(node.number) + '_' + node.name});
    });

    // Our recovery of every shown file.
    const QString ours_dir = work.filePath("ours");
    int64_t written = 0, failed = 0;
    const double our_recover = bench::best_of(
        runs,
        [&] {
            written = failed = 0;
            t.restart();
            for (const auto& row : rows) {
                if (recover_row(scanner, row, ours_dir) == 0)
                    ++written;
                else
                    ++failed;
            }
            return t.nsecsElapsed() / 1e9;
        },
        [&] { renew(ours_dir); });

    // What copying the same files costs where they already lie in memory:
    // the floor for the recovery.
    const QString cp_dir = work.filePath("cp");
    const double copy = time_peer("cp", {"-r", ours_dir, cp_dir}, [&] { QDir(cp_dir).removeRecursively(); });

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
    if (copy >= 0)
        std::printf("%-44s  %8.3f s\n", "cp -r of the files ours wrote", copy);
    if (undelete_scan >= 0)
        std::printf("%-44s  %8.3f s\n", "ntfsundelete --scan", undelete_scan);
    if (fls >= 0)
        std::printf("%-44s  %8.3f s\n", "fls -r -d", fls);
    if (tsk >= 0)
        std::printf("%-44s  %8.3f s  (%d files)\n", "tsk_recover (deleted files)", tsk, bench::count_files(tsk_dir));
    if (undelete_all >= 0)
        std::printf("%-44s  %8.3f s  (%d files)\n", "ntfsundelete --undelete --match '*'", undelete_all,
                    bench::count_files(nu_dir));
    std::printf("ratios, ours / theirs (below 1: ours faster)\n");
    ratio("scan / ntfsundelete --scan", our_scan, undelete_scan);
    ratio("scan / fls -r -d", our_scan, fls);
    ratio("recover / tsk_recover", our_recover, tsk);
    ratio("recover / cp -r", our_recover, copy);
    ratio("scan + recover / fls + tsk_recover", our_scan + our_recover, fls > 0 && tsk > 0 ? fls + tsk : -1);
    ratio("recover / ntfsundelete --undelete", our_recover, undelete_all);
    return 0;
}
