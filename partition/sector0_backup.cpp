#include "partition/sector0_backup.h"

#include "partition/boot_sector.h"

#include "platform/fd_io.h"
#include "platform/folders.h"
#include "platform/raw_device.h"
#include "platform/volumes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace partition {

namespace {
// The drive's name for the backup file: the last path component, with
// anything but letters, digits, '.', '-' and '_' made '_'.
QString drive_tag(const std::string& device_path)
{
    QString name = QFileInfo(QString::fromStdString(device_path)).fileName();
    for (QChar& c : name)
        if (!(c.isLetterOrNumber() || c == '.' || c == '-' || c == '_'))
            c = '_';
    return name.isEmpty() ? QStringLiteral("disk") : name;
}

std::string qt_error(const QFile& file) { return file.errorString().toStdString(); }

std::string errno_text() { return std::strerror(errno); }

// Flushes a folder's entries, so a file just created in it survives a crash.
bool sync_folder(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Creates path (never an existing file), writes data, flushes file and
// folder. Returns 0, EEXIST when the name is taken, or -1 with *error.
int write_new_durable_file(const std::string& path, const std::string& dir, const void* data, size_t length,
                           std::string* error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            return EEXIST;
        *error = "cannot create " + path + ": " + errno_text();
        return -1;
    }
    const bool written = platform::write_fully(fd, data, length);
    const bool synced = written && ::fsync(fd) == 0;
    const std::string why = errno_text();
    const bool closed = ::close(fd) == 0;
    if (!written || !synced || !closed) {
        *error = "cannot write " + path + ": " + why;
        ::unlink(path.c_str());
        return -1;
    }
    if (!sync_folder(dir)) {
        *error = "cannot flush the folder " + dir + ": " + errno_text();
        ::unlink(path.c_str());
        return -1;
    }
    return 0;
}

std::string last_repair_file() { return sector0_backup_dir() + "/last-repair"; }
}  // namespace

std::string sector0_backup_dir() { return platform::state_dir() + "/sector0-backups"; }

std::string save_sector0_backup(const std::string& device_path, const sector_t& sector, std::string* error)
{
    const QString dir = QString::fromStdString(sector0_backup_dir());
    if (!QDir().mkpath(dir)) {
        *error = "cannot create the backup folder " + dir.toStdString();
        return {};
    }
    const QString stem = dir + '/' + drive_tag(device_path) + '-' +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int n = 1; n < 1000; ++n) {
        const QString name = n == 1 ? stem + ".mbr" : stem + '-' + QString::number(n) + ".mbr";
        const std::string path = QFile::encodeName(name).toStdString();
        const int made = write_new_durable_file(path, QFile::encodeName(dir).toStdString(), sector.data(),
                                                sector.size(), error);
        if (made == EEXIST)
            continue;
        if (made != 0)
            return {};
        // What the disk would be put back from is what is on the backup's
        // disk now, not what we meant to write.
        sector_t check{};
        if (!load_sector0_backup(path, &check, error))
            return {};
        if (check != sector) {
            *error = "the backup " + path + " reads back different from sector 0";
            return {};
        }
        return path;
    }
    *error = "too many backups named " + stem.toStdString();
    return {};
}

bool load_sector0_backup(const std::string& path, sector_t* sector, std::string* error)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot open " + path + ": " + qt_error(file);
        return false;
    }
    if (file.size() != qint64(sector->size())) {
        *error = path + " is not a sector backup (" + std::to_string(file.size()) + " bytes, not 512)";
        return false;
    }
    if (file.read(reinterpret_cast<char*>(sector->data()), qint64(sector->size())) != qint64(sector->size())) {
        *error = "cannot read " + path + ": " + qt_error(file);
        return false;
    }
    return true;
}

std::string mounted_refusal(const std::string& device_path)
{
    std::string names;
    for (const auto& m : platform::mounted_parts_of_disk(device_path))
        names += (names.empty() ? "" : ", ") + m;
    return names.empty() ? std::string() : "the disk is in use: " + names + " is mounted; unmount it first";
}

int open_for_sector0_write(const std::string& device_path, platform::raw_device_c& device, std::string* error,
                           bool* busy)
{
    if (busy)
        *busy = false;
    if (std::string in_use = mounted_refusal(device_path); !in_use.empty()) {
        *error = std::move(in_use);
        if (busy)
            *busy = true;
        return -1;
    }
    if (device.open(device_path, platform::open_mode::read_write_exclusive) != 0) {
        *error = device.error();
        if (busy)
            *busy = device.error().find("in use") != std::string::npos;
        return -1;
    }
    if (device.sector_size() != sector_bytes) {
        *error = device_path + " has " + std::to_string(device.sector_size()) +
                 "-byte sectors; a master boot record needs 512-byte sectors";
        device.close();
        return -1;
    }
    return 0;
}

int write_sector0_verified(platform::raw_device_c& device, const sector_t& sector, std::string* error)
{
    if (device.write_at(0, sector.data(), sector.size()) != int64_t(sector.size())) {
        *error = "writing sector 0 failed: " + device.error();
        return -1;
    }
    if (device.sync() != 0) {
        *error = "flushing sector 0 failed: " + device.error();
        return -1;
    }
    sector_t check{};
    if (device.read_at(0, check.data(), check.size()) != int64_t(check.size())) {
        *error = "reading sector 0 back failed: " + device.error();
        return -1;
    }
    if (check != sector) {
        *error = "sector 0 reads back different from what was written";
        return -1;
    }
    return 0;
}

std::string reread_table_note(platform::raw_device_c& device)
{
    switch (device.reread_partition_table()) {
    case platform::reread_result::done:
    case platform::reread_result::not_supported:
        return {};
    case platform::reread_result::busy:
        return "the new table is written, but the system still uses the old one: reboot or replug the disk to "
               "see the new table";
    case platform::reread_result::failed:
        break;
    }
    return "the new table is written, but the system did not re-read it (" + device.error() +
           "): reboot or replug the disk to see the new table";
}

int restore_sector0(const std::string& device_path, const std::string& backup_path, std::string* replaced_backup,
                    std::string* error, std::string* note)
{
    sector_t backup{};
    if (!load_sector0_backup(backup_path, &backup, error))
        return -1;
    platform::raw_device_c device;
    if (open_for_sector0_write(device_path, device, error) != 0)
        return -1;
    sector_t current{};
    if (device.read_at(0, current.data(), current.size()) != int64_t(current.size())) {
        *error = "cannot read sector 0 of " + device_path + ": " + device.error();
        return -1;
    }
    *replaced_backup = save_sector0_backup(device_path, current, error);
    if (replaced_backup->empty())
        return -1;
    if (write_sector0_verified(device, backup, error) != 0)
        return -1;
    const std::string told = reread_table_note(device);
    if (note)
        *note = told;
    return 0;
}

bool record_last_repair(const last_repair_s& repair, std::string* error)
{
    if (repair.device_path.find('\n') != std::string::npos || repair.backup_path.find('\n') != std::string::npos) {
        *error = "a path with a line break cannot be recorded";
        return false;
    }
    const std::string text = repair.device_path + '\n' + repair.backup_path + '\n';
    const std::string dir = sector0_backup_dir();
    const std::string fresh = last_repair_file() + ".new";
    ::unlink(fresh.c_str());
    if (write_new_durable_file(fresh, dir, text.data(), text.size(), error) != 0)
        return false;
    if (::rename(fresh.c_str(), last_repair_file().c_str()) != 0) {
        *error = "cannot record the repair: " + errno_text();
        ::unlink(fresh.c_str());
        return false;
    }
    return true;
}

bool read_last_repair(last_repair_s* repair)
{
    QFile file(QFile::decodeName(QByteArray::fromStdString(last_repair_file())));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 8192)
        return false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2 || lines[0].isEmpty() || lines[1].isEmpty())
        return false;
    repair->device_path = lines[0].toStdString();
    repair->backup_path = lines[1].toStdString();
    return true;
}

}  // namespace partition
