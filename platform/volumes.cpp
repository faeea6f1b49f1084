#include "platform/volumes.h"
#include "ondisk/byte_order.h"
#include "ondisk/fat_boot_sector.h"
#include "platform/drive_table.h"
#include "platform/partitions.h"
#include "platform/raw_device.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

std::string read_sys_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string base_name(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The kernel node of partition NUMBER of block disk NAME ("sdb", 2 -> "sdb2"),
// found through sysfs so that nvme0n1p2 and mmcblk0p2 come out right.
std::string partition_node(const std::string& disk_name, int number)
{
    const std::string sys = "/sys/block/" + disk_name;
    DIR* dir = opendir(sys.c_str());
    if (!dir)
        return {};
    std::string found;
    while (dirent* entry = readdir(dir)) {
        const std::string child = entry->d_name;
        if (child.rfind(disk_name, 0) != 0)
            continue;
        if (read_sys_line(sys + "/" + child + "/partition") == std::to_string(number)) {
            found = child;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Free bytes of an unmounted FAT32 volume from its FSInfo sector, when the
// count there is plausible. Returns false when it cannot tell.
bool fat32_free_bytes(const std::string& disk_path, uint64_t start, uint64_t size, uint64_t* free_bytes)
{
    const byte_source_ptr dev = open_byte_source(disk_path, nullptr);
    if (!dev)
        return false;
    uint8_t sector[ondisk::sector_bytes];
    if (dev->read_at(start, sector, sizeof sector) != static_cast<int64_t>(sizeof sector))
        return false;
    const ondisk::fat_boot_sector_s boot = ondisk::decode_fat_boot_sector(sector);
    if (boot.bytes_per_sector != ondisk::sector_bytes || boot.sectors_per_cluster == 0 || boot.fsinfo_sector == 0 ||
        boot.fsinfo_sector == 0xFFFF)
        return false;
    const uint64_t fsinfo_at = uint64_t(boot.fsinfo_sector) * ondisk::sector_bytes;
    if (fsinfo_at + ondisk::sector_bytes > size)
        return false;
    if (dev->read_at(start + fsinfo_at, sector, sizeof sector) != static_cast<int64_t>(sizeof sector))
        return false;
    const ondisk::fsinfo_s info = ondisk::decode_fsinfo(sector);
    if (!info.valid)
        return false;
    const uint64_t free_clusters = info.free_clusters;
    const uint64_t cluster_bytes = uint64_t(boot.sectors_per_cluster) * ondisk::sector_bytes;
    if (free_clusters == ondisk::fsinfo::unknown || free_clusters * cluster_bytes > size)
        return false;
    *free_bytes = free_clusters * cluster_bytes;
    return true;
}

// Free bytes of an unmounted exFAT volume from its allocation bitmap, which
// formatters write as one run of clusters at the heap's start. Returns false
// when it cannot tell.
bool exfat_free_bytes(const std::string& disk_path, uint64_t start, uint64_t size, uint64_t* free_bytes)
{
    const byte_source_ptr dev = open_byte_source(disk_path, nullptr);
    uint8_t boot[512];
    if (!dev || dev->read_at(start, boot, sizeof boot) != int64_t(sizeof boot))
        return false;
    const unsigned sector_shift = boot[108], cluster_shift = boot[109];
    if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0 || sector_shift < 9 || sector_shift > 12 ||
        cluster_shift > 25 - sector_shift)
        return false;
    const uint64_t cluster_bytes = uint64_t{1} << (sector_shift + cluster_shift);
    const uint64_t heap = uint64_t{le32(boot + 88)} << sector_shift;
    const uint64_t count = le32(boot + 92), root = le32(boot + 96);
    if (count == 0 || root < 2 || root - 2 >= count || heap + count * cluster_bytes > size)
        return false;
    const auto cluster_at = [&](uint64_t c) { return start + heap + (c - 2) * cluster_bytes; };

    // The bitmap's entry is among the root's first few.
    std::vector<uint8_t> dir(size_t(std::min<uint64_t>(cluster_bytes, 4096)));
    if (dev->read_at(cluster_at(root), dir.data(), dir.size()) != int64_t(dir.size()))
        return false;
    const uint64_t needed = (count + 7) / 8;
    for (size_t at = 0; at + 32 <= dir.size() && dir[at] != 0; at += 32) {
        const uint8_t* e = dir.data() + at;
        if (e[0] != 0x81 || (e[1] & 1))
            continue;
        const uint64_t first = le32(e + 20);
        if (first < 2 || first - 2 >= count || le64(e + 24) < needed ||
            (first - 2) * cluster_bytes + needed > count * cluster_bytes)
            return false;
        uint64_t used = 0;
        std::vector<uint8_t> chunk(64 * 1024);
        for (uint64_t done = 0; done < needed;) {
            const size_t piece = size_t(std::min<uint64_t>(chunk.size(), needed - done));
            if (dev->read_at(cluster_at(first) + done, chunk.data(), piece) != int64_t(piece))
                return false;
            for (size_t i = 0; i < piece; ++i) {
                uint8_t byte = chunk[i];
                if (done + i == needed - 1 && count % 8)
                    byte &= uint8_t((1u << (count % 8)) - 1);  // bits past the last cluster
                used += unsigned(std::popcount(byte));
            }
            done += piece;
        }
        *free_bytes = (count - used) * cluster_bytes;
        return true;
    }
    return false;
}

void fill_sizes(platform_volume_s& v, uint64_t start, uint64_t size)
{
    v.total_bytes = size;
    v.free_bytes = 0;
    v.free_space_known = false;
    if (v.mounted) {
        struct statvfs st {};
        if (::statvfs(v.root_path.c_str(), &st) == 0) {
            v.total_bytes = uint64_t(st.f_blocks) * st.f_frsize;
            v.free_bytes = uint64_t(st.f_bfree) * st.f_frsize;
            v.free_space_known = true;
        }
        return;
    }
    if (v.file_system == "FAT32") {
        uint64_t free_bytes = 0;
        if (fat32_free_bytes(v.disk_path, start, size, &free_bytes)) {
            v.free_bytes = free_bytes;
            v.free_space_known = true;
        }
    }
    if (v.file_system == "exFAT") {
        uint64_t free_bytes = 0;
        if (exfat_free_bytes(v.disk_path, start, size, &free_bytes)) {
            v.free_bytes = free_bytes;
            v.free_space_known = true;
        }
    }
}

platform_volume_s make_volume(const drive_entry_s& drive, int disk_number, int partition_number,
                              uint64_t start, uint64_t size, const filesystem_info_s& fs)
{
    platform_volume_s v;
    v.disk_path = drive.device_path;
    v.disk_number = disk_number;
    v.partition_number = partition_number;
    v.start_bytes = start;
    v.removable = drive.removable;
    v.label = fs.label;
    v.file_system = display_filesystem_name(fs);
    v.other_signatures = fs.other_signatures;
    if (drive.is_image) {
        v.device_path = drive.device_path + ":p" + std::to_string(partition_number);
        v.dos_device = drive.name + ":p" + std::to_string(partition_number);
    } else {
        std::string node = partition_number == 0 ? drive.name : partition_node(drive.name, partition_number);
        if (node.empty()) {
            // No kernel node (a loop device bound without partition scanning):
            // the partition is still readable through a window onto the disk.
            v.device_path = drive.device_path + ":p" + std::to_string(partition_number);
            v.dos_device = drive.name + ":p" + std::to_string(partition_number);
        } else {
            v.device_path = "/dev/" + node;
            v.dos_device = node;
            const std::string mount = mount_point_of(v.device_path);
            if (!mount.empty()) {
                v.mounted = true;
                v.root_path = mount == "/" ? "/" : mount + "/";
            }
        }
    }
    if (v.root_path.empty())
        v.root_path = v.device_path + "/";
    fill_sizes(v, start, size);
    return v;
}

bool readable_by_us(const std::string& device_path) { return ::access(device_path.c_str(), R_OK) == 0; }

// A disk this process may not read: its partitions as the kernel lists them
// (sysfs counts in 512-byte units whatever the sector size), or the whole disk.
void locked_volumes_of_drive(const drive_entry_s& drive, int disk_number, std::vector<platform_volume_s>& out)
{
    const std::string sys = "/sys/block/" + drive.name;
    const auto sectors = [](const std::string& path) { return std::strtoull(read_sys_line(path).c_str(), nullptr, 10); };
    std::vector<std::pair<int, std::string>> parts;
    if (DIR* dir = opendir(sys.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string child = entry->d_name;
            if (child.rfind(drive.name, 0) != 0)
                continue;
            const std::string number = read_sys_line(sys + "/" + child + "/partition");
            if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos && number.size() < 4)
                parts.emplace_back(std::atoi(number.c_str()), child);
        }
        closedir(dir);
    }
    std::sort(parts.begin(), parts.end());
    const filesystem_info_s unknown;
    for (const auto& [number, child] : parts) {
        const std::string base = sys + "/" + child;
        platform_volume_s v = make_volume(drive, disk_number, number, sectors(base + "/start") * 512,
                                          sectors(base + "/size") * 512, unknown);
        v.locked = true;
        out.push_back(std::move(v));
    }
    if (parts.empty()) {
        platform_volume_s v = make_volume(drive, disk_number, 0, 0, sectors(sys + "/size") * 512, unknown);
        v.locked = true;
        out.push_back(std::move(v));
    }
}

void volumes_of_drive(const drive_entry_s& drive, int disk_number, std::vector<platform_volume_s>& out)
{
    if (!drive.is_image && !readable_by_us(drive.device_path)) {
        locked_volumes_of_drive(drive, disk_number, out);
        return;
    }
    const auto parts = read_partitions(drive.device_path);
    if (!parts.empty()) {
        for (const auto& p : parts) {
            filesystem_info_s fs;
            probe_filesystem(drive.device_path, p.start_bytes, p.size_bytes, &fs);
            out.push_back(make_volume(drive, disk_number, p.number, p.start_bytes, p.size_bytes, fs));
        }
        return;
    }
    const byte_source_ptr dev = open_byte_source(drive.device_path, nullptr);
    const uint64_t size = dev ? dev->size() : 0;
    filesystem_info_s fs;
    if (has_partition_table(drive.device_path)) {
        // An empty table is nothing to offer, unless sector 0 is in truth
        // the boot sector of a whole-disk volume we read: libblkid takes an
        // exFAT boot sector, which ends like a table, for an empty one.
        if (!dev || !probe_filesystem(*dev, 0, 0, &fs))
            return;
        // libblkid, where it agrees, knows the label too.
        if (filesystem_info_s named; probe_filesystem(drive.device_path, 0, 0, &named) && named.type == fs.type)
            fs = named;
    } else if (!probe_filesystem(drive.device_path, 0, 0, &fs)) {
        return;
    }
    out.push_back(make_volume(drive, disk_number, 0, 0, size, fs));
}

}  // namespace

// /proc/self/mountinfo escapes blanks and a few other bytes as \ooo.
std::string unescape_mount_field(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string octal = field.substr(i + 1, 3);
            if (octal.size() == 3 && octal.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::strtol(octal.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::vector<platform_volume_s> list_volumes()
{
    std::vector<platform_volume_s> out;
    const auto table = drive_table();
    for (size_t i = 0; i < table.size(); ++i)
        volumes_of_drive(table[i], static_cast<int>(i), out);
    return out;
}

bool find_volume(const std::string& path, platform_volume_s* result)
{
    struct stat st {};
    std::string wanted = path;
    std::string image;
    int partition = 0;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        image = path;  // a plain image file names its whole-image volume
    else if (!split_image_volume_path(path, &image, &partition) || ::stat(image.c_str(), &st) != 0
             || !S_ISREG(st.st_mode))
        image.clear();
    if (!image.empty()) {
        // Image volumes are listed by absolute path; the user may give any.
        if (open_disk_image(image) != 0)
            return false;
        char* real = realpath(image.c_str(), nullptr);
        wanted = std::string(real ? real : image.c_str()) + ":p" + std::to_string(partition);
        std::free(real);
    }
    for (const auto& v : list_volumes()) {
        if (v.device_path == wanted) {
            if (result)
                *result = v;
            return true;
        }
    }
    // A whole partitioned image as one volume: offered on request only.
    if (split_image_volume_path(wanted, &image, &partition) && partition == 0) {
        const int disk = drive_number_of(image);
        if (disk < 0)
            return false;
        const auto drive = *drive_at(disk);
        filesystem_info_s fs;
        probe_filesystem(image, 0, 0, &fs);
        const byte_source_ptr dev = open_byte_source(image, nullptr);
        if (!dev)
            return false;
        if (result)
            *result = make_volume(drive, disk, 0, 0, dev->size(), fs);
        return true;
    }
    return false;
}

int locate_volume(const std::string& device_path, int* partition_number, int* disk_number, uint64_t* start_bytes)
{
    std::string disk;
    int partition = -1;
    uint64_t start = 0;
    if (split_image_volume_path(device_path, &disk, &partition)) {
        if (partition > 0) {
            bool found = false;
            for (const auto& p : read_partitions(disk))
                if (p.number == partition) {
                    start = p.start_bytes;
                    found = true;
                }
            if (!found)
                return -1;
        }
    } else {
        const std::string name = base_name(device_path);
        const std::string sys = "/sys/class/block/" + name;
        const std::string number = read_sys_line(sys + "/partition");
        if (!number.empty()) {
            partition = std::atoi(number.c_str());
            start = std::strtoull(read_sys_line(sys + "/start").c_str(), nullptr, 10) * 512;
            char* real = realpath(sys.c_str(), nullptr);
            if (!real)
                return -1;
            const std::string parent = base_name(std::string(real).substr(0, std::string(real).find_last_of('/')));
            std::free(real);
            disk = "/dev/" + parent;
        } else {
            partition = 0;
            disk = device_path;
        }
    }
    const int drive = drive_number_of(disk);
    if (drive < 0 || partition < 0)
        return -1;
    if (partition_number)
        *partition_number = partition;
    if (disk_number)
        *disk_number = drive;
    if (start_bytes)
        *start_bytes = start;
    return 0;
}

std::string mount_point_of(const std::string& block_device_path)
{
    struct stat st {};
    if (::stat(block_device_path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return {};
    const std::string wanted = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, mount_point;
        if (!(fields >> id >> parent >> devno >> root >> mount_point))
            continue;
        if (devno == wanted && root == "/")
            return unescape_mount_field(mount_point);
    }
    return {};
}

std::vector<std::string> mounted_parts_of_disk(const std::string& disk_path)
{
    struct stat st {};
    if (::stat(disk_path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return {};
    const auto devno = [](dev_t d) { return std::to_string(major(d)) + ":" + std::to_string(minor(d)); };
    // The disk's kernel name from its device number, whatever path named it.
    char link[4096] = {};
    const std::string sys_dev = "/sys/dev/block/" + devno(st.st_rdev);
    const ssize_t n = ::readlink(sys_dev.c_str(), link, sizeof link - 1);
    if (n <= 0)
        return {};
    const std::string name = base_name(std::string(link, size_t(n)));
    std::vector<std::pair<std::string, std::string>> parts{{devno(st.st_rdev), "/dev/" + name}};
    if (DIR* dir = opendir(("/sys/block/" + name).c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string child = entry->d_name;
            const std::string base = "/sys/block/" + name + "/" + child;
            if (child.rfind(name, 0) != 0 || read_sys_line(base + "/partition").empty())
                continue;
            parts.emplace_back(read_sys_line(base + "/dev"), "/dev/" + child);
        }
        closedir(dir);
    }
    std::vector<std::string> out;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, mount_devno, root, mount_point;
        if (!(fields >> id >> parent >> mount_devno >> root >> mount_point))
            continue;
        for (const auto& [part_devno, node] : parts)
            if (part_devno == mount_devno)
                out.push_back(node + " on " + unescape_mount_field(mount_point));
    }
    return out;
}

uint64_t device_number_of_path(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return static_cast<uint64_t>(st.st_dev);
}

uint64_t device_number_of_volume(const std::string& device_path)
{
    struct stat st {};
    if (::stat(device_path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
        return 0;  // image volumes never hold a destination folder
    return static_cast<uint64_t>(st.st_rdev);
}

}  // namespace platform
