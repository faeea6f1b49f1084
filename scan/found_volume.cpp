#include "scan/found_volume.h"

#include "platform/partitions.h"

#include <QFile>
#include <limits>

namespace {

// What a found volume is called in lists and messages: the disk and where
// on it the volume starts.
QString window_name(const QString& disk, uint64_t start_sector)
{
    return QStringLiteral("%1@%2").arg(disk).arg(start_sector);
}

}  // namespace

volume_item_s found_volume(const drive_item_s& disk, uint64_t start_sector, uint64_t sectors,
                           const QString& file_system, const QString& label)
{
    volume_item_s v;
    v.device_path = disk.device_path;
    v.dos_device = window_name(disk.device_path, start_sector);
    // Never a mount point: an NTFS scan copies live files from a mounted
    // volume's folders, and this one is mounted nowhere.
    v.root_path = v.dos_device + QLatin1Char('/');
    v.file_system = file_system;
    v.label = label;
    v.locked = disk.locked;
    const uint64_t sector_bytes = disk.geometry && disk.geometry->bytes_per_sector ? disk.geometry->bytes_per_sector : 512;
    if (sectors != 0 && sectors <= std::numeric_limits<uint64_t>::max() / sector_bytes)
        v.total_bytes = sectors * sector_bytes;
    v.window_sector = int64_t(std::min<uint64_t>(start_sector, uint64_t(std::numeric_limits<int64_t>::max())));
    v.window_sectors = sectors;
    return v;
}

volume_item_s whole_disk_volume(const drive_item_s& disk)
{
    volume_item_s v = found_volume(disk, 0, std::numeric_limits<uint64_t>::max());
    v.dos_device = disk.device_path;
    v.root_path = disk.device_path + QLatin1Char('/');
    v.total_bytes = disk.size_bytes;
    return v;
}

platform::byte_source_ptr open_found_volume(volume_item_s* volume, QString* reason, platform::open_refusal_e* refusal)
{
    std::string why;
    const platform::byte_source_ptr disk = platform::open_byte_source(
        QFile::encodeName(volume->device_path).toStdString(), &why,
        volume->locked ? platform::device_access::ask : platform::device_access::own_rights, refusal);
    if (!disk) {
        *reason = QStringLiteral("%1: %2").arg(volume->device_path, QString::fromStdString(why));
        return nullptr;
    }
    const uint64_t sector = disk->sector_size() ? disk->sector_size() : 512;
    const uint64_t disk_sectors = disk->size() / sector;
    if (volume->window_sector < 0 || uint64_t(volume->window_sector) >= disk_sectors) {
        *reason = QStringLiteral("%1 has %2 sectors of %3 bytes: no volume starts at sector %4")
                      .arg(volume->device_path)
                      .arg(disk_sectors)
                      .arg(sector)
                      .arg(volume->window_sector);
        return nullptr;
    }
    const uint64_t start = uint64_t(volume->window_sector) * sector;
    const uint64_t room = disk->size() - start;
    platform::filesystem_info_s fs;
    const bool known = platform::probe_filesystem(*disk, start, 0, &fs);
    uint64_t length = room;
    if (volume->window_sectors != 0)
        length = volume->window_sectors <= room / sector ? volume->window_sectors * sector : room;
    else if (known && fs.volume_bytes != 0)
        length = std::min(fs.volume_bytes, room);
    if (known) {
        volume->file_system = QString::fromStdString(platform::display_filesystem_name(fs));
        if (!fs.label.empty())
            volume->label = QString::fromStdString(fs.label);
    }
    volume->total_bytes = length;
    volume->locked = false;
    return std::make_shared<platform::source_window_c>(disk, start, length,
                                                       QFile::encodeName(volume->dos_device).toStdString());
}
