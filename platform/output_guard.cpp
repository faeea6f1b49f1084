#include "platform/output_guard.h"

#include "platform/raw_device.h"
#include "platform/volumes.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utility>
#include <vector>

namespace platform {

namespace {

// Loop devices over partitions over mapped devices: a few levels at most; the
// bound only keeps a strange sysfs from walking forever.
constexpr int deepest_stack = 8;

struct file_id_s {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const file_id_s&) const = default;
};

// What a file system or a scanned volume is stored on, as far as sysfs and
// mountinfo tell: block devices, and regular files (images, loop devices'
// backing files).
struct backing_s {
    std::vector<dev_t> blocks;
    std::vector<file_id_s> files;
};

std::string device_number_text(dev_t device)
{
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::string sys_block_dir(dev_t device) { return "/sys/dev/block/" + device_number_text(device); }

std::string read_first_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool parse_device_number(const std::string& text, dev_t* device)
{
    unsigned major_number = 0;
    unsigned minor_number = 0;
    char colon = 0;
    std::istringstream in(text);
    if (!(in >> major_number >> colon >> minor_number) || colon != ':')
        return false;
    *device = makedev(major_number, minor_number);
    return true;
}

bool is_block_device_number(dev_t device)
{
    struct stat st {};
    return ::stat(sys_block_dir(device).c_str(), &st) == 0;
}

// The whole disk a partition lies on; false for a whole disk or when unknown.
bool parent_disk(dev_t device, dev_t* parent)
{
    const std::string dir = sys_block_dir(device);
    struct stat st {};
    if (::stat((dir + "/partition").c_str(), &st) != 0)
        return false;
    return parse_device_number(read_first_line(dir + "/../dev"), parent);
}

void add_block(dev_t device, backing_s& backing, int depth);

void add_path(const std::string& path, backing_s& backing, int depth)
{
    struct stat st {};
    if (depth > deepest_stack || ::stat(path.c_str(), &st) != 0)
        return;
    if (S_ISBLK(st.st_mode))
        add_block(st.st_rdev, backing, depth + 1);
    else if (S_ISREG(st.st_mode) && std::find(backing.files.begin(), backing.files.end(), file_id_s{st.st_dev, st.st_ino}) == backing.files.end())
        backing.files.push_back({st.st_dev, st.st_ino});
}

void add_loop_backing_file(const std::string& block_dir, backing_s& backing, int depth)
{
    std::string file = read_first_line(block_dir + "/loop/backing_file");
    const std::string deleted = " (deleted)";
    if (file.size() > deleted.size() && file.compare(file.size() - deleted.size(), deleted.size(), deleted) == 0)
        file.resize(file.size() - deleted.size());
    if (!file.empty())
        add_path(file, backing, depth + 1);
}

void add_block(dev_t device, backing_s& backing, int depth)
{
    if (depth > deepest_stack || std::find(backing.blocks.begin(), backing.blocks.end(), device) != backing.blocks.end())
        return;
    backing.blocks.push_back(device);
    const std::string dir = sys_block_dir(device);
    add_loop_backing_file(dir, backing, depth);
    // A partition of a loop device keeps its bytes in the loop's file.
    dev_t parent = 0;
    if (parent_disk(device, &parent))
        add_loop_backing_file(sys_block_dir(parent), backing, depth);
    // Mapped and RAID devices name what they are built on.
    if (DIR* slaves = ::opendir((dir + "/slaves").c_str())) {
        while (const dirent* entry = ::readdir(slaves)) {
            if (entry->d_name[0] == '.')
                continue;
            dev_t slave = 0;
            if (parse_device_number(read_first_line(dir + "/slaves/" + entry->d_name + "/dev"), &slave))
                add_block(slave, backing, depth + 1);
        }
        ::closedir(slaves);
    }
}

// The device or image a volume path names, and what that is stored on.
backing_s source_backing(const std::string& scanned_device_path)
{
    std::string image;
    int partition = 0;
    backing_s source;
    add_path(split_image_volume_path(scanned_device_path, &image, &partition) ? image : scanned_device_path, source, 0);
    return source;
}

// What the file system with device number fs_device is stored on: the block
// device itself, and the source of every mount of it (a FUSE file system
// over an image file names the file).
backing_s file_system_backing(dev_t fs_device)
{
    backing_s fs;
    if (is_block_device_number(fs_device))
        add_block(fs_device, fs, 0);
    std::ifstream in("/proc/self/mountinfo");
    const std::string wanted = device_number_text(fs_device);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, number;
        if (!(fields >> id >> parent >> number) || number != wanted)
            continue;
        const size_t separator = line.find(" - ");
        if (separator == std::string::npos)
            continue;
        std::istringstream tail(line.substr(separator + 3));
        std::string type, mount_source;
        if (!(tail >> type >> mount_source))
            continue;
        mount_source = unescape_mount_field(mount_source);
        if (!mount_source.empty() && mount_source[0] == '/')
            add_path(mount_source, fs, 0);
    }
    return fs;
}

bool overlaps(const backing_s& a, const backing_s& b)
{
    for (const file_id_s& f : a.files)
        if (std::find(b.files.begin(), b.files.end(), f) != b.files.end())
            return true;
    // A partition overlaps its whole disk, not its sibling partitions.
    for (const dev_t x : a.blocks) {
        dev_t x_parent = 0;
        const bool x_is_partition = parent_disk(x, &x_parent);
        for (const dev_t y : b.blocks) {
            dev_t y_parent = 0;
            if (x == y || (x_is_partition && x_parent == y) || (parent_disk(y, &y_parent) && y_parent == x))
                return true;
        }
    }
    return false;
}

std::string parent_path(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

std::string refusal_for_file(const struct stat& st, const std::string& target, const backing_s& source)
{
    if (S_ISREG(st.st_mode)) {
        if (std::find(source.files.begin(), source.files.end(), file_id_s{st.st_dev, st.st_ino}) != source.files.end())
            return target + " is the scanned disk image itself";
        return {};
    }
    if (S_ISBLK(st.st_mode) && std::find(source.blocks.begin(), source.blocks.end(), st.st_rdev) != source.blocks.end())
        return target + " is the scanned device itself";
    if (S_ISBLK(st.st_mode))
        return target + " is a block device, not a regular file";
    return target + " is not a regular file";
}

std::string refusal_for_file_system(dev_t fs_device, const std::string& target, const backing_s& source)
{
    if (overlaps(source, file_system_backing(fs_device)))
        return target + " lies on a file system stored on the scanned device or image";
    return {};
}

}  // namespace

std::string output_refusal(const std::string& target, const std::string& scanned_device_path, output_kind kind)
{
    if (target.empty())
        return "no place to write to was given";
    const backing_s source = source_backing(scanned_device_path);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (kind == output_kind::folder && !S_ISDIR(st.st_mode))
            return target + " is not a folder";
        if (kind == output_kind::file) {
            const std::string refusal = refusal_for_file(st, target, source);
            if (!refusal.empty())
                return refusal;
        }
        return refusal_for_file_system(st.st_dev, target, source);
    }
    // Not there yet: the file system it will be made on is that of the
    // nearest folder that exists.
    std::string existing = target;
    for (int steps = 0; steps < 4096; ++steps) {
        existing = parent_path(existing);
        if (::stat(existing.c_str(), &st) == 0)
            return refusal_for_file_system(st.st_dev, target, source);
        if (existing == "/" || existing == ".")
            break;
    }
    return {};
}

std::string open_output_refusal(int fd, const std::string& target, const std::string& scanned_device_path)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return target + " cannot be examined";
    const backing_s source = source_backing(scanned_device_path);
    const std::string refusal = refusal_for_file(st, target, source);
    return refusal.empty() ? refusal_for_file_system(st.st_dev, target, source) : refusal;
}

}  // namespace platform
