// Times our FAT scan plus the recovery of every deleted file it shows against
// The Sleuth Kit (fls -r -d, then tsk_recover) on the same image, in one run,
// and prints the ratio (ours / theirs: below 1 means we are faster).
//
//   bench_fat IMAGE [PARTITION]
//
// The image is read once before timing so that every tool starts with it in
// the page cache; recovered files go to /dev/shm when it is there. Make an
// image with make_bench_image.sh.
#include "bench/common/bench_support.h"
#include "bench/common/image_volume.h"
#include "scan/content_pass.h"
#include "scan/fat/fat_recovery.h"
#include "scan/recover_rows.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_fat IMAGE [PARTITION]\n");
        return 2;
    }
    const std::string image = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath().toStdString();
    const int partition = argc > 2 ? std::atoi(argv[2]) : 0;
    const std::string volume_path = image + ":p" + std::to_string(partition);
    platform::platform_volume_s pv;
    volume_item_s volume;
    if (!bench::open_image_volume("bench_fat", image, partition, "", &pv, &volume))
        return 1;
    const QString offset_sectors = QString::number(pv.start_bytes / 512);

    const QString scratch = bench::scratch_folder();
    QTemporaryDir ours_dir(scratch + "/bench-fat-ours-XXXXXX");
    QTemporaryDir theirs_dir(scratch + "/bench-fat-tsk-XXXXXX");
    bench::warm_cache(image);

    QElapsedTimer t;
    // Ours: scan, then copy out every row the result tree shows.
    t.start();
    fat_recovery_c scanner;
    scanner.set_volume(volume);
    std::string open_error;
    scanner.set_source(volume.device_path,
                       platform::open_byte_source(QFile::encodeName(volume.device_path).toStdString(), &open_error));
    scanner.start();
    scanner.wait();
    const double scan_seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
    std::vector<recovery_row_s> rows;
    scanner.visit_shown_files([&](const fat_node_s& n, const QString&) { rows.push_back({n.cluster, n.name}); });
    // Rows go to one folder; same names would replace each other, so give
    // each its id as a prefix for the count to be fair.
    for (auto& r : rows)
        r.name = QString::number(r.id) + "-" + r.name;
    const auto tally = recover_rows(scanner, rows, ours_dir.path());
    const double ours = static_cast<double>(t.nsecsElapsed()) / 1e9;
    // The listing alone, without the check of deleted files by content,
    // best of three (after ours, so the image is as warm for it).
    double listing_seconds = 1e9;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer lt;
        lt.start();
        fat_recovery_c listing_only;
        listing_only.set_volume(volume);
        listing_only.set_content_check(false);
        listing_only.start();
        listing_only.wait();
        listing_seconds = std::min(listing_seconds, static_cast<double>(lt.nsecsElapsed()) / 1e9);
    }
    // What copying the same files costs where they already lie in memory:
    // the floor for the recovery's part.
    const double copy = bench::time_peer("cp", {"-r", ours_dir.path(), theirs_dir.filePath("cp")});

    // The Sleuth Kit: list deleted entries, then recover the unallocated files.
    const QString listing = theirs_dir.filePath("fls.txt");
    const double fls = bench::time_peer("fls", {"-r", "-d", "-o", offset_sectors, QString::fromStdString(image)}, listing);
    const double tsk = bench::time_peer("tsk_recover", {"-o", offset_sectors, QString::fromStdString(image),
                                                  theirs_dir.filePath("out")});

    std::printf("image            %s (volume %s)\n", image.c_str(), volume_path.c_str());
    std::printf("ours             %.3f s  (scan %.3f s; %lld entries read, %zu files shown, %lld written, %lld failed)\n",
                ours, scan_seconds, static_cast<long long>(scanner.get_read_count()), rows.size(),
                static_cast<long long>(tally.written), static_cast<long long>(tally.failed));
    std::printf("cp -r            %.3f s  of the same files; ours without the scan %.3f s, %.2f x cp -r\n", copy,
                ours - scan_seconds, copy > 0 ? (ours - scan_seconds) / copy : -1.0);
    int64_t verified = 0, rebuilt = 0, damaged = 0;
    scanner.visit_shown_files([&](const fat_node_s& n, const QString&) {
        verified += (n.trust & row_content_verified) != 0;
        rebuilt += (n.trust & row_content_rebuilt) != 0;
        damaged += (n.trust & row_content_damaged) != 0;
    });
    std::printf("content check    %.3f s over a listing of %.3f s (%lld verified, %lld put back together, %lld damaged)\n",
                scan_seconds - listing_seconds, listing_seconds, static_cast<long long>(verified),
                static_cast<long long>(rebuilt), static_cast<long long>(damaged));
    std::printf("ours memory      %zu nodes in the store; peak resident %ld MiB for the whole process\n",
                scanner.store().size(), bench::peak_rss_kib() / 1024);
    if (fls < 0 || tsk < 0) {
        std::printf("The Sleuth Kit   not installed or failed (apt-get install sleuthkit)\n");
        return 0;
    }
    const double theirs = fls + tsk;
    std::printf("fls + tsk_recover %.3f s  (fls %.3f s, %d deleted entries; tsk_recover %.3f s, %d files)\n", theirs,
                fls, bench::count_lines(listing), tsk, bench::count_files(theirs_dir.filePath("out")));
    const QStringList ours_hashes = bench::hashes_under(ours_dir.path());
    const QStringList theirs_hashes = bench::hashes_under(theirs_dir.filePath("out"));
    std::printf("same contents    %s (%lld ours, %lld theirs)\n", ours_hashes == theirs_hashes ? "yes" : "no",
                static_cast<long long>(ours_hashes.size()), static_cast<long long>(theirs_hashes.size()));
    std::printf("ratio ours/theirs %.3f  (aim: at most 0.5)\n", ours / theirs);
    return 0;
}
