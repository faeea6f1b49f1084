#include "scan/safe_name.h"

#include "platform/invoking_user.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

}  // namespace

QString safe_file_name(const QString& disk_name)
{
    QString name = disk_name;
    for (QChar& c : name)
        if (c == QChar('/') || c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QChar('_');
    if (name.isEmpty() || name == "." || name == "..")
        name.prepend('_');

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

QString numbered_file_name(const QString& disk_name, int attempt)
{
    const QString name = safe_file_name(disk_name);
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

struct created_target_s {
    QByteArray path;
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

thread_local created_target_s last_created;

}  // namespace

int open_recovery_target(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    // O_EXCL with O_CREAT also refuses a symbolic link at the place, even a
    // dangling one, so nothing outside the folder can receive the data.
    // Under sudo or pkexec the file is the invoking user's; its mode follows
    // the umask as any program's files do.
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    platform::hand_to_invoking_user(fd);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0)
        last_created = {native, fd, st.st_dev, st.st_ino};
    return fd;
}

void forget_created_target() { last_created = {}; }

bool remove_created_target(const QString& path)
{
    const created_target_s created = std::exchange(last_created, created_target_s{});
    if (created.fd < 0 || created.path != QFile::encodeName(path))
        return false;
    struct stat st {};
    if (::fstat(created.fd, &st) == 0 && st.st_dev == created.device && st.st_ino == created.inode)
        ::close(created.fd);
    if (::lstat(created.path.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != created.device ||
        st.st_ino != created.inode)
        return false;
    return ::unlink(created.path.constData()) == 0;
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
