#include "partition/sector0_backup.h"

#include "partition/boot_sector.h"

#include "platform/folders.h"
#include "platform/raw_device.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
        const QString path = n == 1 ? stem + ".mbr" : stem + '-' + QString::number(n) + ".mbr";
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (file.exists())
                continue;
            *error = "cannot create " + path.toStdString() + ": " + qt_error(file);
            return {};
        }
        const auto written = file.write(reinterpret_cast<const char*>(sector.data()), qint64(sector.size()));
        if (written != qint64(sector.size()) || !file.flush()) {
            *error = "cannot write " + path.toStdString() + ": " + qt_error(file);
            file.close();
            file.remove();
            return {};
        }
        file.close();
        return path.toStdString();
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

int restore_sector0(const std::string& device_path, const std::string& backup_path, std::string* replaced_backup,
                    std::string* error)
{
    sector_t backup{};
    if (!load_sector0_backup(backup_path, &backup, error))
        return -1;
    platform::raw_device_c device;
    if (device.open(device_path, platform::open_mode::read_write_unbuffered) != 0) {
        *error = device.error();
        return -1;
    }
    if (device.sector_size() != sector_bytes) {
        *error = device_path + " has " + std::to_string(device.sector_size()) + "-byte sectors, not 512";
        return -1;
    }
    sector_t current{};
    if (device.read_at(0, current.data(), current.size()) != int64_t(current.size())) {
        *error = "cannot read sector 0 of " + device_path + ": " + device.error();
        return -1;
    }
    *replaced_backup = save_sector0_backup(device_path, current, error);
    if (replaced_backup->empty())
        return -1;
    return write_sector0_verified(device, backup, error);
}

}  // namespace partition
