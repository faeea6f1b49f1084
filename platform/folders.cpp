#include "platform/folders.h"

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string& data_override()
{
    static std::string dir;
    return dir;
}

std::string home()
{
    const char* h = std::getenv("HOME");
    return h && *h ? h : "/tmp";
}

// Creates every missing folder of path; returns path.
std::string make_path(const std::string& path)
{
    for (size_t pos = 1; pos != std::string::npos; pos = path.find('/', pos + 1)) {
        const std::string part = path.substr(0, pos);
        if (!part.empty())
            ::mkdir(part.c_str(), 0700);
    }
    ::mkdir(path.c_str(), 0700);
    return path;
}

std::string xdg(const char* variable, const std::string& fallback)
{
    const char* value = std::getenv(variable);
    // Relative values are invalid by the base-directory rules and ignored.
    if (value && value[0] == '/')
        return value;
    return home() + fallback;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string config_dir() { return make_path(xdg("XDG_CONFIG_HOME", "/.config") + "/Quarvel"); }
std::string state_dir() { return make_path(xdg("XDG_STATE_HOME", "/.local/state") + "/Quarvel"); }
std::string data_dir() { return make_path(xdg("XDG_DATA_HOME", "/.local/share") + "/Quarvel"); }

namespace {
// A folder only this user can enter: a real folder (not a link), theirs,
// that no one else may write to or list.
bool private_to_user(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}
}  // namespace

std::string runtime_dir()
{
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (value && value[0] == '/' && private_to_user(value))
        return value;
    // Without one of this user's (su and sudo may leave another's behind), a folder of this user's own in the temporary folder: what
    // is kept there (the single-instance lock, its socket) must never be
    // shared with, or blocked by, another user's copy.
    const char* tmp = std::getenv("TMPDIR");
    const std::string own = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/quarvel-" + std::to_string(::geteuid());
    ::mkdir(own.c_str(), 0700);
    if (private_to_user(own))
        return own;
    // Taken by someone else, or not ours to use: the state folder is the
    // user's own in any case.
    return state_dir();
}

std::string executable_dir()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return ".";
    std::string path(buffer, static_cast<size_t>(n));
    return path.substr(0, path.find_last_of('/'));
}

void set_program_data_dir(const std::string& dir) { data_override() = dir; }

std::string program_data_file(const std::string& name)
{
    std::vector<std::string> candidates;
    if (!data_override().empty())
        candidates.push_back(data_override() + "/" + name);
    const std::string exe = executable_dir();
    candidates.push_back(exe + "/" + name);
    candidates.push_back(exe + "/../share/quarvel/" + name);
    candidates.push_back("/usr/share/quarvel/" + name);
    for (const auto& c : candidates)
        if (exists(c))
            return c;
    return candidates.front();
}

std::string private_temp_dir()
{
    static std::once_flag once;
    static std::string dir;
    std::call_once(once, [] {
        // The person's own runtime folder where there is one: no other
        // account can even list it, and it goes at logout.
        std::string pattern = runtime_dir() + "/quarvel-preview-XXXXXX";
        if (char* made = ::mkdtemp(pattern.data()))
            dir = made;  // mkdtemp creates it with mode 0700
    });
    return dir;
}

}  // namespace platform
