#include "platform/partitions.h"
#include "platform/image_formats.h"
#include "platform/raw_device.h"

#include <blkid/blkid.h>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// libblkid counts partition positions in 512-byte units whatever the disk's
// sector size.
constexpr uint64_t blkid_unit = 512;

uint64_t size_of_fd(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return 0;
    if (S_ISREG(st.st_mode))
        return static_cast<uint64_t>(st.st_size);
    uint64_t size = 0;
    if (S_ISBLK(st.st_mode) && ::ioctl(fd, BLKGETSIZE64, &size) == 0)
        return size;
    return 0;
}

struct probe_c {
    int fd = -1;
    blkid_probe pr = nullptr;
    uint64_t disk_size = 0;
    explicit probe_c(const std::string& path)
    {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        disk_size = size_of_fd(fd);
        pr = blkid_new_probe();
        if (pr && blkid_probe_set_device(pr, fd, 0, 0) != 0) {
            blkid_free_probe(pr);
            pr = nullptr;
        }
    }
    ~probe_c()
    {
        if (pr)
            blkid_free_probe(pr);
        if (fd >= 0)
            ::close(fd);
    }
    probe_c(const probe_c&) = delete;
    probe_c& operator=(const probe_c&) = delete;
};

bool overlaps(const partition_s& a, const partition_s& b)
{
    return a.start_bytes < b.start_bytes + b.size_bytes && b.start_bytes < a.start_bytes + a.size_bytes;
}

}  // namespace

std::vector<partition_s> read_partitions(const std::string& disk_path)
{
    if (byte_source_ptr inside = open_container(disk_path, nullptr))
        return read_partitions(*inside);
    std::vector<partition_s> result;
    probe_c probe(disk_path);
    if (!probe.pr || probe.disk_size == 0)
        return result;
    blkid_probe_enable_superblocks(probe.pr, 0);
    blkid_probe_enable_partitions(probe.pr, 1);
    blkid_probe_set_partitions_flags(probe.pr, BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(probe.pr);
    if (!list)
        return result;
    blkid_parttable table = blkid_partlist_get_table(list);
    const char* table_type = table ? blkid_parttable_get_type(table) : nullptr;
    const int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count && i < 256; ++i) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (!part || blkid_partition_is_extended(part))
            continue;
        const blkid_loff_t start = blkid_partition_get_start(part);
        const blkid_loff_t size = blkid_partition_get_size(part);
        const int number = blkid_partition_get_partno(part);
        if (start < 0 || size <= 0 || number <= 0)
            continue;
        partition_s p;
        p.number = number;
        p.table_type = table_type ? table_type : "";
        // Multiplying first could overflow on a hostile table; compare in sectors.
        const uint64_t disk_sectors = probe.disk_size / blkid_unit;
        if (static_cast<uint64_t>(start) >= disk_sectors)
            continue;  // starts past the end of the disk
        uint64_t sectors = static_cast<uint64_t>(size);
        if (sectors > disk_sectors - static_cast<uint64_t>(start))
            sectors = disk_sectors - static_cast<uint64_t>(start);  // clipped to the disk
        p.start_bytes = static_cast<uint64_t>(start) * blkid_unit;
        p.size_bytes = sectors * blkid_unit;
        bool clash = false;
        for (const auto& earlier : result)
            if (overlaps(earlier, p) || earlier.number == p.number)
                clash = true;
        if (!clash)
            result.push_back(p);
    }
    return result;
}

bool has_partition_table(const std::string& disk_path)
{
    if (byte_source_ptr inside = open_container(disk_path, nullptr))
        return has_partition_table(*inside);
    probe_c probe(disk_path);
    if (!probe.pr)
        return false;
    blkid_probe_enable_superblocks(probe.pr, 0);
    blkid_probe_enable_partitions(probe.pr, 1);
    blkid_partlist list = blkid_probe_get_partitions(probe.pr);
    return list && blkid_partlist_get_table(list) != nullptr;
}

namespace {

// Every file system libblkid finds in the window, the ambiguous ones too.
std::vector<std::string> blkid_types(int fd, uint64_t offset, uint64_t size)
{
    std::vector<std::string> types;
    blkid_probe pr = blkid_new_probe();
    if (pr && blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset), static_cast<blkid_loff_t>(size)) == 0) {
        blkid_probe_enable_partitions(pr, 0);
        blkid_probe_enable_superblocks(pr, 1);
        blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE);
        for (int guard = 0; guard < 16 && blkid_do_probe(pr) == 0; ++guard) {
            const char* value = nullptr;
            if (blkid_probe_lookup_value(pr, "TYPE", &value, nullptr) == 0 && value)
                types.emplace_back(value);
        }
    }
    if (pr)
        blkid_free_probe(pr);
    return types;
}

bool ours(const std::string& type) { return type == "vfat" || type == "ntfs" || type == "exfat"; }

}  // namespace

bool probe_filesystem(const std::string& disk_path, uint64_t offset, uint64_t size, filesystem_info_s* info)
{
    if (byte_source_ptr inside = open_container(disk_path, nullptr))
        return probe_filesystem(*inside, offset, size, info);
    const int fd = ::open(disk_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const uint64_t disk_size = size_of_fd(fd);
    bool found = false;
    filesystem_info_s fs;
    if (offset < disk_size) {
        if (size == 0 || size > disk_size - offset)
            size = disk_size - offset;
        blkid_probe pr = blkid_new_probe();
        if (pr && blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset), static_cast<blkid_loff_t>(size)) == 0) {
            blkid_probe_enable_partitions(pr, 0);
            blkid_probe_enable_superblocks(pr, 1);
            blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
            if (blkid_do_safeprobe(pr) == 0) {
                const char* value = nullptr;
                size_t length = 0;
                if (blkid_probe_lookup_value(pr, "TYPE", &value, &length) == 0 && value)
                    fs.type = value;
                if (blkid_probe_lookup_value(pr, "LABEL", &value, &length) == 0 && value)
                    fs.label = value;
                if (blkid_probe_lookup_value(pr, "VERSION", &value, &length) == 0 && value)
                    fs.fat_version = fs.type == "vfat" ? value : "";
                found = !fs.type.empty();
            }
        }
        if (pr)
            blkid_free_probe(pr);
        // libblkid names nothing when two signatures are found, or names the
        // other one; a sound boot sector of ours still makes the volume ours.
        raw_device_c dev;
        filesystem_info_s mine;
        if (!(found && ours(fs.type)) && dev.open(disk_path) == 0 && probe_filesystem(dev, offset, size, &mine)) {
            for (const std::string& type : blkid_types(fd, offset, size))
                if (type != mine.type && mine.other_signatures.find(type) == std::string::npos)
                    mine.other_signatures += (mine.other_signatures.empty() ? "" : ",") + type;
            fs = mine;
            found = true;
        }
    }
    ::close(fd);
    if (found && info)
        *info = fs;
    return found;
}

std::string display_filesystem_name(const filesystem_info_s& info)
{
    if (info.type == "vfat") {
        if (info.fat_version == "FAT12" || info.fat_version == "FAT16" || info.fat_version == "FAT32")
            return info.fat_version;
        return "FAT";
    }
    if (info.type == "ntfs")
        return "NTFS";
    if (info.type == "exfat")
        return "exFAT";
    return info.type;
}

}  // namespace platform
