#include "support/read_only_folder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace test_support {

read_only_folder_c::read_only_folder_c(const std::string& path) : path_(path)
{
    if (::geteuid() == 0) {
        if (::mount("tmpfs", path.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV, "size=64k") != 0) {
            failure_ = std::string("cannot mount a read-only tmpfs as root: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    } else if (::chmod(path.c_str(), 0555) != 0) {
        failure_ = std::string("cannot take the folder's write bits: ") + std::strerror(errno);
        return;
    }
    // Some file systems and security modules ignore either: checked, not assumed.
    const std::string probe = path + "/probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(probe.c_str());
        failure_ = "a file could still be created in the folder";
    }
}

read_only_folder_c::~read_only_folder_c()
{
    if (mounted_)
        ::umount2(path_.c_str(), MNT_DETACH);
    else
        ::chmod(path_.c_str(), 0755);
}

}  // namespace test_support
