#include "platform/drive_table.h"
#include "platform/image_formats.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

struct table_state_s {
    std::mutex mutex;
    std::vector<drive_entry_s> block_devices;
    std::vector<drive_entry_s> images;
    bool scanned = false;
    bool block_enabled = true;
};

table_state_s& state()
{
    static table_state_s s;
    return s;
}

std::string read_sys_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool starts_with(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// Kernel names that are never disks a user recovers from: RAM-backed,
// optical, virtual stacking layers and floppies (whose probing stalls).
bool is_excluded_kind(const std::string& name)
{
    static const char* const excluded[] = {"ram", "zram", "sr", "dm-", "md", "fd", "nbd", "zd"};
    for (const char* prefix : excluded)
        if (starts_with(name, prefix))
            return true;
    return false;
}

std::vector<drive_entry_s> scan_sys_block()
{
    std::vector<drive_entry_s> found;
    DIR* dir = opendir("/sys/block");
    if (!dir)
        return found;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || is_excluded_kind(name))
            continue;
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const auto& name : names) {
        const std::string sys = "/sys/block/" + name;
        // A loop device counts only while a file is bound to it.
        if (starts_with(name, "loop") && read_sys_line(sys + "/loop/backing_file").empty())
            continue;
        // An empty card reader reports size 0: nothing to read there.
        const std::string sectors = read_sys_line(sys + "/size");
        if (sectors.empty() || std::strtoull(sectors.c_str(), nullptr, 10) == 0)
            continue;
        drive_entry_s d;
        d.device_path = "/dev/" + name;
        d.name = name;
        d.removable = read_sys_line(sys + "/removable") == "1";
        found.push_back(std::move(d));
    }
    return found;
}

bool block_devices_enabled_by_env()
{
    const char* off = std::getenv("QUARVEL_NO_BLOCK_DEVICES");
    return !(off && *off && std::string(off) != "0");
}

void ensure_scanned(table_state_s& s)
{
    if (s.scanned)
        return;
    s.scanned = true;
    if (s.block_enabled && block_devices_enabled_by_env())
        s.block_devices = scan_sys_block();
}

std::vector<drive_entry_s> combined(table_state_s& s)
{
    ensure_scanned(s);
    std::vector<drive_entry_s> all = s.block_devices;
    for (const auto& image : s.images) {
        if (all.size() >= static_cast<size_t>(max_drives))
            break;
        all.push_back(image);
    }
    if (all.size() > static_cast<size_t>(max_drives))
        all.resize(max_drives);
    return all;
}

std::string absolute_path(const std::string& path)
{
    if (char* real = realpath(path.c_str(), nullptr)) {
        std::string out = real;
        std::free(real);
        return out;
    }
    return path;
}

}  // namespace

std::vector<drive_entry_s> drive_table()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return combined(s);
}

std::optional<drive_entry_s> drive_at(int number)
{
    auto table = drive_table();
    if (number < 0 || static_cast<size_t>(number) >= table.size())
        return std::nullopt;
    return table[static_cast<size_t>(number)];
}

int drive_number_of(const std::string& device_path)
{
    auto table = drive_table();
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i].device_path == device_path)
            return static_cast<int>(i);
    return -1;
}

void rescan_block_devices()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.scanned = false;
    s.block_devices.clear();
    ensure_scanned(s);
}

int open_disk_image(const std::string& path, std::string* error)
{
    auto set_error = [&](const std::string& message) {
        if (error)
            *error = message;
        return -1;
    };
    if (path.empty())
        return set_error("no disk image given");
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return set_error("cannot open disk image \"" + path + "\": no such file");
    if (S_ISDIR(st.st_mode))
        return set_error("cannot open disk image \"" + path + "\": it is a folder, not a file");
    if (!S_ISREG(st.st_mode))
        return set_error("cannot open disk image \"" + path + "\": not a regular file");
    if (access(path.c_str(), R_OK) != 0)
        return set_error("cannot open disk image \"" + path + "\": permission denied");
    if (st.st_size == 0)
        return set_error("cannot open disk image \"" + path + "\": the file is empty");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return set_error("cannot open disk image \"" + path + "\": permission denied");
    ::close(fd);
    // A damaged container is refused here, with the reason, rather than
    // offered as a drive that holds nothing.
    std::string damaged;
    if (!open_container(path, &damaged) && !damaged.empty())
        return set_error(damaged);

    const std::string absolute = absolute_path(path);
    auto& s = state();
    std::lock_guard lock(s.mutex);
    ensure_scanned(s);
    for (const auto& image : s.images)
        if (image.device_path == absolute)
            return 0;
    if (s.block_devices.size() + s.images.size() >= static_cast<size_t>(max_drives))
        return set_error("cannot open disk image \"" + path + "\": ten drives are already open");
    drive_entry_s d;
    d.device_path = absolute;
    d.name = absolute.substr(absolute.find_last_of('/') + 1);
    d.is_image = true;
    d.removable = true;
    s.images.push_back(std::move(d));
    return 0;
}

void close_disk_images()
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.images.clear();
}

namespace {
uint64_t sysfs_number(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "re");
    if (!f)
        return 0;
    unsigned long long value = 0;
    if (std::fscanf(f, "%llu", &value) != 1)
        value = 0;
    std::fclose(f);
    return value;
}
}  // namespace

uint64_t block_device_size_from_sysfs(const std::string& name)
{
    // Counted in 512-byte units whatever the device's sector size.
    const uint64_t sectors = sysfs_number("/sys/block/" + name + "/size");
    return sectors > UINT64_MAX / 512 ? 0 : sectors * 512;
}

uint32_t block_device_sector_size_from_sysfs(const std::string& name)
{
    const uint64_t size = sysfs_number("/sys/block/" + name + "/queue/logical_block_size");
    return size >= 512 && size <= 4096 && (size & (size - 1)) == 0 ? uint32_t(size) : 512;
}

void set_block_devices_enabled(bool enabled)
{
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.block_enabled = enabled;
    s.scanned = false;
    s.block_devices.clear();
}

}  // namespace platform
