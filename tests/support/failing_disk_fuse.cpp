// quarvel_failing_disk: serves a disk image through FUSE as a failing disk.
//
//   quarvel_failing_disk [--bad FIRST[-LAST],...] [--slow FIRST-LAST:MS]...
//                        [--sector-size N] IMAGE MOUNTPOINT
//
// MOUNTPOINT is an existing regular file; while the tool runs it reads as
// IMAGE (read-only), except that a read touching a --bad sector fails with
// EIO and a read touching a --slow range first sleeps MS milliseconds.
// Sectors are counted from 0 in units of --sector-size bytes (512). Reads
// bypass the page cache, so each one reaches this tool as the reader asked
// for it, and a bad sector fails every time, as on a dying disk.
//
// The tool stays in the foreground, prints "ready" on stdout once the file
// is served, and unmounts on SIGTERM or SIGINT. Exit status: 0 after an
// unmount, 1 when it cannot serve, 2 on a usage error, 77 when the system
// refused the mount (no FUSE for this user or in this container).
#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <cerrno>
#include <csignal>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct sector_range_s {
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive
    unsigned milliseconds = 0;
};

struct disk_s {
    int fd = -1;
    uint64_t size = 0;
    uint64_t sector = 512;
    std::vector<sector_range_s> bad;
    std::vector<sector_range_s> slow;
};

disk_s disk;

bool parse_number(std::string_view text, uint64_t* value)
{
    if (text.empty())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

// "FIRST" or "FIRST-LAST".
bool parse_range(std::string_view text, sector_range_s* range)
{
    const size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        if (!parse_number(text, &range->first))
            return false;
        range->last = range->first;
        return true;
    }
    return parse_number(text.substr(0, dash), &range->first) && parse_number(text.substr(dash + 1), &range->last) &&
           range->first <= range->last;
}

bool touches(const std::vector<sector_range_s>& ranges, uint64_t first, uint64_t last, unsigned* ms = nullptr)
{
    bool hit = false;
    for (const sector_range_s& r : ranges) {
        if (r.first > last || r.last < first)
            continue;
        hit = true;
        if (ms && r.milliseconds > *ms)
            *ms = r.milliseconds;
    }
    return hit;
}

int disk_getattr(const char* path, struct stat* st, fuse_file_info*)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = off_t(disk.size);
    st->st_blksize = blksize_t(disk.sector);
    st->st_blocks = blkcnt_t((disk.size + 511) / 512);
    st->st_uid = getuid();
    st->st_gid = getgid();
    return 0;
}

int disk_open(const char* path, fuse_file_info* fi)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

int disk_read(const char*, char* buffer, size_t length, off_t offset, fuse_file_info*)
{
    if (offset < 0)
        return -EINVAL;
    const uint64_t from = uint64_t(offset);
    if (from >= disk.size || length == 0)
        return 0;
    if (length > disk.size - from)
        length = size_t(disk.size - from);
    const uint64_t first = from / disk.sector, last = (from + length - 1) / disk.sector;
    unsigned ms = 0;
    if (touches(disk.slow, first, last, &ms))
        usleep(useconds_t(ms) * 1000);
    if (touches(disk.bad, first, last))
        return -EIO;
    size_t done = 0;
    while (done < length) {
        const ssize_t n = pread(disk.fd, buffer + done, length - done, off_t(from + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        done += size_t(n);
    }
    return int(done);
}

void* disk_init(fuse_conn_info*, fuse_config* config)
{
    config->direct_io = 1;
    config->kernel_cache = 0;
    config->attr_timeout = 3600;
    std::printf("ready\n");
    std::fflush(stdout);
    return nullptr;
}

int usage(const char* why)
{
    std::fprintf(stderr,
                 "quarvel_failing_disk: %s\n"
                 "usage: quarvel_failing_disk [--bad FIRST[-LAST],...] [--slow FIRST-LAST:MS]... "
                 "[--sector-size N] IMAGE MOUNTPOINT\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> places;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--bad" && has_value) {
            std::string_view list = argv[++i];
            while (!list.empty()) {
                const size_t comma = list.find(',');
                sector_range_s range;
                if (!parse_range(list.substr(0, comma), &range))
                    return usage("--bad takes FIRST[-LAST],...");
                disk.bad.push_back(range);
                list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
            }
        } else if (arg == "--slow" && has_value) {
            const std::string_view slow_arg = argv[++i];
            const size_t colon = slow_arg.find(':');
            sector_range_s range;
            uint64_t ms = 0;
            if (colon == std::string_view::npos || !parse_range(slow_arg.substr(0, colon), &range) ||
                !parse_number(slow_arg.substr(colon + 1), &ms) || ms > 600000)
                return usage("--slow takes FIRST-LAST:MS");
            range.milliseconds = unsigned(ms);
            disk.slow.push_back(range);
        } else if (arg == "--sector-size" && has_value) {
            if (!parse_number(argv[++i], &disk.sector) || disk.sector < 512 || disk.sector > 65536)
                return usage("--sector-size takes 512 to 65536");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage(("unknown option " + std::string(arg)).c_str());
        } else {
            places.emplace_back(arg);
        }
    }
    if (places.size() != 2)
        return usage("IMAGE and MOUNTPOINT are needed");

    disk.fd = open(places[0].c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (disk.fd < 0 || fstat(disk.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "quarvel_failing_disk: cannot read %s: %s\n", places[0].c_str(),
                     disk.fd < 0 ? std::strerror(errno) : "not a regular file");
        return 1;
    }
    disk.size = uint64_t(st.st_size);
    struct stat mount_st{};
    if (stat(places[1].c_str(), &mount_st) != 0 || !S_ISREG(mount_st.st_mode)) {
        std::fprintf(stderr, "quarvel_failing_disk: the mount point %s must be an existing regular file\n",
                     places[1].c_str());
        return 1;
    }

    fuse_operations operations{};
    operations.getattr = disk_getattr;
    operations.open = disk_open;
    operations.read = disk_read;
    operations.init = disk_init;
    // Single-threaded: a slow range delays the reads behind it, as one disk
    // head would.
    std::vector<std::string> options = {argv[0], "-o", "ro,fsname=quarvel_failing_disk,subtype=failing_disk"};
    std::vector<char*> fuse_argv;
    for (std::string& a : options)
        fuse_argv.push_back(a.data());
    struct fuse_args args = FUSE_ARGS_INIT(int(fuse_argv.size()), fuse_argv.data());
    fuse* server = fuse_new(&args, &operations, sizeof operations, nullptr);
    // libfuse copied what it needs; the parsed list is ours to free (a leak
    // checker fails the tool's exit otherwise).
    fuse_opt_free_args(&args);
    if (!server) {
        std::fprintf(stderr, "quarvel_failing_disk: libfuse refused its options\n");
        return 1;
    }
    if (fuse_mount(server, places[1].c_str()) != 0) {
        fuse_destroy(server);
        return 77;  // libfuse said why on stderr
    }
    int status = 1;
    if (fuse_set_signal_handlers(fuse_get_session(server)) == 0) {
        // The loop ends with the number of the signal that stopped it, which
        // is the way out this tool is meant to take.
        const int ended = fuse_loop(server);
        status = ended == 0 || ended == SIGTERM || ended == SIGINT || ended == SIGHUP ? 0 : 1;
        fuse_remove_signal_handlers(fuse_get_session(server));
    }
    fuse_unmount(server);
    fuse_destroy(server);
    close(disk.fd);
    return status;
}
