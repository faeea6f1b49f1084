#include "scan/recovery_tree.h"

#include "platform/invoking_user.h"
#include "scan/recovery_writer.h"
#include "scan/safe_name.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int folder_open_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

QString key_of(const std::vector<written_folder_s>& folders, size_t from, size_t to)
{
    QString key;
    for (size_t i = from; i < to; ++i) {
        if (i > from)
            key += QChar(0);
        key += folders[i].name;
    }
    return key;
}

QString errno_text(int why) { return QString::fromLocal8Bit(std::strerror(why)); }

// Whether child's ".." is parent: the folder opened lies directly in it.
bool lies_in(int child, int parent)
{
    struct stat above {}, expected {};
    const int up = ::openat(child, "..", folder_open_flags);
    if (up < 0)
        return false;
    const bool same = ::fstat(up, &above) == 0 && ::fstat(parent, &expected) == 0 &&
                      above.st_dev == expected.st_dev && above.st_ino == expected.st_ino;
    ::close(up);
    return same;
}

}  // namespace

recovery_tree_c::recovery_tree_c(const QDir& destination, bool keep_tree, const QString& scanned_device_path)
    : destination_(destination.path()), keep_(keep_tree), guard_(QFile::encodeName(scanned_device_path).toStdString())
{
}

recovery_tree_c::~recovery_tree_c()
{
    if (open_fd_ >= 0)
        ::close(open_fd_);
    if (top_ >= 0)
        ::close(top_);
}

void recovery_tree_c::add(const std::vector<written_folder_s>& folders)
{
    if (first_) {
        first_ = false;
        for (const auto& f : folders)
            first_folders_.push_back(f.name);
        common_ = first_folders_.size();
        return;
    }
    if (folders.size() != first_folders_.size())
        spans_ = true;
    size_t same = 0;
    while (same < common_ && same < folders.size() && folders[same].name == first_folders_[same])
        ++same;
    if (same < first_folders_.size())
        spans_ = true;
    common_ = same;
}

int recovery_tree_c::open_below(const QStringList& path) const
{
    int at = ::dup(top_);
    for (const QString& name : path) {
        if (at < 0)
            return -1;
        const int next = ::openat(at, QFile::encodeName(name).constData(), folder_open_flags);
        ::close(at);
        at = next;
    }
    return at;
}

name_rules_e recovery_tree_c::name_rules()
{
    if (!rules_)
        rules_ = destination_name_rules(destination_);
    return *rules_;
}

bool recovery_tree_c::make_folder(int parent, const QString& wanted, const QString& parent_shown, made_s* made,
                                  QString* why)
{
    const name_rules_e rules = name_rules();
    QString mount_passed;
    for (int attempt = 1; attempt <= max_name_attempts; ++attempt) {
        const QString name = numbered_file_name(wanted, attempt, rules);
        const QByteArray native = QFile::encodeName(name);
        bool ours = false;
        if (::mkdirat(parent, native.constData(), 0777) == 0) {
            ours = true;
        } else if (errno != EEXIST) {
            *why = QStringLiteral("cannot create the folder %1: %2").arg(name, errno_text(errno));
            return false;
        }
        // A folder already there of that name takes the files too (each
        // still a new file); a link or anything else there is passed over.
        const int fd = ::openat(parent, native.constData(), folder_open_flags);
        if (fd < 0)
            continue;
        const bool inside = lies_in(fd, parent);
        // A mount point's ".." is still its parent: only the guard tells it.
        bool mount_point = false;
        const QString shown = parent_shown + QLatin1Char('/') + name;
        const std::string refused =
            inside ? guard_.refusal(parent, fd, QFile::encodeName(shown).toStdString(), &mount_point) : std::string();
        if (ours && inside && refused.empty())
            platform::hand_to_invoking_user(fd);
        ::close(fd);
        if (!inside)
            continue;
        if (mount_point) {
            if (mount_passed.isEmpty())
                mount_passed = shown;
            continue;
        }
        if (!refused.empty()) {
            *why = QString::fromStdString(refused);
            return false;
        }
        if (!mount_passed.isEmpty())
            notes_.push_back({"note_mount_point_not_entered", {mount_passed, shown}});
        made->name = name;
        made->ours = ours;
        return true;
    }
    *why = QStringLiteral("no free name for the folder %1").arg(wanted);
    return false;
}

bool recovery_tree_c::folder_for(const std::vector<written_folder_s>& folders, QDir* target, QString* shown,
                                 QString* why)
{
    const size_t from = std::min(common_, folders.size());
    if (!keeps_tree() || folders.size() <= from) {
        *target = QDir(destination_);
        *shown = destination_;
        return true;
    }
    const QString key = key_of(folders, from, folders.size());
    if (open_fd_ >= 0 && key == open_key_) {
        *target = proc_fd_ ? QDir(QStringLiteral("/proc/self/fd/%1").arg(open_fd_)) : QDir(open_shown_);
        *shown = open_shown_;
        return true;
    }
    if (open_fd_ >= 0)
        ::close(open_fd_);
    open_fd_ = -1;
    open_key_.clear();
    if (top_ < 0) {
        top_ = ::open(QFile::encodeName(destination_).constData(), folder_open_flags);
        if (top_ < 0) {
            *why = QStringLiteral("cannot open %1: %2").arg(destination_, errno_text(errno));
            return false;
        }
        if (const std::string refused = guard_.refusal(-1, top_, QFile::encodeName(destination_).toStdString());
            !refused.empty()) {
            ::close(top_);
            top_ = -1;
            *why = QString::fromStdString(refused);
            return false;
        }
        // The files are created through the folder's descriptor where the
        // system allows it, so a folder swapped for a link after it was
        // checked still cannot send them elsewhere.
        struct stat by_fd {}, by_path {};
        proc_fd_ = ::stat(QStringLiteral("/proc/self/fd/%1").arg(top_).toLocal8Bit().constData(), &by_fd) == 0 &&
                   ::fstat(top_, &by_path) == 0 && by_fd.st_dev == by_path.st_dev && by_fd.st_ino == by_path.st_ino;
    }
    int at = ::dup(top_);
    QString path = destination_;
    QStringList below;
    for (size_t level = from; level < folders.size(); ++level) {
        if (at < 0) {
            *why = QStringLiteral("cannot open a folder in %1: %2").arg(path, errno_text(errno));
            return false;
        }
        const QString sub = key_of(folders, from, level + 1);
        auto it = made_.find(sub);
        if (it == made_.end()) {
            made_s made;
            if (!make_folder(at, folders[level].name, path, &made, why)) {
                ::close(at);
                return false;
            }
            made.time = folders[level].time;
            made.path = below;
            made.path << made.name;
            it = made_.emplace(sub, made).first;
        }
        const int next = ::openat(at, QFile::encodeName(it->second.name).constData(), folder_open_flags);
        path += QLatin1Char('/') + it->second.name;
        below << it->second.name;
        const bool inside = next >= 0 && lies_in(next, at);
        // Checked again each time it is entered: something may have been
        // mounted on it since it was made.
        const std::string refused =
            inside ? guard_.refusal(at, next, QFile::encodeName(path).toStdString()) : std::string();
        ::close(at);
        if (!inside || !refused.empty()) {
            if (next >= 0)
                ::close(next);
            *why = inside ? QString::fromStdString(refused)
                          : QStringLiteral("the folder %1 was changed while files were written into it").arg(path);
            return false;
        }
        at = next;
    }
    open_fd_ = at;
    open_key_ = key;
    open_shown_ = path;
    *target = proc_fd_ ? QDir(QStringLiteral("/proc/self/fd/%1").arg(open_fd_)) : QDir(open_shown_);
    *shown = open_shown_;
    return true;
}

void recovery_tree_c::stamp_folders()
{
    if (open_fd_ >= 0)
        ::close(open_fd_);
    open_fd_ = -1;
    open_key_.clear();
    if (top_ < 0)
        return;
    for (const auto& [key, made] : made_) {
        Q_UNUSED(key);
        if (!made.ours || made.time <= 0)
            continue;
        const int fd = open_below(made.path);
        if (fd < 0)
            continue;
        const struct timespec times[2] = {{static_cast<time_t>(made.time), 0}, {static_cast<time_t>(made.time), 0}};
        ::futimens(fd, times);
        ::close(fd);
    }
}
