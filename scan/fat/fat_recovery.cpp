#include "scan/fat/fat_recovery.h"

#include "platform/fd_io.h"
#include "scan/fat/fat_log.h"
#include "scan/fat/fat_trust.h"
#include "scan/fat/fat_volume_map.h"
#include "scan/result_tree.h"
#include "scan/safe_name.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr int name_max_units = 259;
constexpr uint32_t copy_chunk = 4096;

QString node_name(const fat_info_s& info)
{
    const char16_t* source = (info.long_name && info.long_name[0]) ? info.long_name : info.short_name;
    QString name = QString::fromUtf16(source);
    if (name.size() > name_max_units)
        name.truncate(name_max_units);
    return name;
}

// Replaces the first character with "#", a surrogate pair as one character.
void mark_first_character(QString* name)
{
    if (name->isEmpty())
        return;
    const int width = (name->size() > 1 && name->at(0).isHighSurrogate() && name->at(1).isLowSurrogate()) ? 2 : 1;
    name->replace(0, width, QStringLiteral("#"));
}

// The store's node for an entry found in folder parent; attributes carry
// the deleted mark, inherited or its own.
fat_node_s node_of_entry(const fat_info_s& info, uint8_t attributes, uint32_t parent, uint8_t inherited)
{
    fat_node_s node;
    node.cluster = info.start_cluster;
    node.parent = parent;
    node.size = info.size;
    node.write_time = fat_time_to_seconds(info.write_date, info.write_time);
    node.create_time = fat_time_to_seconds(info.create_date, info.create_time);
    node.attributes = attributes;
    node.inherited = inherited;
    node.entry_deleted = (info.attributes & fat_attr_deleted) ? 1 : 0;
    node.name = node_name(info);
    if (node.attributes & fat_attr_deleted)
        mark_first_character(&node.name);
    return node;
}

}  // namespace

int64_t fat_time_to_seconds(uint16_t date, uint16_t time)
{
    std::tm tm{};
    tm.tm_year = 80 + (date >> 9);
    tm.tm_mon = ((date >> 5) & 0x0F) - 1;
    tm.tm_mday = date & 0x1F;
    tm.tm_hour = time >> 11;
    tm.tm_min = (time >> 5) & 0x3F;
    tm.tm_sec = 2 * (time & 0x1F);
    tm.tm_isdst = 0;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0 : static_cast<int64_t>(t);
}

fat_recovery_c::fat_recovery_c(QObject* parent) : recovery_base_c(parent) {}

fat_recovery_c::~fat_recovery_c()
{
    status_.stop.store(stop_abandon, std::memory_order_relaxed);
    wait();
    fat_unregister(&fs_);
}

void fat_recovery_c::set_volume(const volume_item_s& volume) { volume_ = volume; }

void fat_recovery_c::reset()
{
    status_.clear();
    store_.clear();
    outcome_ = fat_scan_outcome_s{};
    guess_ = fat_guess_s{};
}

const fat_node_s* fat_recovery_c::node(uint32_t cluster) const
{
    const auto it = store_.find(cluster);
    return it == store_.end() ? nullptr : &it->second;
}

void fat_recovery_c::run_scan()
{
    reset_for_run();
    QString path = volume_.device_path;
    if (path.endsWith('\\'))
        path.chop(1);
    if (fat_map_volume(path.toStdString()) != 0)
        return;
    outcome_.mapped = true;
    f_mount(0, &fs_);
    qCDebug(fat_log) << "Start Fat Scan.";

    scan_directory(u"/", 0, 0, 0, false);
    assess_deleted_files();

    fat_node_s root;
    root.attributes = fat_attr_directory;
    store_[0] = root;
    result_tree::link_children(store_);
    result_tree::mark_folders(store_, [](const fat_node_s& n) { return !(n.attributes & fat_attr_directory); });
    // An abandoned scan keeps nothing, whatever the caller does next.
    if (get_stop() == stop_abandon)
        store_.clear();
}

bool fat_recovery_c::wait_while_paused()
{
    while (status_.pause.load(std::memory_order_relaxed) != 0) {
        if (status_.stop.load(std::memory_order_relaxed) != 0)
            return false;
        QThread::msleep(100);
    }
    return true;
}

bool fat_found_entry_wins(const fat_node_s& stored, const fat_node_s& found)
{
    // Found directly beats found inside a deleted folder.
    if (stored.inherited == 0 && found.inherited == 1)
        return false;
    const bool found_dir = found.attributes & fat_attr_directory;
    const bool found_deleted = found.attributes & fat_attr_deleted;
    if (!found_dir)
        return found_deleted && stored.create_time < found.create_time;
    if (!found_deleted)
        return true;  // a live folder is what the cluster holds now
    const bool stored_live_dir = (stored.attributes & fat_attr_directory) && !(stored.attributes & fat_attr_deleted);
    return !stored_live_dir && stored.create_time < found.create_time;
}

void fat_recovery_c::assess_deleted_files()
{
    if (outcome_.root_result != fr_ok)
        return;
    std::vector<fat_node_s*> files;
    for (auto& [cluster, node] : store_)
        if ((node.attributes & fat_attr_deleted) && !(node.attributes & fat_attr_directory))
            files.push_back(&node);
    // In the order of their clusters, the FAT is read front to back about once.
    std::sort(files.begin(), files.end(), [](const fat_node_s* a, const fat_node_s* b) { return a->cluster < b->cluster; });
    fat_trust_c trust(&fs_);
    for (fat_node_s* node : files) {
        if (status_.stop.load(std::memory_order_relaxed) != 0)
            return;
        node->trust = trust.assess(node->cluster, node->size, node->entry_deleted == 0);
    }
}

void fat_recovery_c::count_entry_read()
{
    const int64_t count = status_.read_count.load(std::memory_order_relaxed);
    const double progress = static_cast<double>(count) / 2000.0;
    status_.progress.store(progress > 1.0 ? 0.99 : progress, std::memory_order_relaxed);
    status_.read_count.store(count + 1, std::memory_order_relaxed);
    qCDebug(fat_log, "file count:%d", static_cast<int>(count + 1));
}

void fat_recovery_c::count_unread_folder(int result, bool deleted_folder, int64_t* damage_counter)
{
    // A deleted folder's chain is freed with it, so reading one stops where
    // no cluster can be found to continue it (or finds its start cluster
    // gone): expected, not a sign of damage. Read errors are damage wherever
    // they happen.
    if (deleted_folder && result == fr_int_error)
        ++outcome_.deleted_folders_cut_short;
    else
        ++*damage_counter;
}

void fat_recovery_c::scan_directory(const char16_t* path, uint32_t parent, uint8_t inherited, int depth,
                                    bool deleted_folder)
{
    fat_dir_s dir;
    if (path) {
        outcome_.root_result = f_opendir(&dir, path);
        if (outcome_.root_result != fr_ok) {
            qCDebug(fat_log) << "f_opendir failed 1.";
            return;
        }
    } else if (const int opened = f_opendir_cluster(&dir, parent); opened != fr_ok) {
        qCDebug(fat_log) << "f_opendir failed 2.";
        count_unread_folder(opened, deleted_folder, &outcome_.folders_unopened);
        return;
    }
    if (deleted_folder)
        dir.guess = &guess_;

    fat_info_s info;
    while (status_.stop.load(std::memory_order_relaxed) == 0) {
        if (!wait_while_paused())
            return;
        count_entry_read();

        info.long_name = long_name_;
        info.long_name_capacity = fat_long_name_units;
        if (const int read = f_readdir(&dir, &info); read != fr_ok) {
            qCDebug(fat_log) << "f_readdir failed 1.";
            count_unread_folder(read, deleted_folder, &outcome_.folders_cut_short);
            return;
        }
        if (info.short_name[0] == 0)
            return;
        if (info.start_cluster == 0)
            continue;
        // The dot rule looks at the name a live entry shows; for a deleted
        // one that is its short name, so a recovered long name such as
        // ".profile" does not hide the file.
        const bool deleted_entry = info.attributes & fat_attr_deleted;
        const char16_t first = (!deleted_entry && info.long_name[0]) ? info.long_name[0] : info.short_name[0];
        if (first == u'.')
            continue;
        // Inside a deleted folder every entry counts as deleted, also one
        // whose own entry some systems leave live: mark it before the filter
        // that keeps only folders and deleted entries.
        const uint8_t attributes = static_cast<uint8_t>(info.attributes | (inherited ? fat_attr_deleted : 0));
        if (!(attributes & (fat_attr_directory | fat_attr_deleted)))
            continue;

        const fat_node_s node = node_of_entry(info, attributes, parent, inherited);
        const bool is_dir = node.attributes & fat_attr_directory;
        const bool is_deleted = node.attributes & fat_attr_deleted;
        bool inserted = false;
        if (auto it = store_.find(node.cluster); it == store_.end()) {
            store_.emplace(node.cluster, node);
            inserted = true;
            status_.found_count.fetch_add(1, std::memory_order_relaxed);
        } else if (fat_found_entry_wins(it->second, node)) {
            it->second = node;
        }

        if (is_dir && inserted) {
            if (depth + 1 > max_depth) {
                ++outcome_.folders_too_deep;
                continue;
            }
            const uint8_t child_inherited = (inherited == 0 && is_deleted) ? 1 : inherited;
            scan_directory(nullptr, node.cluster, child_inherited, depth + 1, is_deleted);
        }
    }
}

recovery_item_s fat_recovery_c::row_of(const fat_node_s& node)
{
    recovery_item_s row;
    row.name = node.name;
    row.size = node.size;
    row.date1 = node.write_time;
    row.date2 = node.create_time;
    row.id = node.cluster;
    row.flags = node.attributes | node.trust;
    return row;
}

namespace {

bool is_shown_fat_file(const fat_node_s& n) { return n.cluster != 0 && !(n.attributes & fat_attr_directory); }
bool is_shown_fat_folder(const fat_node_s& n)
{
    return n.cluster != 0 && (n.attributes & fat_attr_directory) && n.has_files;
}

}  // namespace

void fat_recovery_c::visit_shown_files(const std::function<void(const fat_node_s&, const QString&)>& visit) const
{
    result_tree::visit_shown_files(node(0), is_shown_fat_file, is_shown_fat_folder, visit, max_depth);
}

bool fat_recovery_c::top_folder(const void** top) const
{
    const fat_node_s* root = node(0);
    *top = root;
    return root != nullptr;
}

void fat_recovery_c::sub_folders(const void* folder, std::vector<result_folder_s>* out) const
{
    if (!folder)
        return;
    for (const fat_node_s* child : static_cast<const fat_node_s*>(folder)->children)
        if (is_shown_fat_folder(*child))
            out->push_back({child->name, child});
}

void fat_recovery_c::folder_rows(const void* folder, std::vector<recovery_item_s>* out) const
{
    if (!folder)
        return;
    for (const fat_node_s* child : static_cast<const fat_node_s*>(folder)->children)
        if (is_shown_fat_file(*child))
            out->push_back(row_of(*child));
}

QString fat_recovery_c::failure_reason() const
{
    const QString name = volume_.device_path;
    if (!outcome_.mapped)
        return QStringLiteral("cannot locate %1 on its drive").arg(name);
    switch (outcome_.root_result) {
    case fr_ok: return {};
    case fr_no_filesystem: return QStringLiteral("%1 holds no valid FAT file system (boot sector rejected)").arg(name);
    case fr_disk_error: return QStringLiteral("%1: read error while mounting (damaged or truncated volume?)").arg(name);
    case fr_not_ready: return QStringLiteral("%1: drive not ready").arg(name);
    default: return QStringLiteral("%1: cannot open the top folder (result %2)").arg(name).arg(outcome_.root_result);
    }
}

QString fat_recovery_c::warning() const
{
    const int64_t damaged = outcome_.folders_cut_short + outcome_.folders_unopened;
    QStringList parts;
    if (damaged > 0)
        parts << QStringLiteral("%1 folder(s) could not be read to the end (damaged or truncated volume)").arg(damaged);
    if (outcome_.folders_too_deep > 0)
        parts << QStringLiteral("%1 folder(s) nested too deep were not entered").arg(outcome_.folders_too_deep);
    QString text = parts.isEmpty() ? QString() : parts.join(QStringLiteral("; ")) + QStringLiteral("; what was found is listed");
    if (outcome_.deleted_folders_cut_short > 0)
        text += QStringLiteral("%1%2 deleted folder(s) were read only as far as their clusters could be found (a "
                               "deleted folder's cluster chain is freed); a deep scan may find more of their files")
                    .arg(text.isEmpty() ? QString() : QStringLiteral("; "))
                    .arg(outcome_.deleted_folders_cut_short);
    return text;
}

int fat_recovery_c::get_full_path(int64_t id, QString* path)
{
    std::lock_guard lock(read_back_lock());
    if (id < 0 || id > int64_t(UINT32_MAX))
        return -1;
    return result_tree::full_path(store_, static_cast<uint32_t>(id), uint32_t{0}, volume_.root_path, path);
}

int fat_recovery_c::recover_file(int64_t id, const QString& destination)
{
    // The FAT reader reads through one shared volume object.
    std::lock_guard lock(read_back_lock());
    if (id < 0 || id > int64_t(UINT32_MAX))
        return -1;
    const fat_node_s* n = node(static_cast<uint32_t>(id));
    if (!n)
        return -1;
    fat_file_s file;
    if (fat_file_setup(&file, &fs_, n->cluster, n->size) != fr_ok)
        return -1;
    const int fd = open_recovery_target(destination);
    if (fd < 0)
        return errno == EEXIST ? recover_target_exists : -1;

    // A deleted entry's chain is gone, so its clusters are guessed as one
    // run; a live entry inside a deleted folder whose chain is still whole is
    // read along it, fragments and all.
    const bool contiguous = (n->attributes & fat_attr_deleted) && !(n->entry_deleted == 0 && (n->trust & fat_row_chain_kept));
    uint8_t chunk[copy_chunk];
    uint64_t written = 0;
    bool ok = true;
    for (;;) {
        uint32_t delivered = 0;
        const int r = f_read(&file, chunk, copy_chunk, &delivered, contiguous);
        if (delivered > 0 && !platform::write_fully(fd, chunk, delivered)) {
            ok = false;
            break;
        }
        written += delivered;
        if (r != fr_ok) {
            ok = false;
            break;
        }
        if (delivered == 0)
            break;
    }
    if (::close(fd) != 0)
        ok = false;
    if (ok && written == n->size)
        return 0;
    // A short copy is a failure, and a failure leaves no file behind.
    ::unlink(QFile::encodeName(destination).constData());
    return -1;
}
