#include "platform/invoking_user.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// A decimal id and nothing else; 0 (root itself) and the "no id" value are
// not a user to hand anything to.
bool parse_id(const char* text, unsigned long* id)
{
    if (!text || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != 0 || value == 0 || value >= UINT_MAX)
        return false;
    *id = value;
    return true;
}

}  // namespace

bool invoking_user(uid_t* uid, gid_t* gid)
{
    if (::geteuid() != 0)
        return false;
    unsigned long user = 0;
    unsigned long group = 0;
    if (parse_id(std::getenv("SUDO_UID"), &user)) {
        if (!parse_id(std::getenv("SUDO_GID"), &group))
            group = user;
    } else if (parse_id(std::getenv("PKEXEC_UID"), &user)) {
        std::vector<char> buffer(16384);
        passwd entry {};
        passwd* found = nullptr;
        if (::getpwuid_r(static_cast<uid_t>(user), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
            group = found->pw_gid;
        else
            group = user;
    } else {
        return false;
    }
    *uid = static_cast<uid_t>(user);
    *gid = static_cast<gid_t>(group);
    return true;
}

void hand_to_invoking_user(const std::string& path)
{
    uid_t uid = 0;
    gid_t gid = 0;
    if (invoking_user(&uid, &gid))
        (void)::lchown(path.c_str(), uid, gid);
}

void hand_to_invoking_user(int fd)
{
    uid_t uid = 0;
    gid_t gid = 0;
    if (fd >= 0 && invoking_user(&uid, &gid))
        (void)::fchown(fd, uid, gid);
}

bool make_folder_for_user(const std::string& folder)
{
    if (folder.empty())
        return false;
    // Each prefix ending before a '/', then the folder itself.
    for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string prefix = end == std::string::npos ? folder : folder.substr(0, end);
        if (!prefix.empty() && prefix.back() != '/') {
            if (::mkdir(prefix.c_str(), 0777) == 0)
                hand_to_invoking_user(prefix);
            else if (errno != EEXIST)
                return false;
        }
        if (end == std::string::npos)
            break;
    }
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace platform
