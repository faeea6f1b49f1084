#include "platform/output_guard.h"

#include "platform/raw_device.h"
#include "platform/volumes.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/loop.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform {

namespace {

// Loop devices over partitions over mapped devices, overlays over overlays:
// a few levels at most; the bound only keeps a strange system from walking
// forever.
constexpr int deepest_stack = 8;

// /dev/fuse: a process holding it serves FUSE file systems.
const dev_t fuse_device = makedev(10, 229);

struct file_id_s {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const file_id_s&) const = default;
};

// One line of /proc/self/mountinfo.
struct mount_s {
    dev_t device = 0;
    std::string mount_point;
    std::string type;
    std::string source;
    std::string options;  // the file system's own options
};

// What a file system or a scanned volume is stored on, as far as sysfs,
// the loop driver and mountinfo tell: block devices, regular files
// (images, loop devices' backing files), and whether a FUSE process serves
// it (then its backing is whatever that process reads, which the kernel
// does not say).
struct backing_s {
    std::vector<dev_t> blocks;
    std::vector<file_id_s> files;
    bool fuse = false;
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

std::vector<mount_s> read_mounts()
{
    std::vector<mount_s> mounts;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, number, root, mount_point;
        mount_s m;
        if (!(fields >> id >> parent >> number >> root >> mount_point) || !parse_device_number(number, &m.device))
            continue;
        const size_t separator = line.find(" - ");
        if (separator == std::string::npos)
            continue;
        std::istringstream tail(line.substr(separator + 3));
        if (!(tail >> m.type >> m.source >> m.options))
            continue;
        m.mount_point = unescape_mount_field(mount_point);
        m.source = unescape_mount_field(m.source);
        mounts.push_back(std::move(m));
    }
    return mounts;
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

void add_file(const file_id_s& id, backing_s& backing)
{
    if (std::find(backing.files.begin(), backing.files.end(), id) == backing.files.end())
        backing.files.push_back(id);
}

void add_block(dev_t device, backing_s& backing, int depth);

void add_path(const std::string& path, backing_s& backing, int depth)
{
    struct stat st {};
    if (depth > deepest_stack || ::stat(path.c_str(), &st) != 0)
        return;
    if (S_ISBLK(st.st_mode))
        add_block(st.st_rdev, backing, depth + 1);
    else if (S_ISREG(st.st_mode))
        add_file({st.st_dev, st.st_ino}, backing);
}

// A device node for a device number: udev's /dev/block/M:m link, else the
// kernel's name for it.
std::string device_node(dev_t device)
{
    const std::string by_number = "/dev/block/" + device_number_text(device);
    struct stat st {};
    if (::stat(by_number.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device)
        return by_number;
    std::ifstream uevent(sys_block_dir(device) + "/uevent");
    for (std::string line; std::getline(uevent, line);)
        if (line.rfind("DEVNAME=", 0) == 0)
            return "/dev/" + line.substr(8);
    return {};
}

// The file a loop device reads, by the identity the loop driver holds (it
// survives a rename of the file, which the path in sysfs may not); the path
// in sysfs as well, for a driver that cannot be asked.
void add_loop_backing_file(dev_t loop, backing_s& backing, int depth)
{
    const std::string dir = sys_block_dir(loop);
    struct stat st {};
    if (::stat((dir + "/loop").c_str(), &st) != 0)
        return;
    if (const std::string node = device_node(loop); !node.empty()) {
        const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            loop_info64 info {};
            if (::ioctl(fd, LOOP_GET_STATUS64, &info) == 0)
                add_file({static_cast<dev_t>(info.lo_device), static_cast<ino_t>(info.lo_inode)}, backing);
            ::close(fd);
        }
    }
    std::string file = read_first_line(dir + "/loop/backing_file");
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
    add_loop_backing_file(device, backing, depth);
    // A partition of a loop device keeps its bytes in the loop's file.
    dev_t parent = 0;
    if (parent_disk(device, &parent))
        add_loop_backing_file(parent, backing, depth);
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

// The folders an overlay is made of, from its options: upperdir, workdir
// and each layer of lowerdir (':' between layers, "\:" inside a name).
// Commas and blanks inside a value come octal-escaped.
std::vector<std::string> overlay_layers(const std::string& options)
{
    std::vector<std::string> folders;
    std::istringstream in(options);
    for (std::string option; std::getline(in, option, ',');) {
        const size_t equals = option.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = option.substr(0, equals);
        if (!key.empty() && key.back() == '+')
            key.pop_back();  // "lowerdir+=", one layer each
        if (key != "lowerdir" && key != "upperdir" && key != "workdir" && key != "datadir")
            continue;
        const std::string value = unescape_mount_field(option.substr(equals + 1));
        std::string folder;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) {
                folder += value[++i];
            } else if (value[i] == ':' && key == "lowerdir") {
                folders.push_back(folder);
                folder.clear();
            } else {
                folder += value[i];
            }
        }
        folders.push_back(folder);
    }
    return folders;
}

// What the file system with device number fs_device is stored on: the block
// device itself, and the source of every mount of it (a FUSE file system
// over an image file names the file); for an overlay, what each of its
// folders lies on.
void add_file_system(dev_t fs_device, const std::vector<mount_s>& mounts, backing_s& fs, std::vector<dev_t>& seen,
                     int depth)
{
    if (depth > deepest_stack || std::find(seen.begin(), seen.end(), fs_device) != seen.end())
        return;
    seen.push_back(fs_device);
    if (is_block_device_number(fs_device))
        add_block(fs_device, fs, 0);
    for (const mount_s& m : mounts) {
        if (m.device != fs_device)
            continue;
        if (m.type == "fuse" || m.type == "fuseblk" || m.type.rfind("fuse.", 0) == 0)
            fs.fuse = true;
        if (!m.source.empty() && m.source[0] == '/')
            add_path(m.source, fs, 0);
        if (m.type != "overlay")
            continue;
        for (const std::string& folder : overlay_layers(m.options)) {
            struct stat st {};
            if (!folder.empty() && ::stat(folder.c_str(), &st) == 0)
                add_file_system(st.st_dev, mounts, fs, seen, depth + 1);
        }
    }
}

backing_s file_system_backing(dev_t fs_device, const std::vector<mount_s>& mounts)
{
    backing_s fs;
    std::vector<dev_t> seen;
    add_file_system(fs_device, mounts, fs, seen, 0);
    return fs;
}

bool stored_on(const backing_s& fs, const backing_s& source)
{
    for (const file_id_s& f : fs.files)
        if (std::find(source.files.begin(), source.files.end(), f) != source.files.end())
            return true;
    // A partition overlaps its whole disk, not its sibling partitions.
    for (const dev_t x : source.blocks) {
        dev_t x_parent = 0;
        const bool x_is_partition = parent_disk(x, &x_parent);
        for (const dev_t y : fs.blocks) {
            dev_t y_parent = 0;
            if (x == y || (x_is_partition && x_parent == y) || (parent_disk(y, &y_parent) && y_parent == x))
                return true;
        }
    }
    return false;
}

// Another process that has the source open.
struct holder_s {
    int pid = 0;
    std::string name;     // its command name
    bool writes = false;  // opened for writing
    bool serves_fuse = false;
};

bool is_source_file(const struct stat& st, const backing_s& source)
{
    if (S_ISREG(st.st_mode))
        return std::find(source.files.begin(), source.files.end(), file_id_s{st.st_dev, st.st_ino}) != source.files.end();
    if (S_ISBLK(st.st_mode)) {
        backing_s one;
        one.blocks.push_back(st.st_rdev);
        return stored_on(one, source);
    }
    return false;
}

// The processes other than this one that hold the source open, found by
// the identity of each open file (a rename or a second name does not hide
// it). Processes whose open files may not be read are passed over.
std::vector<holder_s> source_holders(const backing_s& source)
{
    std::vector<holder_s> holders;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return holders;
    const int self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != 0 || pid <= 0 || pid == self)
            continue;
        const std::string dir = "/proc/" + std::string(entry->d_name);
        DIR* fds = ::opendir((dir + "/fd").c_str());
        if (!fds)
            continue;
        holder_s holder;
        bool holds = false;
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            const std::string link = dir + "/fd/" + fd->d_name;
            char target[16] = {};
            // Sockets, pipes and the like are no file; they are not looked up.
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && target[0] != '/')
                continue;
            struct stat st {};
            if (::stat(link.c_str(), &st) != 0)
                continue;
            if (S_ISCHR(st.st_mode) && st.st_rdev == fuse_device) {
                holder.serves_fuse = true;
            } else if (is_source_file(st, source)) {
                holds = true;
                std::ifstream info(dir + "/fdinfo/" + fd->d_name);
                for (std::string line; std::getline(info, line);)
                    if (line.rfind("flags:", 0) == 0)
                        holder.writes = holder.writes || (std::strtoul(line.c_str() + 6, nullptr, 8) & O_ACCMODE) != O_RDONLY;
            }
        }
        ::closedir(fds);
        if (holds) {
            holder.pid = static_cast<int>(pid);
            holder.name = read_first_line(dir + "/comm");
            holders.push_back(holder);
        }
    }
    ::closedir(proc);
    return holders;
}

std::string holder_text(const holder_s& h) { return h.name + " (pid " + std::to_string(h.pid) + ")"; }

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
    const backing_s fs = file_system_backing(fs_device, read_mounts());
    if (stored_on(fs, source))
        return target + " lies on a file system stored on the scanned device or image";
    if (!fs.fuse)
        return {};
    // Which process serves which FUSE mount the kernel does not say: while
    // one that serves FUSE file systems reads the source, or anyone may be
    // writing it, any FUSE mount may be stored on it.
    for (const holder_s& h : source_holders(source)) {
        if (h.serves_fuse)
            return target + " lies on a FUSE file system, and " + holder_text(h) +
                   ", which serves FUSE file systems, has the scanned device or image open";
        if (h.writes)
            return target + " lies on a FUSE file system, and " + holder_text(h) +
                   " has the scanned device or image open for writing";
    }
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

std::string folder_guard_c::refusal(int parent_fd, int folder_fd, const std::string& shown, bool* mount_point)
{
    if (mount_point)
        *mount_point = false;
    struct stat folder {}, parent {};
    if (::fstat(folder_fd, &folder) != 0 || (parent_fd >= 0 && ::fstat(parent_fd, &parent) != 0))
        return shown + " cannot be examined";
    if (!S_ISDIR(folder.st_mode))
        return shown + " is not a folder";
    if (parent_fd >= 0 && folder.st_dev != parent.st_dev) {
        if (mount_point)
            *mount_point = true;
        return shown + " is a mount point (another file system than the folder it lies in)";
    }
    const auto now = std::chrono::steady_clock::now();
    if (passed_ && passed_device_ == folder.st_dev && now - passed_at_ < std::chrono::seconds(1))
        return {};
    passed_ = false;
    const std::string why = refusal_for_file_system(folder.st_dev, shown, source_backing(source_));
    if (why.empty()) {
        passed_ = true;
        passed_device_ = folder.st_dev;
        passed_at_ = now;
    }
    return why;
}

std::vector<std::string> mounts_stored_on(const std::string& source_path)
{
    std::vector<std::string> found;
    const backing_s source = source_backing(source_path);
    if (source.files.empty() && source.blocks.empty())
        return found;
    const std::vector<mount_s> mounts = read_mounts();
    for (const mount_s& m : mounts) {
        if (!stored_on(file_system_backing(m.device, mounts), source))
            continue;
        const std::string text = (m.source.empty() ? m.type : m.source) + " on " + m.mount_point;
        if (std::find(found.begin(), found.end(), text) == found.end())
            found.push_back(text);
    }
    for (const holder_s& h : source_holders(source))
        if (h.serves_fuse)
            found.push_back("a FUSE file system served by " + holder_text(h));
    return found;
}

}  // namespace platform
