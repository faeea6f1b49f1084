#include "platform/device_access.h"
#include "platform/folders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {

namespace {

constexpr const char* helper_name = "quarvel-open-device";

std::mutex& source_mutex()
{
    static std::mutex m;
    return m;
}

descriptor_source& installed_source()
{
    static descriptor_source source;
    return source;
}

bool executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

bool on_path(const char* program)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        if (end > start && executable(dirs.substr(start, end - start) + "/" + program))
            return true;
        start = end + 1;
    }
    return false;
}

// The last line the helper wrote, capped: it is shown to the person.
std::string last_line(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    const size_t cut = text.find_last_of('\n');
    if (cut != std::string::npos)
        text.erase(0, cut + 1);
    if (text.size() > 300)
        text.resize(300);
    return text;
}

}  // namespace

void set_descriptor_source(descriptor_source source)
{
    std::lock_guard lock(source_mutex());
    installed_source() = std::move(source);
}

std::string device_helper_path()
{
    const std::string exe = executable_dir();
    for (const std::string& candidate :
         {exe + "/" + helper_name, exe + "/../libexec/quarvel/" + helper_name}) {
        if (!executable(candidate))
            continue;
        // pkexec wants an absolute path, and its policy names the real one.
        char* real = ::realpath(candidate.c_str(), nullptr);
        if (!real)
            continue;
        std::string result = real;
        std::free(real);
        return result;
    }
    return {};
}

bool refusal_is_access(open_refusal_e refusal)
{
    return refusal != open_refusal_e::none && refusal != open_refusal_e::other;
}

std::string with_way_out(const std::string& reason, open_refusal_e refusal)
{
    if (!refusal_is_access(refusal))
        return reason;
    return reason + "; run as a user with access to the disk (root, or a member of the disk group), or open an "
                    "image of it made by such a user (--image FILE)";
}

open_refusal_e pkexec_refusal(int exit_status, const std::string& said)
{
    auto says = [&](const char* words) { return said.find(words) != std::string::npos; };
    if (says("No authentication agent"))
        return open_refusal_e::no_agent;
    if (says("Request dismissed") || exit_status == 126)
        return open_refusal_e::dismissed;
    // polkit itself is not running (or no system bus): nobody can be asked.
    if (says("Error getting authority") || says("polkit"))
        return open_refusal_e::no_way_to_ask;
    if (says("Not authorized") || exit_status == 127)
        return open_refusal_e::not_authorized;
    return open_refusal_e::other;
}

int open_through_helper(const std::string& device, descriptor_mode mode, std::string* error,
                        const std::string& helper_given, const char* launcher, open_refusal_e* refusal)
{
    open_refusal_e ignored = open_refusal_e::none;
    open_refusal_e& kind = refusal ? *refusal : ignored;
    kind = open_refusal_e::other;
    const std::string helper = helper_given.empty() ? device_helper_path() : helper_given;
    if (helper.empty()) {
        kind = open_refusal_e::no_way_to_ask;
        if (error)
            *error = std::string("cannot open ") + device + ": permission denied, and neither udisks2 nor the helper " +
                     helper_name + " is there to ask for it";
        return -1;
    }
    const bool launched = launcher && *launcher;
    if (launched && !on_path(launcher)) {
        kind = open_refusal_e::no_way_to_ask;
        if (error)
            *error = "cannot open " + device + ": permission denied, and neither udisks2 nor " + launcher +
                     " is there to ask for it";
        return -1;
    }
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        if (error)
            *error = std::string("cannot open ") + device + ": " + std::strerror(errno);
        return -1;
    }
    int messages[2];
    if (::pipe2(messages, O_CLOEXEC) != 0) {
        ::close(sockets[0]);
        ::close(sockets[1]);
        if (error)
            *error = std::string("cannot open ") + device + ": " + std::strerror(errno);
        return -1;
    }
    // The helper answers on its standard output, a socket: pkexec closes
    // every other descriptor before it starts the helper.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, messages[1], STDERR_FILENO);
    const std::string mode_word = mode == descriptor_mode::read ? "read" : "read-write";
    std::vector<std::string> args;
    if (launched)
        args.emplace_back(launcher);
    args.push_back(helper);
    args.push_back(mode_word);
    args.push_back(device);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned = launched ? ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ)
                                 : ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(sockets[1]);
    ::close(messages[1]);
    if (spawned != 0) {
        ::close(sockets[0]);
        ::close(messages[0]);
        if (error)
            *error = "cannot start " + args.front() + ": " + std::strerror(spawned);
        return -1;
    }
    // Blocks while the password is asked for; ends when the helper sends or exits.
    const int fd = receive_descriptor(sockets[0]);
    ::close(sockets[0]);
    std::string said;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(messages[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (said.size() < 4096)
            said.append(buffer, static_cast<size_t>(n));
    }
    ::close(messages[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (fd >= 0) {
        kind = open_refusal_e::none;
        return fd;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // The helper's own refusals (not a disk, no such node) are not pkexec's.
    kind = launched && said.find("quarvel-open-device:") == std::string::npos ? pkexec_refusal(code, said)
                                                                               : open_refusal_e::other;
    if (error) {
        std::string why = last_line(said);
        // pkexec ends its "Not authorized" with a line that says nothing.
        switch (kind) {
        case open_refusal_e::no_agent:
            why = "no password prompt could be shown (no polkit authentication agent runs in this session)";
            break;
        case open_refusal_e::dismissed: why = "the password prompt was cancelled"; break;
        case open_refusal_e::not_authorized: why = "permission was refused"; break;
        case open_refusal_e::no_way_to_ask:
            why = "permission denied, and polkit is not running to ask for it (" + why + ")";
            break;
        default: break;
        }
        if (why.empty())
            why = "the helper gave no descriptor";
        *error = "cannot open " + device + ": " + why;
    }
    return -1;
}

int open_device_for_user(const std::string& device, descriptor_mode mode, std::string* error,
                         open_refusal_e* refusal)
{
    descriptor_source source;
    {
        std::lock_guard lock(source_mutex());
        source = installed_source();
    }
    if (source) {
        bool unavailable = false;
        std::string why;
        open_refusal_e kind = open_refusal_e::other;
        const int fd = source(device, mode, &why, &unavailable, &kind);
        if (fd >= 0 || !unavailable) {
            if (fd < 0 && error)
                *error = why;
            if (refusal)
                *refusal = fd >= 0 ? open_refusal_e::none : kind;
            return fd;
        }
    }
    // An administrator may name another helper or launcher (a helper installed
    // setuid needs none: QUARVEL_DEVICE_LAUNCHER set and empty).
    const char* helper = std::getenv("QUARVEL_DEVICE_HELPER");
    const char* launcher = std::getenv("QUARVEL_DEVICE_LAUNCHER");
    return open_through_helper(device, mode, error, helper && helper[0] == '/' ? helper : std::string(),
                               launcher ? launcher : "pkexec", refusal);
}

const char* root_not_needed_note()
{
    return "Running as root is not needed: disks are opened through udisks2 or pkexec when chosen.";
}

}  // namespace platform
