#include "scan/safe_name.h"

#include "platform/invoking_user.h"
#include "platform/volumes.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <cstdio>

namespace {

// Cuts text to at most max_bytes of UTF-8, on a character boundary.
QString cut_to_utf8_bytes(const QString& text, int max_bytes)
{
    QString out;
    int bytes = 0;
    for (int i = 0; i < text.size();) {
        const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
        const QString one = text.mid(i, pair ? 2 : 1);
        const int one_bytes = static_cast<int>(one.toUtf8().size());
        if (bytes + one_bytes > max_bytes)
            break;
        out += one;
        bytes += one_bytes;
        i += pair ? 2 : 1;
    }
    return out;
}

bool refused_on_windows(QChar c) { return QStringView(u"\"*:<>?\\|").contains(c); }

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices there, with any
// extension ("nul.txt" too).
bool is_device_name(const QString& name)
{
    const QString stem = name.section('.', 0, 0).trimmed().toUpper();
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.startsWith("COM") || stem.startsWith("LPT")) && stem[3] >= '0' &&
           stem[3] <= '9';
}

}  // namespace

QString safe_file_name(const QString& disk_name, name_rules_e rules)
{
    const bool windows = rules == name_rules_e::windows;
    QString name = disk_name;
    for (QChar& c : name)
        if (c == QChar('/') || c.unicode() < 0x20 || c.unicode() == 0x7F || (windows && refused_on_windows(c)))
            c = QChar('_');
    if (name.isEmpty() || name == "." || name == "..")
        name.prepend('_');
    if (windows) {
        if (name.endsWith('.') || name.endsWith(' '))
            name[name.size() - 1] = QChar('_');
        if (is_device_name(name))
            name.prepend('_');
    }

    // A finished file is never taken for a partial one (and removed by a
    // later run into the folder).
    if (name.endsWith(QLatin1String(partial_name_suffix), windows ? Qt::CaseInsensitive : Qt::CaseSensitive))
        name += QLatin1Char('_');

    if (name.toUtf8().size() <= max_file_name_bytes)
        return name;

    // Keep the extension when it leaves room for at least some of the stem;
    // a "name" that is all extension is simply cut.
    const int dot = static_cast<int>(name.lastIndexOf('.'));
    if (dot > 0) {
        const QString extension = name.mid(dot);
        const int extension_bytes = static_cast<int>(extension.toUtf8().size());
        if (extension_bytes < max_file_name_bytes / 2)
            return cut_to_utf8_bytes(name.left(dot), max_file_name_bytes - extension_bytes) + extension;
    }
    return cut_to_utf8_bytes(name, max_file_name_bytes);
}

QString partial_file_name(const QString& final_name)
{
    const QString suffix = QLatin1String(partial_name_suffix);
    return cut_to_utf8_bytes(final_name, max_file_name_bytes - static_cast<int>(suffix.size())) + suffix;
}

QString numbered_file_name(const QString& disk_name, int attempt, name_rules_e rules)
{
    const QString name = safe_file_name(disk_name, rules);
    if (attempt <= 1)
        return name;
    // The number goes before the extension, so the copy still opens with
    // the same program; a leading dot is a hidden name, not an extension.
    const QString suffix = QStringLiteral(" (%1)").arg(attempt);
    const int dot = static_cast<int>(name.lastIndexOf('.'));
    const int split = dot > 0 ? dot : static_cast<int>(name.size());
    const QString extension = name.mid(split);
    const int room = max_file_name_bytes - static_cast<int>((suffix + extension).toUtf8().size());
    if (room <= 0)
        return cut_to_utf8_bytes(name, max_file_name_bytes - static_cast<int>(suffix.toUtf8().size())) + suffix;
    return cut_to_utf8_bytes(name.left(split), room) + suffix + extension;
}

namespace {

// held is a descriptor of our own on the file: the caller closes fd when
// it has written, and the file's time is then set, or the file told apart
// from whatever took its name since, through held, never by opening the
// path again.
struct created_target_s {
    QByteArray path;
    int fd = -1;
    int held = -1;
    bool unnamed = false;  // made without a name; path is the name it stands for
};

// Closes the held descriptor when the thread ends, so none is left behind.
struct created_slot_s {
    created_target_s target;
    ~created_slot_s()
    {
        if (target.held >= 0)
            ::close(target.held);
    }
};

thread_local created_slot_s last_slot;
thread_local bool unnamed_targets = false;

created_target_s take_created()
{
    return std::exchange(last_slot.target, created_target_s{});
}

void drop_created()
{
    const created_target_s created = take_created();
    if (created.held >= 0)
        ::close(created.held);
}

thread_local QString last_failure;

// Mounts whose file system takes only the names FAT, exFAT and NTFS take.
bool windows_file_system(const std::string& type, const std::string& source)
{
    if (type == "vfat" || type == "msdos" || type == "exfat" || type == "ntfs" || type == "ntfs3" ||
        type == "fuseblk" || type == "fuse.ntfs-3g" || type == "fuse.exfat" || type == "fuse.ntfs")
        return true;
    // ntfs-3g or exfat-fuse over an image file: a plain "fuse" mount whose
    // source is a file.
    struct stat st {};
    return type == "fuse" && !source.empty() && source[0] == '/' && ::stat(source.c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

}  // namespace

name_rules_e destination_name_rules(const QString& folder)
{
    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
        return name_rules_e::posix;
    // Asked once per row: the answer for the last folder's file system is
    // kept.
    static std::mutex lock;
    static dev_t known_device = 0;
    static name_rules_e known_rules = name_rules_e::posix;
    std::lock_guard hold(lock);
    if (known_device == st.st_dev && known_device != 0)
        return known_rules;
    name_rules_e rules = name_rules_e::posix;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, number;
        unsigned major_number = 0, minor_number = 0;
        char colon = 0;
        if (!(fields >> id >> parent >> number))
            continue;
        std::istringstream device(number);
        if (!(device >> major_number >> colon >> minor_number) || makedev(major_number, minor_number) != st.st_dev)
            continue;
        const size_t separator = line.find(" - ");
        std::istringstream tail(separator == std::string::npos ? std::string() : line.substr(separator + 3));
        std::string type, source;
        if (tail >> type >> source && windows_file_system(type, platform::unescape_mount_field(source)))
            rules = name_rules_e::windows;
    }
    known_device = st.st_dev;
    known_rules = rules;
    return rules;
}

QString last_target_failure() { return last_failure; }

void forget_target_failure() { last_failure.clear(); }

unnamed_targets_c::unnamed_targets_c() : was_(std::exchange(unnamed_targets, true)) {}
unnamed_targets_c::~unnamed_targets_c() { unnamed_targets = was_; }

namespace {

// The file for path without a name, in path's folder; -1 where the folder's
// file system cannot make one.
int open_unnamed_target(const QByteArray& native)
{
    const int slash = native.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : native.left(slash);
    return ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

}  // namespace

int open_recovery_target(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (unnamed_targets) {
        const int fd = open_unnamed_target(native);
        if (fd < 0 && errno == EEXIST)
            return -1;
        if (fd >= 0) {
            platform::hand_to_invoking_user(fd);
            drop_created();
            const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (held < 0) {
                ::close(fd);
                last_failure = QStringLiteral("cannot create %1: %2")
                                   .arg(path.section('/', -1), QString::fromLocal8Bit(std::strerror(EMFILE)));
                errno = EMFILE;
                return -1;
            }
            last_slot.target = {native, fd, held, true};
            return fd;
        }
    }
    // O_EXCL with O_CREAT also refuses a symbolic link at the place, even a
    // dangling one, so nothing outside the folder can receive the data.
    // Under sudo or pkexec the file is the invoking user's; its mode follows
    // the umask as any program's files do.
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) {
        const int why = errno;
        last_failure = QStringLiteral("cannot create %1: %2").arg(path.section('/', -1), QString::fromLocal8Bit(std::strerror(why)));
        errno = why;
    }
    platform::hand_to_invoking_user(fd);
    // Locked while it is ours, so that another run into the folder can tell
    // a file being written from one a crash left (remove_stale_partial).
    if (fd >= 0)
        ::flock(fd, LOCK_EX | LOCK_NB);
    drop_created();
    if (fd >= 0) {
        const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (held >= 0)
            last_slot.target = {native, fd, held};
    }
    return fd;
}

void forget_created_target() { drop_created(); }

partial_state_e remove_stale_partial(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat there {};
    // A name that cannot even be looked at is left to the creation, which
    // says why.
    if (::lstat(native.constData(), &there) != 0)
        return partial_state_e::free;
    if (!S_ISREG(there.st_mode))
        return partial_state_e::taken;
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return partial_state_e::taken;
    struct stat opened {};
    struct stat now {};
    // Locked: another recovery is writing it. The name is checked again
    // under the lock, so only the file that was judged is removed.
    const bool removed = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 &&
                         ::lstat(native.constData(), &now) == 0 && S_ISREG(now.st_mode) &&
                         now.st_dev == opened.st_dev && now.st_ino == opened.st_ino &&
                         ::unlink(native.constData()) == 0;
    ::close(fd);
    return removed ? partial_state_e::removed : partial_state_e::taken;
}

int publish_created_target(const QString& partial, const QString& final)
{
    created_target_s& created = last_slot.target;
    const QByteArray from = QFile::encodeName(partial);
    const QByteArray to = QFile::encodeName(final);
    // Only the file made here is renamed, never what took its name since (a
    // copy that made its file some other way is taken at its word).
    const bool ours = created.held >= 0 && created.path == from;
    if (ours && created.unnamed) {
        // The first name of a file made without one; taken only where none
        // stands, as a rename with RENAME_NOREPLACE.
        // Through the descriptor itself where the kernel lets this process
        // (it costs no walk through /proc, a tenth of a small file's time);
        // else through /proc, once that refusal is known.
        static std::atomic<bool> by_descriptor{true};
        int error = ENOENT;
        if (by_descriptor.load(std::memory_order_relaxed)) {
            error = ::linkat(created.held, "", AT_FDCWD, to.constData(), AT_EMPTY_PATH) == 0 ? 0 : errno;
            if (error == ENOENT || error == EPERM)
                by_descriptor.store(false, std::memory_order_relaxed);
        }
        if (error == ENOENT || error == EPERM) {
            char self[64];
            std::snprintf(self, sizeof self, "/proc/self/fd/%d", created.held);
            error = ::linkat(AT_FDCWD, self, AT_FDCWD, to.constData(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
        }
        if (error == 0) {
            created.path = to;
            created.unnamed = false;
        }
        return error;
    }
    struct stat mine {};
    struct stat there {};
    if (ours && (::fstat(created.held, &mine) != 0 || ::lstat(from.constData(), &there) != 0 ||
                 mine.st_dev != there.st_dev || mine.st_ino != there.st_ino))
        return ESTALE;
    int error = 0;
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) != 0) {
        error = errno;
        // A file system (or FUSE server) without the flag: a hard link makes
        // the name only where none stands, then the partial name goes.
        if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
            if (::link(from.constData(), to.constData()) == 0) {
                ::unlink(from.constData());
                error = 0;
            } else if (errno == EEXIST) {
                error = EEXIST;
            } else {
                // Neither (FAT through FUSE, say): a plain rename after a
                // look, the one place a name taken in between would be
                // replaced.
                struct stat taken {};
                if (::lstat(to.constData(), &taken) == 0)
                    error = EEXIST;
                else
                    error = ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
            }
        }
    }
    if (error == 0 && ours)
        created.path = to;
    return error;
}

bool remove_created_target(const QString& path)
{
    // The copy's own errno (a full destination, say) is what its caller
    // reports, not what the clean-up met.
    const int copy_errno = errno;
    const struct keep_errno_s {
        int value;
        ~keep_errno_s() { errno = value; }
    } keep{copy_errno};
    const created_target_s created = take_created();
    if (created.held < 0)
        return false;
    struct stat mine {};
    struct stat st {};
    bool removed = false;
    if (created.path == QFile::encodeName(path) && ::fstat(created.held, &mine) == 0) {
        // The caller's descriptor is closed only while it is still this file.
        if (::fstat(created.fd, &st) == 0 && st.st_dev == mine.st_dev && st.st_ino == mine.st_ino)
            ::close(created.fd);
        // A file without a name goes with its last descriptor.
        removed = created.unnamed ||
                  (::lstat(created.path.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == mine.st_dev &&
                   st.st_ino == mine.st_ino && ::unlink(created.path.constData()) == 0);
    }
    ::close(created.held);
    return removed;
}

bool set_created_target_time(const QString& path, int64_t seconds)
{
    if (last_slot.target.held < 0 || last_slot.target.path != QFile::encodeName(path))
        return false;
    // Through our own descriptor: the file this thread created, wherever its
    // name now points, so no other file's time is ever changed.
    const created_target_s created = take_created();
    bool set = false;
    if (seconds > 0) {
        const struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
        set = ::futimens(created.held, times) == 0;
    }
    ::close(created.held);
    return set;
}

bool is_mount_point(const QString& path)
{
    QString folder = path;
    while (folder.size() > 1 && folder.endsWith('/'))
        folder.chop(1);
    struct stat here {};
    struct stat above {};
    if (folder.isEmpty() || ::stat(QFile::encodeName(folder).constData(), &here) != 0 || !S_ISDIR(here.st_mode))
        return false;
    if (::stat(QFile::encodeName(folder + QStringLiteral("/..")).constData(), &above) != 0)
        return false;
    // A mount point sits on another device than its parent; "/" is its own parent.
    return here.st_dev != above.st_dev || here.st_ino == above.st_ino;
}
