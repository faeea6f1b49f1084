// Sample files of every built-in type and disk images with them planted, for
// the carving tests and the benchmark.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace carve_test {

struct sample_s {
    QString file;      // where it came from
    QString type;      // the type name the engine must report
    QByteArray bytes;
};

// The source tree: $QUARVEL_SOURCE_DIR, else the one this was built from.
QString source_dir();

// Writes the samples into folder (make_samples.py plus Qt's own JPEG, PNG and
// BMP) and reads them back. Returns false with *reason when python3 is missing.
bool make_samples(const QString& folder, std::vector<sample_s>* out, QString* reason);

struct planted_s {
    uint64_t offset = 0;
    QString type;
    QByteArray bytes;
};

enum class background { random, zeros };

// Writes an image: background bytes with the samples planted one after the
// other, gaps of whole sectors between them, each start sector-aligned or
// (unaligned) 1 to 511 bytes past a sector start. Returns the planted files.
std::vector<planted_s> write_image(const QString& path, const std::vector<sample_s>& samples, background fill,
                                   bool unaligned, uint32_t seed, uint64_t tail = 65536);

// Overwrites bytes of a file at offset.
bool put_bytes(const QString& path, uint64_t offset, const QByteArray& bytes);

}  // namespace carve_test
