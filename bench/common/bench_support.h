// What the benchmarks share: timing a peer program, the best of several
// runs, warming the page cache, peak memory, and counting and hashing what a
// program wrote.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <string>

namespace bench {

// How a peer's run counts as done.
enum class peer_exit { must_be_zero, any };

// Runs a peer found in the usual program folders, its output going to
// output_file. Returns its wall-clock seconds, or -1 when it is not
// installed, does not end normally, or (must_be_zero) exits non-zero.
double time_peer(const QString& program, const QStringList& args, const QString& output_file = "/dev/null",
                 peer_exit exit = peer_exit::must_be_zero);

// The smallest of runs results of measure (seconds), each after prepare;
// -1 as soon as one run gives a negative result.
double best_of(int runs, const std::function<double()>& measure, const std::function<void()>& prepare = {});

// Reads a file from end to end, so that every program timed after starts
// with it in the page cache.
void warm_cache(const std::string& path);

// Peak resident memory of this process, KiB.
long peak_rss_kib();

// A folder for recovered files: /dev/shm where it can be written to, since
// creating thousands of files on a disk file system measures that file
// system more than the programs; else the temporary folder.
QString scratch_folder();

// Files below dir, in all its sub-folders.
int count_files(const QString& dir);

// Lines in a text file (0 when it cannot be read).
int count_lines(const QString& file);

// SHA-256 of a file as hex, or an empty string when it cannot be read.
QString sha256_of(const QString& path);

// SHA-256 of every file below dir, sorted, to compare contents whatever the
// names.
QStringList hashes_under(const QString& dir);

}  // namespace bench
