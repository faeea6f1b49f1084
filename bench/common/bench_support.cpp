#include "bench/common/bench_support.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <fstream>
#include <sys/resource.h>
#include <vector>

namespace bench {

double time_peer(const QString& program, const QStringList& args, const QString& output_file, peer_exit exit)
{
    const QString path =
        QStandardPaths::findExecutable(program, {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/sbin", "/bin"});
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
    if (exit == peer_exit::must_be_zero && p.exitCode() != 0)
        return -1;
    return static_cast<double>(t.nsecsElapsed()) / 1e9;
}

double best_of(int runs, const std::function<double()>& measure, const std::function<void()>& prepare)
{
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        if (prepare)
            prepare();
        const double t = measure();
        if (t < 0)
            return -1;
        best = best < 0 ? t : std::min(best, t);
    }
    return best;
}

void warm_cache(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 22);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    }
}

long peak_rss_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

QString scratch_folder() { return QFileInfo("/dev/shm").isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath(); }

int count_files(const QString& dir)
{
    int n = 0;
    for (const QFileInfo& fi : QDir(dir).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot))
        n += fi.isDir() ? count_files(fi.filePath()) : 1;
    return n;
}

int count_lines(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(f.readAll().count('\n'));
}

QString sha256_of(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return QString::fromLatin1(h.result().toHex());
}

QStringList hashes_under(const QString& dir)
{
    QStringList out;
    for (const QFileInfo& fi : QDir(dir).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (fi.isDir()) {
            out += hashes_under(fi.filePath());
            continue;
        }
        const QString hash = sha256_of(fi.filePath());
        if (!hash.isEmpty())
            out << hash;
    }
    out.sort();
    return out;
}

}  // namespace bench
