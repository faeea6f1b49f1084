#include "partition/sector0_backup.h"

#include "partition/boot_sector.h"

#include "ondisk/byte_order.h"
#include "ondisk/partition_table.h"
#include "platform/fd_io.h"
#include "platform/folders.h"
#include "platform/output_guard.h"
#include "platform/raw_device.h"
#include "platform/volumes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QCryptographicHash>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// The backup record's layout (see the header).
constexpr char backup_magic[8] = {'Q', 'V', 'S', 'E', 'C', 'B', 'A', 'K'};
constexpr uint32_t backup_version = 1;
constexpr size_t at_magic = sector_bytes;
constexpr size_t at_version = at_magic + 8;
constexpr size_t at_range_count = at_version + 4;
constexpr size_t at_disk_size = at_range_count + 4;
constexpr size_t at_taken = at_disk_size + 8;
constexpr size_t at_kind = at_taken + 8;
constexpr size_t at_file_device = at_kind + 8;
constexpr size_t at_file_inode = at_file_device + 8;
constexpr size_t at_model = at_file_inode + 8;
constexpr size_t text_field = 64;
constexpr size_t at_serial = at_model + text_field;
constexpr size_t at_path = at_serial + text_field;
constexpr size_t path_field = 256;
constexpr size_t at_ranges = at_path + path_field;
constexpr size_t range_entry = 16;
constexpr size_t checksum_bytes = 32;
// A GPT's head and tail are 34 and 33 sectors; the bounds leave room and
// keep a hostile file from costing memory.
constexpr uint32_t most_ranges = 16;
constexpr uint64_t largest_range = 1 << 20;
constexpr int64_t largest_backup = 17 << 20;

void put_text(std::vector<uint8_t>& out, size_t at, const std::string& text, size_t field)
{
    std::memcpy(out.data() + at, text.data(), std::min(text.size(), field - 1));
}

std::string get_text(const uint8_t* p, size_t field)
{
    return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), field));
}

QByteArray sha256(const uint8_t* data, size_t length)
{
    return QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(length)),
                                    QCryptographicHash::Sha256);
}

std::vector<uint8_t> encode_backup(const sector_backup_s& b)
{
    size_t length = at_ranges + range_entry * b.ranges.size();
    for (size_t i = 1; i < b.ranges.size(); ++i)
        length += b.ranges[i].bytes.size();
    std::vector<uint8_t> out(length + checksum_bytes, 0);
    std::memcpy(out.data(), b.ranges[0].bytes.data(), sector_bytes);
    std::memcpy(out.data() + at_magic, backup_magic, sizeof backup_magic);
    platform::store_le32(out.data() + at_version, backup_version);
    platform::store_le32(out.data() + at_range_count, uint32_t(b.ranges.size()));
    platform::store_le64(out.data() + at_disk_size, b.disk.size_bytes);
    platform::store_le64(out.data() + at_taken, uint64_t(b.taken));
    platform::store_le32(out.data() + at_kind, b.disk.kind);
    platform::store_le64(out.data() + at_file_device, b.disk.device);
    platform::store_le64(out.data() + at_file_inode, b.disk.inode);
    put_text(out, at_model, b.disk.model, text_field);
    put_text(out, at_serial, b.disk.serial, text_field);
    put_text(out, at_path, b.device_path, path_field);
    size_t data_at = at_ranges + range_entry * b.ranges.size();
    for (size_t i = 0; i < b.ranges.size(); ++i) {
        platform::store_le64(out.data() + at_ranges + range_entry * i, b.ranges[i].offset);
        platform::store_le64(out.data() + at_ranges + range_entry * i + 8, b.ranges[i].bytes.size());
        if (i == 0)
            continue;
        std::memcpy(out.data() + data_at, b.ranges[i].bytes.data(), b.ranges[i].bytes.size());
        data_at += b.ranges[i].bytes.size();
    }
    const QByteArray sum = sha256(out.data(), length);
    std::memcpy(out.data() + length, sum.constData(), checksum_bytes);
    return out;
}

// Why bytes are not a sound backup; empty when they are, with *b filled.
std::string decode_backup(const std::vector<uint8_t>& in, sector_backup_s* b)
{
    if (in.size() == sector_bytes) {
        b->plain = true;
        b->ranges = {{0, in}};
        return {};
    }
    if (in.size() < at_ranges + range_entry + checksum_bytes ||
        std::memcmp(in.data() + at_magic, backup_magic, sizeof backup_magic) != 0)
        return "is not a sector backup (" + std::to_string(in.size()) + " bytes, not a saved sector 0)";
    if (platform::le32(in.data() + at_version) != backup_version)
        return "was written by another version of the program (format " +
               std::to_string(platform::le32(in.data() + at_version)) + ")";
    const size_t length = in.size() - checksum_bytes;
    if (sha256(in.data(), length) != QByteArray(reinterpret_cast<const char*>(in.data() + length), checksum_bytes))
        return "is damaged: its checksum does not match its contents";
    const uint32_t count = platform::le32(in.data() + at_range_count);
    if (count == 0 || count > most_ranges || at_ranges + range_entry * count > length)
        return "is damaged: it names " + std::to_string(count) + " ranges of sectors";
    b->plain = false;
    b->disk.size_bytes = platform::le64(in.data() + at_disk_size);
    b->taken = int64_t(platform::le64(in.data() + at_taken));
    const uint32_t kind = platform::le32(in.data() + at_kind);
    b->disk.kind = kind == disk_identity_s::block || kind == disk_identity_s::file ? disk_identity_s::kind_e(kind)
                                                                                   : disk_identity_s::unknown;
    b->disk.device = platform::le64(in.data() + at_file_device);
    b->disk.inode = platform::le64(in.data() + at_file_inode);
    b->disk.model = get_text(in.data() + at_model, text_field);
    b->disk.serial = get_text(in.data() + at_serial, text_field);
    b->device_path = get_text(in.data() + at_path, path_field);
    b->ranges.clear();
    size_t data_at = at_ranges + range_entry * count;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t offset = platform::le64(in.data() + at_ranges + range_entry * i);
        const uint64_t size = platform::le64(in.data() + at_ranges + range_entry * i + 8);
        if (i == 0 ? offset != 0 || size != sector_bytes
                   : size == 0 || size > largest_range || size % sector_bytes != 0 || offset % sector_bytes != 0 ||
                         size > length - data_at)
            return "is damaged: range " + std::to_string(i) + " of its sectors is malformed";
        if (offset > b->disk.size_bytes || size > b->disk.size_bytes - offset)
            return "is damaged: range " + std::to_string(i) + " lies past the end of its disk";
        for (const sector_range_s& r : b->ranges)
            if (offset < r.offset + r.bytes.size() && r.offset < offset + size)
                return "is damaged: its ranges of sectors overlap";
        const uint8_t* from = i == 0 ? in.data() : in.data() + data_at;
        b->ranges.push_back({offset, std::vector<uint8_t>(from, from + size)});
        if (i > 0)
            data_at += size;
    }
    if (data_at != length)
        return "is damaged: its length does not match its ranges";
    return {};
}

// An older plain backup has nothing but its bytes: any 512-byte file would
// pass for one, so it must at least be a boot record (end in 0x55AA). A
// backup of the new form is put back as its disk held it, whatever that was
// (a repair is made because sector 0 is damaged): its checksum and the disk
// it names tie it to that disk.
bool sector0_plausible(const std::vector<uint8_t>& sector, bool plain)
{
    return !plain || (sector[510] == 0x55 && sector[511] == 0xAA);
}

std::string read_sys(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(256).trimmed().toStdString();
}

// udev's record of a block device: "E:KEY=value" lines.
std::string udev_property(dev_t device, const std::string& key)
{
    QFile file(QString("/run/udev/data/b%1:%2").arg(major(device)).arg(minor(device)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray wanted = QByteArray("E:") + key.c_str() + "=";
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(wanted))
            return line.mid(wanted.size()).trimmed().toStdString();
    return {};
}

std::string time_text(int64_t seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm")).toStdString();
}

std::string identity_text(const disk_identity_s& d)
{
    switch (d.kind) {
    case disk_identity_s::block:
        return "model \"" + d.model + "\", serial \"" + d.serial + "\"";
    case disk_identity_s::file:
        return "file " + std::to_string(d.inode) + " on device " + std::to_string(major(dev_t(d.device))) + ":" +
               std::to_string(minor(dev_t(d.device)));
    case disk_identity_s::unknown:
        break;
    }
    return "unknown";
}

}  // namespace

std::string sector0_backup_dir() { return platform::state_dir() + "/sector0-backups"; }

// Reads the ranges a backup holds from the open device, as they are now.
bool read_ranges(const platform::raw_device_c& device, const std::vector<sector_range_s>& wanted,
                 std::vector<sector_range_s>* now, std::string* error)
{
    now->clear();
    for (const sector_range_s& r : wanted) {
        sector_range_s current{r.offset, std::vector<uint8_t>(r.bytes.size())};
        if (device.read_at(r.offset, current.bytes.data(), current.bytes.size()) != int64_t(current.bytes.size())) {
            *error = "cannot read the sectors at byte " + std::to_string(r.offset) + " of " + device.path() + ": " +
                     device.error();
            return false;
        }
        now->push_back(std::move(current));
    }
    return true;
}

int write_ranges_verified(platform::raw_device_c& device, const std::vector<sector_range_s>& ranges,
                          std::string* error)
{
    for (const sector_range_s& r : ranges)
        if (device.write_at(r.offset, r.bytes.data(), r.bytes.size()) != int64_t(r.bytes.size())) {
            *error = "writing the sectors at byte " + std::to_string(r.offset) + " failed: " + device.error();
            return -1;
        }
    if (device.sync() != 0) {
        *error = "flushing the disk failed: " + device.error();
        return -1;
    }
    std::vector<sector_range_s> check;
    if (!read_ranges(device, ranges, &check, error))
        return -1;
    for (size_t i = 0; i < ranges.size(); ++i)
        if (check[i].bytes != ranges[i].bytes) {
            *error = "the sectors at byte " + std::to_string(ranges[i].offset) +
                     " read back different from what was written";
            return -1;
        }
    return 0;
}


disk_identity_s identify_disk(const std::string& device_path, uint64_t size_bytes)
{
    disk_identity_s id;
    id.size_bytes = size_bytes;
    struct stat st {};
    if (::stat(device_path.c_str(), &st) != 0)
        return id;
    if (S_ISREG(st.st_mode)) {
        id.kind = disk_identity_s::file;
        id.device = st.st_dev;
        id.inode = st.st_ino;
        return id;
    }
    if (!S_ISBLK(st.st_mode))
        return id;
    // A loop device is the file it reads: a backup taken through one puts
    // back onto the image, and the other way round.
    const int fd = ::open(device_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        loop_info64 info {};
        const bool loop = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
        ::close(fd);
        if (loop) {
            id.kind = disk_identity_s::file;
            id.device = info.lo_device;
            id.inode = info.lo_inode;
            return id;
        }
    } else {
        // Not ours to open (run as the user): the kernel names a loop
        // device's file in sysfs too.
        std::string backing = read_sys("/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                                       std::to_string(minor(st.st_rdev)) + "/loop/backing_file");
        struct stat file {};
        if (!backing.empty() && ::stat(backing.c_str(), &file) == 0 && S_ISREG(file.st_mode)) {
            id.kind = disk_identity_s::file;
            id.device = file.st_dev;
            id.inode = file.st_ino;
            return id;
        }
    }
    id.kind = disk_identity_s::block;
    const std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    id.model = read_sys(sys + "/device/model");
    if (id.model.empty())
        id.model = udev_property(st.st_rdev, "ID_MODEL");
    id.serial = udev_property(st.st_rdev, "ID_SERIAL");
    for (const char* name : {"/device/serial", "/device/wwid", "/wwid"})
        if (id.serial.empty())
            id.serial = read_sys(sys + name);
    return id;
}

std::string identity_mismatch(const disk_identity_s& then, const disk_identity_s& now)
{
    if (then.size_bytes != now.size_bytes)
        return "its size (" + std::to_string(then.size_bytes) + " bytes then, " + std::to_string(now.size_bytes) +
               " now)";
    const bool same = then.kind == now.kind &&
                      (then.kind == disk_identity_s::block ? then.model == now.model && then.serial == now.serial
                       : then.kind == disk_identity_s::file ? then.device == now.device && then.inode == now.inode
                                                           : false);
    if (!same)
        return "its identity (" + identity_text(then) + " then, " + identity_text(now) + " now)";
    return {};
}

std::string save_sector_backup(const std::string& device_path, const disk_identity_s& disk,
                               const std::vector<sector_range_s>& ranges, std::string* error)
{
    if (ranges.empty() || ranges[0].offset != 0 || ranges[0].bytes.size() != sector_bytes) {
        *error = "a backup must begin with sector 0";
        return {};
    }
    sector_backup_s backup;
    backup.disk = disk;
    backup.taken = QDateTime::currentSecsSinceEpoch();
    backup.device_path = device_path;
    backup.ranges = ranges;
    const std::vector<uint8_t> bytes = encode_backup(backup);
    const QString dir = QString::fromStdString(sector0_backup_dir());
    if (!QDir().mkpath(dir)) {
        *error = "cannot create the backup folder " + dir.toStdString();
        return {};
    }
    const QString stem = dir + '/' + drive_tag(device_path) + '-' +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    // A copy of sector 0 alone is an MBR; one that keeps a GPT's head and
    // tail as well is named for those. Either loads whatever its name.
    const QString suffix = ranges.size() > 1 ? QStringLiteral(".gpt") : QStringLiteral(".mbr");
    for (int n = 1; n < 1000; ++n) {
        const QString name = n == 1 ? stem + suffix : stem + '-' + QString::number(n) + suffix;
        const std::string path = QFile::encodeName(name).toStdString();
        const int made = write_new_durable_file(path, QFile::encodeName(dir).toStdString(), bytes.data(),
                                                bytes.size(), error);
        if (made == EEXIST)
            continue;
        if (made != 0)
            return {};
        // What the disk would be put back from is what is on the backup's
        // disk now, not what we meant to write.
        sector_backup_s check;
        std::string why;
        if (!load_sector_backup(path, &check, &why)) {
            *error = "the backup " + path + " does not read back: " + why;
            return {};
        }
        for (size_t i = 0; i < ranges.size(); ++i)
            if (check.ranges.size() != ranges.size() || check.ranges[i].bytes != ranges[i].bytes) {
                *error = "the backup " + path + " reads back different from the disk";
                return {};
            }
        return path;
    }
    *error = "too many backups named " + stem.toStdString();
    return {};
}

std::string save_sector0_backup(const std::string& device_path, const platform::raw_device_c& device,
                                const sector_t& sector, std::string* error)
{
    return save_sector_backup(device_path, identify_disk(device_path, device.size()),
                              {{0, std::vector<uint8_t>(sector.begin(), sector.end())}}, error);
}

bool load_sector_backup(const std::string& path, sector_backup_s* backup, std::string* error)
{
    // O_NONBLOCK: a FIFO must not make the restore wait for a writer; it is
    // refused right after.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + errno_text();
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = path + " is not a regular file";
        return false;
    }
    if (st.st_size < off_t(sector_bytes) || st.st_size > largest_backup) {
        ::close(fd);
        *error = path + " is not a sector backup (" + std::to_string(st.st_size) + " bytes)";
        return false;
    }
    std::vector<uint8_t> bytes(size_t(st.st_size));
    const ssize_t got = platform::read_fully(fd, bytes.data(), bytes.size());
    ::close(fd);
    if (got != ssize_t(bytes.size())) {
        *error = "cannot read " + path + (got < 0 ? ": " + errno_text() : std::string(": it changed while read"));
        return false;
    }
    sector_backup_s loaded;
    if (const std::string why = decode_backup(bytes, &loaded); !why.empty()) {
        *error = path + " " + why;
        return false;
    }
    if (!sector0_plausible(loaded.ranges[0].bytes, loaded.plain)) {
        *error = path + " does not hold a sector 0: it does not end in 0x55AA";
        return false;
    }
    *backup = std::move(loaded);
    return true;
}

std::string mounted_refusal(const std::string& device_path)
{
    std::vector<std::string> parts = platform::mounted_parts_of_disk(device_path);
    // An image is mounted through a loop device over it (at an offset for a
    // partition, or with a device mapped over that) or through FUSE: writing
    // the file under a mounted file system corrupts it as surely as writing
    // a mounted disk.
    for (const auto& m : platform::mounts_stored_on(device_path))
        if (std::find(parts.begin(), parts.end(), m) == parts.end())
            parts.push_back(m);
    std::string names;
    for (const auto& m : parts)
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
    if (device.open(device_path, platform::open_mode::read_write_exclusive, platform::device_access::ask) != 0) {
        *error = device.error();
        if (busy)
            *busy = device.error().find("in use") != std::string::npos;
        return -1;
    }
    if (device.sector_size() != sector_bytes && device.sector_size() != 4096) {
        *error = device_path + " has " + std::to_string(device.sector_size()) +
                 "-byte sectors; a partition table is written only for 512- or 4096-byte sectors";
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

namespace {

bool holds_protective_mbr(const std::vector<sector_range_s>& ranges)
{
    for (const sector_range_s& r : ranges) {
        if (r.offset != 0 || r.bytes.size() < 512 || r.bytes[510] != 0x55 || r.bytes[511] != 0xAA)
            continue;
        for (size_t entry = 0; entry < 4; ++entry)
            if (r.bytes[446 + entry * 16 + 4] == ondisk::mbr::type_protective)
                return true;
    }
    return false;
}

}  // namespace

uint64_t sectors_in(const std::vector<sector_range_s>& ranges, uint32_t sector_size)
{
    if (sector_size == 0)
        sector_size = sector_bytes;
    uint64_t count = 0;
    for (const sector_range_s& r : ranges)
        count += (r.bytes.size() + sector_size - 1) / sector_size;
    return count;
}

int restore_sector0(const std::string& device_path, const std::string& backup_path, std::string* replaced_backup,
                    std::string* error, std::string* note, bool force, bool* mismatch, uint64_t* sectors_written)
{
    if (sectors_written)
        *sectors_written = 0;
    if (mismatch)
        *mismatch = false;
    sector_backup_s backup;
    if (!load_sector_backup(backup_path, &backup, error))
        return -1;
    struct stat st {};
    if (::stat(device_path.c_str(), &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISREG(st.st_mode))) {
        *error = device_path + " is neither a disk nor a disk image";
        return -1;
    }
    platform::raw_device_c device;
    if (open_for_sector0_write(device_path, device, error) != 0)
        return -1;
    const disk_identity_s disk = identify_disk(device_path, device.size());
    if (!backup.plain && !force) {
        if (const std::string differs = identity_mismatch(backup.disk, disk); !differs.empty()) {
            *error = "the backup was taken on " + time_text(backup.taken) + " from another disk (" +
                     backup.device_path + "): " + differs + " differs";
            if (mismatch)
                *mismatch = true;
            return -1;
        }
    }
    for (const sector_range_s& r : backup.ranges)
        if (r.offset > device.size() || r.bytes.size() > device.size() - r.offset) {
            *error = "the backup holds sectors past the end of " + device_path;
            return -1;
        }
    std::vector<sector_range_s> current;
    if (!read_ranges(device, backup.ranges, &current, error))
        return -1;
    // An older backup names no disk: any 512 bytes ending in 0x55AA pass for
    // one. Laid over a GPT's protective MBR it would hide every partition,
    // so that is done only when asked for again.
    if (backup.plain && !force && holds_protective_mbr(current)) {
        *error = "the backup is a bare sector 0 that does not say which disk it came from, and " + device_path +
                 " holds a GPT, whose protective MBR it would replace";
        if (mismatch)
            *mismatch = true;
        return -1;
    }
    *replaced_backup = save_sector_backup(device_path, disk, current, error);
    if (replaced_backup->empty())
        return -1;
    if (write_ranges_verified(device, backup.ranges, error) != 0)
        return -1;
    if (sectors_written)
        *sectors_written = sectors_in(backup.ranges, device.sector_size());
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
