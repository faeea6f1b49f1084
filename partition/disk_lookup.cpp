#include "partition/disk_lookup.h"

#include "devices/enumerate.h"
#include "platform/drive_table.h"

#include <QFile>
#include <QFileInfo>

namespace partition {

namespace {
const drive_item_s* listed(const std::string& path)
{
    enumerate_drives();
    const QString wanted = QFile::decodeName(QByteArray::fromStdString(path));
    for (size_t i = 1; i < drive_list.size(); ++i)
        if (drive_list[i].device_path == wanted)
            return &drive_list[i];
    return nullptr;
}
}  // namespace

bool find_disk(const std::string& path, drive_item_s* drive, std::string* error, bool open_image)
{
    if (const auto* found = listed(path)) {
        *drive = *found;
        return true;
    }
    const QFileInfo info(QFile::decodeName(QByteArray::fromStdString(path)));
    if (!info.exists()) {
        *error = path + ": no such disk or image file";
        return false;
    }
    // /dev/disk/by-id/... and other links name the disk by another path.
    const std::string canonical = QFile::encodeName(info.canonicalFilePath()).toStdString();
    if (canonical != path) {
        if (const auto* found = listed(canonical)) {
            *drive = *found;
            return true;
        }
    }
    if (info.isFile() && !open_image) {
        *error = path + " is not a disk, nor an image opened with --image";
        return false;
    }
    if (info.isFile()) {
        if (platform::open_disk_image(canonical, error) != 0)
            return false;
        if (const auto* found = listed(canonical)) {
            *drive = *found;
            return true;
        }
        *error = path + ": the image could not be read as a drive";
        return false;
    }
    *error = path + " is not a whole disk of the drive table (see \"quarvel-cli drives\")";
    return false;
}

}  // namespace partition
