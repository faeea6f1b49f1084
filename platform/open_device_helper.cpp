// quarvel-open-device read|read-write /dev/NODE
//
// Started through pkexec, as root, by a Quarvel process that was refused a
// disk. It opens one whole disk or partition and hands the descriptor back
// over its standard output, which must be a Unix socket; it reads nothing,
// writes nothing to the device and takes no other input. Everything it is
// given comes from an unprivileged caller and is checked as hostile.
#include "platform/device_access.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

int refuse(const std::string& why, int status = 1)
{
    std::fprintf(stderr, "quarvel-open-device: %s\n", why.c_str());
    return status;
}

// "disk" or "partition" from the kernel's own record of the device; anything
// else (or none) is refused.
std::string device_type(dev_t rdev)
{
    const std::string uevent = "/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)) + "/uevent";
    FILE* f = std::fopen(uevent.c_str(), "re");
    if (!f)
        return {};
    char line[256];
    std::string type;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "DEVTYPE=", 8) == 0) {
            type = line + 8;
            while (!type.empty() && (type.back() == '\n' || type.back() == '\r'))
                type.pop_back();
        }
    }
    std::fclose(f);
    return type;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return refuse("usage: quarvel-open-device read|read-write /dev/NODE", 2);
    const std::string mode = argv[1];
    if (mode != "read" && mode != "read-write")
        return refuse("the mode must be read or read-write", 2);
    const std::string given = argv[2];
    if (given.rfind("/dev/", 0) != 0)
        return refuse(given + " is not under /dev");

    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) != 0 || !S_ISSOCK(out.st_mode))
        return refuse("the standard output must be a socket");

    // Links inside /dev (by-id, by-label) are followed; one that leads out is refused.
    char resolved[PATH_MAX];
    if (!::realpath(given.c_str(), resolved))
        return refuse(given + ": " + std::strerror(errno));
    const std::string node = resolved;
    if (node.rfind("/dev/", 0) != 0)
        return refuse(given + " leads out of /dev");
    struct stat st {};
    if (::lstat(node.c_str(), &st) != 0)
        return refuse(node + ": " + std::strerror(errno));
    if (!S_ISBLK(st.st_mode))
        return refuse(node + " is not a block device");
    const std::string type = device_type(st.st_rdev);
    if (type != "disk" && type != "partition")
        return refuse(node + " is neither a whole disk nor a partition");

    // The repair's write claims the device, so it fails while anything holds it.
    const int flags = mode == "read" ? O_RDONLY : (O_RDWR | O_EXCL);
    const int fd = ::open(node.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0 && errno == EBUSY)
        return refuse("cannot open " + node + " for writing: it is in use (a partition of it is mounted or held)");
    if (fd < 0)
        return refuse("cannot open " + node + ": " + std::strerror(errno));
    // The node could have been swapped between the checks and the open.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISBLK(opened.st_mode) || opened.st_rdev != st.st_rdev) {
        ::close(fd);
        return refuse(node + " changed while it was opened");
    }
    if (!platform::send_descriptor(STDOUT_FILENO, fd)) {
        ::close(fd);
        return refuse(std::string("cannot hand the descriptor back: ") + std::strerror(errno));
    }
    ::close(fd);
    return 0;
}
