// Times our exFAT scan plus the recovery of every deleted file it shows
// against The Sleuth Kit (fls -r -d, then tsk_recover) on the same image, in
// one run, and prints the ratio (ours / theirs: below 1 means we are faster).
// Then checks every deleted file listed in IMAGE.deleted (made by
// make_bench_image.sh) against what we wrote: named, in its folder, byte-exact.
//
//   bench_exfat IMAGE
//
// The image is read once before timing so that every tool starts with it in
// the page cache; recovered files go to /dev/shm when it is there.
#include "bench/common/bench_support.h"
#include "bench/common/image_volume.h"
#include "scan/exfat/exfat_recovery.h"
#include "scan/recover_rows.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <map>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_exfat IMAGE\n");
        return 2;
    }
    const std::string image = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath().toStdString();
    platform::platform_volume_s pv;
    volume_item_s volume;
    if (!bench::open_image_volume("bench_exfat", image, 0, "exFAT", &pv, &volume))
        return 1;

    const QString scratch = bench::scratch_folder();
    QTemporaryDir ours_dir(scratch + "/bench-exfat-ours-XXXXXX");
    QTemporaryDir theirs_dir(scratch + "/bench-exfat-tsk-XXXXXX");
    bench::warm_cache(image);

    // Ours: scan, then copy out every row the result tree shows.
    QElapsedTimer t;
    t.start();
    exfat_recovery_c scanner;
    scanner.set_volume(volume);
    scanner.start();
    scanner.wait();
    const double scan_seconds = static_cast<double>(t.nsecsElapsed()) / 1e9;
    struct shown_s {
        recovery_row_s row;
        QString path;  // folder/name
        QString written;
    };
    std::vector<shown_s> shown;
    scanner.visit_shown_files([&](const exfat_node_s& n, const QString& folder) {
        shown_s s;
        s.row.id = n.id;
        s.row.name = n.name;
        s.path = (folder == "/" ? QString() : folder.mid(1) + "/") + n.name;
        shown.push_back(s);
    });
    int64_t written = 0, failed = 0;
    for (shown_s& s : shown)
        (recover_row(scanner, s.row, ours_dir.path(), &s.written) == 0 ? written : failed) += 1;
    const double ours = static_cast<double>(t.nsecsElapsed()) / 1e9;
    const long ours_rss = bench::peak_rss_kib();
    // What copying the same files costs where they already lie in memory:
    // the floor for the recovery's part.
    const double copy = bench::time_peer("cp", {"-r", ours_dir.path(), theirs_dir.filePath("cp")});

    const QString listing = theirs_dir.filePath("fls.txt");
    const double fls = bench::time_peer("fls", {"-r", "-d", "-f", "exfat", QString::fromStdString(image)}, listing);
    const double tsk = bench::time_peer("tsk_recover", {"-f", "exfat", QString::fromStdString(image), theirs_dir.filePath("out")});

    // Every deleted file by its path, byte-exact.
    std::map<QString, QString> ours_by_path;
    for (const shown_s& s : shown)
        ours_by_path[s.path] = s.written;
    int expected = 0, named = 0, exact = 0;
    QFile manifest(QString::fromStdString(image) + ".deleted");
    if (manifest.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : manifest.readAll().split('\n')) {
            const QList<QByteArray> f = line.split('\t');
            if (f.size() != 2)
                continue;
            ++expected;
            const auto it = ours_by_path.find(QString::fromUtf8(f[0]));
            if (it == ours_by_path.end())
                continue;
            ++named;
            exact += bench::sha256_of(it->second) == QString::fromLatin1(f[1]) ? 1 : 0;
        }
    }

    std::printf("image             %s\n", image.c_str());
    std::printf("ours              %.3f s  (scan %.3f s; %lld entry sets read, %zu files shown, %lld written, %lld failed)\n",
                ours, scan_seconds, static_cast<long long>(scanner.get_read_count()), shown.size(),
                static_cast<long long>(written), static_cast<long long>(failed));
    std::printf("cp -r             %.3f s  of the same files; ours without the scan %.3f s, %.2f x cp -r\n", copy,
                ours - scan_seconds, copy > 0 ? (ours - scan_seconds) / copy : -1.0);
    std::printf("ours memory       %zu nodes in the store; peak resident %ld MiB for the whole process\n",
                scanner.store().size(), ours_rss / 1024);
    std::printf("deleted files     %d listed in the manifest: %d named in their folders, %d byte-exact\n", expected,
                named, exact);
    if (fls < 0 || tsk < 0) {
        std::printf("The Sleuth Kit    not installed or failed (apt-get install sleuthkit)\n");
        return 0;
    }
    const double theirs = fls + tsk;
    std::printf("fls + tsk_recover %.3f s  (fls %.3f s; tsk_recover %.3f s, %d files)\n", theirs, fls, tsk,
                bench::count_files(theirs_dir.filePath("out")));
    std::printf("ratio ours/theirs %.3f  (aim: at most 0.5)\n", ours / theirs);
    return 0;
}
