#include "scan/safe_name.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    name.replace(QChar('/'), QChar('_'));
    name.replace(QChar(0), QChar('_'));
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

int open_recovery_target(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK so that a FIFO at the place cannot hang the open; it is
    // refused just below anyway.
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::ftruncate(fd, 0) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}
