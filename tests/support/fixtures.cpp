#include "support/fixtures.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdlib>
#include <map>
#include <mutex>

namespace test_support {

namespace {

#ifndef QUARVEL_DEFAULT_SOURCE_DIR
#define QUARVEL_DEFAULT_SOURCE_DIR ""
#endif
#ifndef QUARVEL_DEFAULT_FIXTURE_DIR
#define QUARVEL_DEFAULT_FIXTURE_DIR ""
#endif

// A building fixture can take a while on a loaded machine (two cores shared by
// every test); an image that takes longer than this is a hung builder.
constexpr int builder_timeout_ms = 15 * 60 * 1000;

std::string env_or(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}

// Returns the builder script: the environment's, else the one in the source
// tree named by QUARVEL_SOURCE_DIR or known at build time.
std::string builder_path() {
    const std::string from_env = env_or("QUARVEL_FIXTURE_BUILDER", "");
    if (!from_env.empty())
        return from_env;
    const std::string source = env_or("QUARVEL_SOURCE_DIR", QUARVEL_DEFAULT_SOURCE_DIR);
    if (source.empty())
        return {};
    return source + "/tests/fixtures/make_fixture.sh";
}

// Returns the folder the images are cached in.
std::string fixture_dir() {
    std::string dir = env_or("QUARVEL_FIXTURE_DIR", QUARVEL_DEFAULT_FIXTURE_DIR);
    if (dir.empty())
        dir = QDir::tempPath().toStdString() + "/quarvel-fixtures";
    return dir;
}

// Splits one manifest line on tabs, keeping empty fields (an empty label is
// a field of its own).
std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        if (tab == std::string::npos) {
            parts.push_back(line.substr(start));
            return parts;
        }
        parts.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
}

// Reads a manifest into entries. Returns false when the file cannot be read.
bool parse_manifest(const std::string& path, std::vector<manifest_entry_s>* entries,
                    std::string* reason) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = "cannot read manifest " + path;
        return false;
    }
    const QByteArray all = file.readAll();
    std::size_t line_start = 0;
    const std::string text(all.constData(), static_cast<std::size_t>(all.size()));
    while (line_start < text.size()) {
        std::size_t end = text.find('\n', line_start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(line_start, end - line_start);
        line_start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> parts = split_tabs(line);
        manifest_entry_s e;
        e.kind = parts.front();
        e.fields.assign(parts.begin() + 1, parts.end());
        entries->push_back(std::move(e));
    }
    return true;
}

// The builder's own message: its stderr, trimmed, on one line.
std::string one_line(const QByteArray& bytes) {
    QString s = QString::fromUtf8(bytes).trimmed();
    s.replace(QLatin1Char('\n'), QLatin1String(" | "));
    return s.toStdString();
}

bool run_builder(const std::string& kind, fixture_s* out, std::string* reason) {
    const std::string builder = builder_path();
    if (builder.empty() || !QFile::exists(QString::fromStdString(builder))) {
        *reason = "fixture builder not found (set QUARVEL_FIXTURE_BUILDER or QUARVEL_SOURCE_DIR)";
        return false;
    }
    const std::string dir = fixture_dir();

    QProcess proc;
    proc.setProgram(QStringLiteral("bash"));
    proc.setArguments({QString::fromStdString(builder), QString::fromStdString(kind),
                       QString::fromStdString(dir)});
    proc.start();
    if (!proc.waitForStarted()) {
        *reason = "skip: cannot start bash to build fixture '" + kind + "'";
        return false;
    }
    if (!proc.waitForFinished(builder_timeout_ms)) {
        proc.kill();
        proc.waitForFinished();
        *reason = "fixture '" + kind + "' timed out while building";
        return false;
    }
    const std::string message = one_line(proc.readAllStandardError());
    if (proc.exitStatus() != QProcess::NormalExit) {
        *reason = "fixture builder for '" + kind + "' crashed: " + message;
        return false;
    }
    if (proc.exitCode() == 77) {
        *reason = message.rfind("skip:", 0) == 0 ? message : "skip: " + message;
        return false;
    }
    if (proc.exitCode() != 0) {
        *reason = "fixture '" + kind + "' failed to build (exit " +
                  std::to_string(proc.exitCode()) + "): " + message;
        return false;
    }

    out->image = QDir(QString::fromStdString(dir)).absoluteFilePath(QString::fromStdString(kind + ".img")).toStdString();
    out->manifest = QDir(QString::fromStdString(dir)).absoluteFilePath(QString::fromStdString(kind + ".manifest")).toStdString();
    out->entries.clear();
    return parse_manifest(out->manifest, &out->entries, reason);
}

// Temporary folders made by make_temp_dir, removed when the test ends.
struct temp_dirs_s {
    std::mutex lock;
    std::vector<QString> paths;
    ~temp_dirs_s() {
        if (std::getenv("QUARVEL_KEEP_TEMP"))
            return;
        for (const QString& p : paths)
            QDir(p).removeRecursively();
    }
};

temp_dirs_s& temp_dirs() {
    static temp_dirs_s dirs;
    return dirs;
}

}  // namespace

bool fixture(const std::string& kind, fixture_s* out, std::string* reason) {
    // One build per kind and process; the builder's own cache spans processes.
    static std::mutex lock;
    static std::map<std::string, fixture_s> built;
    std::lock_guard<std::mutex> guard(lock);
    if (auto it = built.find(kind); it != built.end()) {
        *out = it->second;
        return true;
    }
    std::string why;
    if (!run_builder(kind, out, &why)) {
        if (reason)
            *reason = why;
        return false;
    }
    built[kind] = *out;
    return true;
}

std::vector<manifest_entry_s> entries_of(const fixture_s& f, const std::string& kind) {
    std::vector<manifest_entry_s> found;
    for (const manifest_entry_s& e : f.entries)
        if (e.kind == kind)
            found.push_back(e);
    return found;
}

std::vector<manifest_entry_s> entries_on(const fixture_s& f, const std::string& kind,
                                         int partition) {
    std::vector<manifest_entry_s> found;
    for (const manifest_entry_s& e : f.entries)
        if (e.kind == kind && field_number(e, 0) == partition)
            found.push_back(e);
    return found;
}

const manifest_entry_s* find_entry(const fixture_s& f, const std::string& kind,
                                   int partition, const std::string& path) {
    for (const manifest_entry_s& e : f.entries)
        if (e.kind == kind && field_number(e, 0) == partition && field(e, 1) == path)
            return &e;
    return nullptr;
}

std::string image_volume_path(const fixture_s& f, int partition) {
    return f.image + ":p" + std::to_string(partition);
}

std::string field(const manifest_entry_s& e, std::size_t i) {
    return i < e.fields.size() ? e.fields[i] : std::string();
}

long long field_number(const manifest_entry_s& e, std::size_t i) {
    const std::string s = field(e, i);
    if (s.empty() || s.size() > 18)
        return -1;
    long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string make_temp_dir(const std::string& tag) {
    const QString base = QString::fromStdString(env_or("QUARVEL_TEST_TMP", QDir::tempPath().toStdString()));
    QDir().mkpath(base);
    QTemporaryDir dir(base + QStringLiteral("/quarvel-test-") + QString::fromStdString(tag) +
                      QStringLiteral("-XXXXXX"));
    if (!dir.isValid())
        return {};
    dir.setAutoRemove(false);
    temp_dirs_s& dirs = temp_dirs();
    std::lock_guard<std::mutex> guard(dirs.lock);
    dirs.paths.push_back(dir.path());
    return dir.path().toStdString();
}

std::string sha256_of_file(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return {};
    return hash.result().toHex().toStdString();
}

}  // namespace test_support
