#include "scan/fat/fat_recovery.h"

#include "engines/fat/fat_harvest.h"
#include "engines/fat/fat_internal.h"
#include "engines/fat/fat_trust.h"
#include "platform/fd_io.h"
#include "scan/content_pass.h"
#include "scan/fat/fat_log.h"
#include "scan/result_tree.h"
#include "scan/safe_name.h"
#include "scan/unreadable_sectors.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <unistd.h>
#include <unordered_set>

Q_LOGGING_CATEGORY(fat_log, "quarvel.fat", QtWarningMsg)

namespace {

constexpr int name_max_units = 259;
// Bytes written at a time: a file of several clusters goes out in one write.
constexpr uint32_t copy_chunk = 256 * 1024;

QString node_name(const fat_info_s& info)
{
    const char16_t* source = (info.long_name && info.long_name[0]) ? info.long_name : info.short_name;
    QString name = QString::fromUtf16(source);
    if (name.size() > name_max_units)
        name.truncate(name_max_units);
    return name;
}

// Replaces the first character with "#", a surrogate pair as one character;
// *first, when given, receives what was replaced.
void mark_first_character(QString* name, char16_t* first = nullptr)
{
    if (name->isEmpty())
        return;
    const int width = (name->size() > 1 && name->at(0).isHighSurrogate() && name->at(1).isLowSurrogate()) ? 2 : 1;
    if (first)
        for (int i = 0; i < width; ++i)
            first[i] = name->at(i).unicode();
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
    // A deleted short entry alone has lost its first byte to the deletion
    // mark; a long name whose checksum fits its entry, or a live entry,
    // still holds the whole name.
    const bool first_known = !node.entry_deleted || (info.long_name && info.long_name[0]);
    if (node.attributes & fat_attr_deleted)
        mark_first_character(&node.name, first_known ? node.first : nullptr);
    return node;
}


// Whether making folder the parent of child would close a loop of parents.
bool would_loop(const std::unordered_map<uint32_t, fat_node_s>& store, uint32_t child, uint32_t folder)
{
    uint32_t at = folder;
    for (size_t steps = 0; steps <= store.size() && at != 0; ++steps) {
        if (at == child)
            return true;
        const auto it = store.find(at);
        if (it == store.end())
            return false;
        at = it->second.parent;
    }
    return at != 0;
}

}  // namespace

QString fat_file_system_of(const platform::byte_source_ptr& source)
{
    if (!source)
        return {};
    auto fs = std::make_unique<fat_volume_s>();
    fat_attach(fs.get(), source);
    if (fat_ensure_mounted(fs.get()) != fr_ok)
        return {};
    return fs->fs_type == fat_12 ? QStringLiteral("FAT12") : fs->fs_type == fat_16 ? QStringLiteral("FAT16") : QStringLiteral("FAT32");
}

QString fat_written_name(const fat_node_s& node)
{
    if (node.first[0] == 0 || !node.name.startsWith(QLatin1Char('#')))
        return node.name;
    QString whole = node.name;
    whole.replace(0, 1, QString(reinterpret_cast<const QChar*>(node.first), node.first[1] ? 2 : 1));
    return whole;
}

int64_t fat_time_to_seconds(uint16_t date, uint16_t time)
{
    const unsigned month = (date >> 5) & 0x0F, day = date & 0x1F;
    if (month < 1 || month > 12 || day < 1 || (time >> 11) > 23 || ((time >> 5) & 0x3F) > 59 || (time & 0x1F) > 29)
        return 0;
    std::tm tm{};
    tm.tm_year = 80 + (date >> 9);
    tm.tm_mon = ((date >> 5) & 0x0F) - 1;
    tm.tm_mday = date & 0x1F;
    tm.tm_hour = time >> 11;
    tm.tm_min = (time >> 5) & 0x3F;
    tm.tm_sec = 2 * (time & 0x1F);
    // The entry holds the wall clock of its day, summer time included.
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0 : static_cast<int64_t>(t);
}

fat_recovery_c::fat_recovery_c(QObject* parent) : scanner_c(parent, 0, max_depth) {}

fat_recovery_c::~fat_recovery_c()
{
    status_.stop.store(stop_abandon, std::memory_order_relaxed);
    wait();
}

void fat_recovery_c::reset()
{
    status_.clear();
    store_.clear();
    outcome_ = fat_scan_outcome_s{};
    guess_ = fat_guess_s{};
    walked_.clear();
    open_tails_.clear();
    live_entries_named_ = 0;
    rebuilt_.clear();
    content_queue_.clear();
    content_trust_.reset();
    unreadable_files_ = 0;
}

void fat_recovery_c::run_scan()
{
    reset_for_run();
    open_error_.clear();
    platform::byte_source_ptr source = scan_source(volume_.device_path, &open_error_);
    fat_attach(&fs_, source);
    if (!source)
        return;
    outcome_.opened = true;
    qCDebug(fat_log) << "Start Fat Scan.";

    scan_directory(u"/", 0, 0, 0, false);
    if (outcome_.root_result == fr_ok && get_stop() == stop_run) {
        outcome_.formatted = looks_formatted();
        const bool wanted = lost_mode_ == lost_pass_e::on ||
                            (lost_mode_ == lost_pass_e::automatic &&
                             (outcome_.formatted || outcome_.deleted_folders_cut_short > 0));
        if (wanted)
            harvest_lost_folders();
    }
    assess_deleted_files();
    tag_unreadable_files();
    check_deleted_contents();
    note_media_damage();

    fat_node_s root;
    root.attributes = fat_attr_directory;
    store_[0] = root;
    result_tree::link_children(store_);
    result_tree::mark_folders(store_, [](const fat_node_s& n) { return !(n.attributes & fat_attr_directory); });
    // An abandoned scan keeps nothing, whatever the caller does next.
    if (get_stop() == stop_abandon)
        store_.clear();
}

bool fat_recovery_c::wait_while_paused() { return !stop_point(); }

void fat_recovery_c::note_media_damage()
{
    outcome_.boot_from_backup = fs_.boot_from_backup;
    outcome_.fat_sectors_mended = int64_t(fs_.fat_sectors_mended.size());
    outcome_.fat_sectors_lost = int64_t(fs_.fat_sectors_lost.size());
    if (!fs_.fat_sectors_lost.empty())
        outcome_.first_fat_sector_lost =
            fs_.fat_start + uint64_t{fs_.active_fat} * fs_.fat_sectors +
            *std::min_element(fs_.fat_sectors_lost.begin(), fs_.fat_sectors_lost.end());
    outcome_.dir_sectors_unreadable = int64_t(fs_.dir_sectors_unreadable);
    outcome_.first_dir_sector_unreadable = fs_.first_dir_sector_unreadable;
    outcome_.dir_read_error = fs_.dir_read_error;
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

carve::byte_extents_t fat_recovery_c::copy_extents(const fat_node_s& node, fat_trust_c* trust)
{
    carve::byte_extents_t out;
    const uint64_t cluster_bytes = uint64_t{fs_.cluster_size} * fs_.sector_bytes;
    if (cluster_bytes == 0 || node.size == 0 || (node.entry_deleted == 0 && (node.trust & fat_row_chain_kept)))
        return out;
    const uint64_t clusters = (uint64_t{node.size} + cluster_bytes - 1) / cluster_bytes;
    uint64_t left = node.size;
    auto add = [&](uint32_t first, uint64_t count) {
        const uint64_t length = std::min(left, count * cluster_bytes);
        out.emplace_back(fat_cluster_sector(&fs_, first) * fs_.sector_bytes, length);
        left -= length;
    };
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    if ((node.trust & fat_row_gaps_skipped) && trust->free_runs(node.cluster, clusters, &runs)) {
        for (const auto& [first, count] : runs)
            add(first, count);
    } else {
        add(node.cluster, clusters);
    }
    return out;
}

void fat_recovery_c::tag_unreadable_files()
{
    // Sectors known to be unreadable by now (met by the walk, the search for
    // lost folders, or an imaging map): a deleted file whose copy would read
    // them is told apart now, and its content check, which would judge the
    // zeros, is spared. A sound disk never gets past this test.
    if (outcome_.root_result != fr_ok || !fs_.source || fs_.source->unreadable_generation() == 0)
        return;
    fat_trust_c trust(&fs_);
    for (auto& [cluster, node] : store_) {
        if (status_.stop.load(std::memory_order_relaxed) != 0)
            return;
        const bool file = (node.attributes & fat_attr_deleted) && !(node.attributes & fat_attr_directory);
        if (!file || (node.trust & (fat_row_incomplete | row_unreadable_sectors)))
            continue;
        if (extents_meet_unreadable(*fs_.source, copy_extents(node, &trust))) {
            node.trust |= row_unreadable_sectors;
            unreadable_files_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void fat_recovery_c::check_deleted_contents()
{
    if (!content_check_ || outcome_.root_result != fr_ok || get_stop() != stop_run)
        return;
    const uint64_t cluster_bytes = uint64_t{fs_.cluster_size} * fs_.sector_bytes;
    if (cluster_bytes == 0 || !fs_.source)
        return;
    // Only the files whose clusters are a guess: a first cluster taken now
    // or a run past the volume's end leaves nothing to choose from.
    std::vector<int64_t> files;
    for (auto& [cluster, node] : store_) {
        const bool file = (node.attributes & fat_attr_deleted) && !(node.attributes & fat_attr_directory);
        if (file && node.size > 0 && node.entry_deleted &&
            !(node.trust & (fat_row_overwritten | fat_row_incomplete | fat_row_chain_kept | row_unreadable_sectors)) &&
            carve::content_check_known(content_extension(node.name).constData()))
            files.push_back(cluster);
    }
    if (files.empty())
        return;
    // In the order of their clusters, the FAT is read front to back about once.
    std::sort(files.begin(), files.end());
    content_trust_ = std::make_unique<fat_trust_c>(&fs_);
    queue_content_check(std::move(files));
}

int32_t fat_recovery_c::judge_content(int64_t id, carve::check_budget_s* budget)
{
    const auto found = store_.find(uint32_t(id));
    if (found == store_.end() || !content_trust_)
        return 0;
    fat_node_s* node = &found->second;
    const uint64_t cluster_bytes = uint64_t{fs_.cluster_size} * fs_.sector_bytes;
    auto bytes_of = [&](uint32_t first, uint64_t count, uint64_t* left, carve::byte_extents_t* out) {
        const uint64_t length = std::min(*left, count * cluster_bytes);
        out->emplace_back(fat_cluster_sector(&fs_, first) * fs_.sector_bytes, length);
        *left -= length;
    };
    const uint64_t clusters = (uint64_t{node->size} + cluster_bytes - 1) / cluster_bytes;
    carve::byte_extents_t run, free_run;
    uint64_t left = node->size;
    bytes_of(node->cluster, clusters, &left, &run);
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    if (clusters > 1 && content_trust_->free_runs(node->cluster, clusters, &runs)) {
        left = node->size;
        for (const auto& [first, count] : runs)
            bytes_of(first, count, &left, &free_run);
    }
    const bool gaps = node->trust & fat_row_gaps_skipped;
    const carve::deleted_verdict_s verdict = carve::judge_deleted_file(
        *fs_.source, content_extension(node->name).constData(), node->size, cluster_bytes, run, free_run, gaps, budget);
    using kind = carve::deleted_verdict_s::kind;
    if (verdict.outcome == kind::verified)
        node->trust &= ~fat_row_gaps_skipped;  // the run itself is whole: read it
    if (verdict.outcome == kind::rebuilt)
        rebuilt_[node->cluster] = verdict.chosen;
    node->trust |= row_content_flags(verdict);
    // The check may have been the first to read the file's sectors: zeros
    // where the disk failed are no sign of damaged content.
    const carve::byte_extents_t& copied = verdict.outcome == kind::rebuilt    ? verdict.chosen
                                          : verdict.outcome == kind::verified ? run
                                          : gaps && !free_run.empty()         ? free_run
                                                                              : run;
    if (extents_meet_unreadable(*fs_.source, copied)) {
        node->trust = (node->trust & ~(row_content_damaged | row_content_share_mask)) | row_unreadable_sectors;
        unreadable_files_.fetch_add(1, std::memory_order_relaxed);
    }
    return row_of(*node).flags;
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
        outcome_.root_result = f_opendir(&dir, &fs_, path);
        if (outcome_.root_result != fr_ok) {
            qCDebug(fat_log) << "f_opendir failed 1.";
            return;
        }
    } else if (const int opened = f_opendir_cluster(&dir, &fs_, parent); opened != fr_ok) {
        qCDebug(fat_log) << "f_opendir failed 2.";
        count_unread_folder(opened, deleted_folder, &outcome_.folders_unopened);
        return;
    }
    if (deleted_folder)
        dir.guess = &guess_;
    if (dir.cluster != 0)
        walked_.insert(dir.cluster);
    dir.visited = &walked_;

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
            // Its next cluster may still be found by the search of the data area.
            if (deleted_folder && read == fr_int_error && dir.cluster != 0)
                open_tails_.emplace_back(parent, dir.cluster);
            return;
        }
        if (info.short_name[0] == 0)
            return;
        if (info.start_cluster == 0)
            continue;
        if (!(info.attributes & fat_attr_deleted) && !inherited)
            ++live_entries_named_;
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

bool fat_recovery_c::looks_formatted()
{
    // What a format leaves, or a camera's format with its own empty folders
    // made again: a few live folders, no files, nothing deleted.
    constexpr int64_t fresh_folders = 4;
    if (live_entries_named_ > fresh_folders)
        return false;
    for (const auto& [cluster, node] : store_)
        if (node.attributes & fat_attr_deleted)
            return false;
    return fat_data_area_in_use(&fs_);
}

void fat_recovery_c::harvest_lost_folders()
{
    outcome_.lost_pass_run = true;
    std::vector<fat_harvest_cluster_s> kept;
    bool full = false;
    const fat_harvest_pass_s pass = fat_harvest_pass(
        &fs_,
        [this](double done) {
            if (!wait_while_paused())
                return false;
            status_.progress.store(std::min(0.99, done), std::memory_order_relaxed);
            return status_.stop.load(std::memory_order_relaxed) == stop_run;
        },
        [&](const fat_harvest_cluster_s& one) {
            status_.read_count.fetch_add(1, std::memory_order_relaxed);
            if (walked_.count(one.cluster))
                return;
            if (kept.size() >= size_t(max_lost_entries)) {
                full = true;
                return;
            }
            kept.push_back(one);
        });
    outcome_.lost_read_errors = pass.read_errors;
    outcome_.lost_pass_stopped = pass.stopped;
    if (full)
        ++outcome_.lost_entries_dropped;
    // A cluster in a chain belongs to a live file or folder now; only free
    // ones can be what is left of a lost folder.
    std::erase_if(kept, [this](const fat_harvest_cluster_s& one) { return fat_next_cluster(&fs_, one.cluster) != 0; });

    // Runs of consecutive clusters where each continues the one before
    // (that one did not end): how a folder grows on a card written in order.
    struct run_s {
        size_t first;  // index into kept
        size_t last;
        uint32_t folder = 0;  // key of the folder its entries belong to
    };
    std::vector<run_s> runs;
    for (size_t i = 0; i < kept.size(); ++i) {
        const fat_harvest_cluster_s& one = kept[i];
        if (!runs.empty() && one.kind == fat_harvest_kind_e::continuation &&
            kept[runs.back().last].cluster + 1 == one.cluster && !kept[runs.back().last].ended)
            runs.back().last = i;
        else
            runs.push_back({i, i, 0});
    }
    // A run that starts without "." continues some folder whose last cluster
    // read was full: a deleted folder the walk could not follow, or a run
    // found here that did not end. Of those, the nearest before it (a folder
    // grows forward), else the nearest after it.
    struct tail_s {
        uint32_t last;       // its last cluster
        uint32_t folder;     // a walked folder's key, or 0 for a run's
        size_t run = 0;
    };
    std::vector<tail_s> tails;
    for (const auto& [folder, last] : open_tails_)
        tails.push_back({last, folder, 0});
    for (size_t r = 0; r < runs.size(); ++r)
        if (!kept[runs[r].last].ended)
            tails.push_back({kept[runs[r].last].cluster, 0, r});
    const auto tail_folder = [&](const tail_s& t) { return t.folder != 0 ? t.folder : runs[t.run].folder; };
    std::unordered_map<uint32_t, uint32_t> folder_of;
    std::unordered_set<uint32_t> folder_keys;
    for (size_t r = 0; r < runs.size(); ++r) {
        run_s& run = runs[r];
        const uint32_t start = kept[run.first].cluster;
        run.folder = start;
        if (kept[run.first].kind == fat_harvest_kind_e::continuation) {
            size_t best = tails.size();
            for (size_t t = 0; t < tails.size(); ++t) {
                if (tails[t].folder == 0 && tails[t].run >= r)
                    continue;  // a run not yet placed, or this one
                const bool before = tails[t].last < start;
                const bool best_before = best < tails.size() && tails[best].last < start;
                if (best == tails.size() || (before && !best_before) ||
                    (before == best_before && (before ? tails[t].last > tails[best].last : tails[t].last < tails[best].last)))
                    best = t;
            }
            if (best < tails.size()) {
                run.folder = tail_folder(tails[best]);
                tails.erase(tails.begin() + static_cast<std::ptrdiff_t>(best));
            }
        }
        // A start cluster the walk already gave to an entry cannot be told
        // apart from it: leave the run out.
        if (run.folder == start && store_.count(start))
            continue;
        for (size_t i = run.first; i <= run.last; ++i)
            folder_of[kept[i].cluster] = run.folder;
        if (run.folder == start)
            folder_keys.insert(start);
    }
    if (folder_of.empty())
        return;

    // The found folders are deleted ones; the node above them is no folder
    // of the volume's.
    add_lost_folders(
        lost_key, folder_keys,
        [](uint32_t key, bool found) {
            fat_node_s folder;
            folder.cluster = key;
            folder.attributes = found ? fat_attr_directory | fat_attr_deleted : fat_attr_directory;
            return folder;
        },
        [](uint32_t key) { return key; });
    outcome_.lost_folders = int64_t(folder_keys.size());
    // ".." ties a folder to its parent where the parent is known.
    for (const fat_harvest_cluster_s& one : kept) {
        if (one.kind != fat_harvest_kind_e::first || !folder_keys.count(one.cluster) || one.parent == 0)
            continue;
        const auto parent = store_.find(one.parent);
        if (parent != store_.end() && (parent->second.attributes & fat_attr_directory) &&
            !would_loop(store_, one.cluster, one.parent))
            store_[one.cluster].parent = one.parent;
    }
    for (const fat_harvest_cluster_s& one : kept) {
        if (status_.stop.load(std::memory_order_relaxed) == stop_abandon)
            return;
        if (const auto it = folder_of.find(one.cluster); it != folder_of.end())
            list_lost_cluster(one.cluster, it->second, folder_keys);
    }
}


void fat_recovery_c::list_lost_cluster(uint32_t cluster, uint32_t folder, const std::unordered_set<uint32_t>& folder_keys)
{
    fat_dir_s dir;
    if (f_opendir_cluster(&dir, &fs_, cluster) != fr_ok)
        return;
    fat_info_s info;
    // The cluster's FAT entry is free, so the reading ends with it.
    for (int entry = 0; entry < 65536; ++entry) {
        info.long_name = long_name_;
        info.long_name_capacity = fat_long_name_units;
        if (f_readdir(&dir, &info) != fr_ok || info.short_name[0] == 0)
            return;
        if (info.start_cluster == 0)
            continue;
        const bool entry_deleted = info.attributes & fat_attr_deleted;
        const char16_t first = (!entry_deleted && info.long_name[0]) ? info.long_name[0] : info.short_name[0];
        if (first == u'.')
            continue;
        const uint8_t attributes = info.attributes | fat_attr_deleted;
        fat_node_s node = node_of_entry(info, attributes, folder, 1);
        // The entry itself is whole: its name is shown as it was.
        if (!entry_deleted) {
            node.name = node_name(info);
            node.first[0] = node.first[1] = 0;
        }
        if (node.attributes & fat_attr_directory) {
            // The folder's own entry names it and places it.
            auto it = store_.find(node.cluster);
            if (it == store_.end() || !folder_keys.count(node.cluster) || node.cluster == folder ||
                would_loop(store_, node.cluster, folder))
                continue;
            it->second.name = node.name;
            std::copy(std::begin(node.first), std::end(node.first), std::begin(it->second.first));
            it->second.parent = folder;
            it->second.write_time = node.write_time;
            it->second.create_time = node.create_time;
            it->second.entry_deleted = node.entry_deleted;
            continue;
        }
        if (store_.count(node.cluster))
            continue;
        if (outcome_.lost_entries >= max_lost_entries) {
            ++outcome_.lost_entries_dropped;
            continue;
        }
        store_.emplace(node.cluster, std::move(node));
        ++outcome_.lost_entries;
        status_.found_count.fetch_add(1, std::memory_order_relaxed);
    }
}

recovery_item_s fat_recovery_c::row_of(const fat_node_s& node)
{
    return result_tree::file_row(node.name, node.size, node.write_time, node.create_time, node.cluster,
                                 node.attributes | node.trust);
}

bool fat_recovery_c::is_shown_file(const fat_node_s& n) { return n.cluster != 0 && !(n.attributes & fat_attr_directory); }

bool fat_recovery_c::is_shown_folder(const fat_node_s& n)
{
    return n.cluster != 0 && (n.attributes & fat_attr_directory) && n.has_files;
}

QString fat_recovery_c::failure_reason() const
{
    const QString name = volume_.device_path;
    if (!outcome_.opened)
        return QStringLiteral("%1: cannot be read (%2)").arg(name, open_error_);
    switch (outcome_.root_result) {
    case fr_ok: return {};
    case fr_no_filesystem: return QStringLiteral("%1 holds no valid FAT file system (boot sector rejected)").arg(name);
    case fr_disk_error:
        if (fs_.boot_read_error != 0)
            return QStringLiteral("%1: its boot sector (sector 0 of the volume) cannot be read (%2), and no usable "
                                  "copy of it was found")
                .arg(name, QString::fromStdString(platform::read_error_text(fs_.boot_read_error)));
        return QStringLiteral("%1: read error while mounting (damaged or truncated volume?)").arg(name);
    case fr_not_ready: return QStringLiteral("%1: drive not ready").arg(name);
    default: return QStringLiteral("%1: cannot open the top folder (result %2)").arg(name).arg(outcome_.root_result);
    }
}

job_notes_t fat_recovery_c::notes() const
{
    job_notes_t out;
    const auto add = [&out](const char* key, QVariantList args = {}) { out.push_back({key, std::move(args)}); };
    if (outcome_.boot_from_backup)
        add("note_fat_boot_copy");
    if (outcome_.fat_sectors_mended > 0)
        add("note_fat_sectors_mended", {qlonglong(outcome_.fat_sectors_mended)});
    if (outcome_.fat_sectors_lost > 0)
        add("note_fat_sectors_lost", {qlonglong(outcome_.fat_sectors_lost), qulonglong(outcome_.first_fat_sector_lost)});
    add_walk_notes(&out, {outcome_.dir_sectors_unreadable, outcome_.first_dir_sector_unreadable, outcome_.dir_read_error,
                          outcome_.folders_cut_short + outcome_.folders_unopened});
    add_lost_search_notes(&out, outcome_.folders_too_deep, outcome_.lost_read_errors,
                          outcome_.lost_entries_dropped > 0, max_lost_entries);
    if (outcome_.deleted_folders_cut_short > 0)
        add(outcome_.lost_pass_run && !outcome_.lost_pass_stopped ? "note_deleted_folders_searched"
                                                                   : "note_deleted_folders_not_searched",
            {qlonglong(outcome_.deleted_folders_cut_short)});
    if (outcome_.formatted)
        add(formatted_note_key(outcome_.lost_folders > 0, outcome_.lost_pass_run), {lost_names_.lost_folders});
    if (outcome_.lost_pass_stopped)
        add("note_lost_pass_stopped");
    return out;
}

QString fat_recovery_c::written_name(const recovery_item_s& row) const
{
    if (row.id < 0 || row.id > int64_t(UINT32_MAX))
        return row.name;
    const fat_node_s* n = node(static_cast<uint32_t>(row.id));
    // A row from elsewhere (a stale selection) keeps the name it was shown with.
    return n && n->name == row.name ? fat_written_name(*n) : row.name;
}

std::vector<written_folder_s> fat_recovery_c::written_folders(const found_row_s& row) const
{
    std::vector<written_folder_s> out = recovery_base_c::written_folders(row);
    if (row.item.id < 0 || row.item.id > int64_t(UINT32_MAX))
        return out;
    result_tree::written_chain(
        node(static_cast<uint32_t>(row.item.id)), [this](uint32_t key) { return node(key); },
        [](const fat_node_s& n) { return n.cluster == 0; }, out, fat_written_name,
        [](const fat_node_s& n) { return n.write_time; }, &out);
    return out;
}

bool fat_recovery_c::data_offset(int64_t id, uint64_t* offset)
{
    std::lock_guard lock(read_back_lock());
    const fat_node_s* n = id < 0 || id > int64_t(UINT32_MAX) ? nullptr : node(static_cast<uint32_t>(id));
    if (!n || !fat_cluster_valid(&fs_, n->cluster))
        return false;
    *offset = fat_cluster_sector(&fs_, n->cluster) * fs_.sector_bytes;
    return true;
}

int fat_recovery_c::recover_file(int64_t id, const QString& destination)
{
    // The FAT reader reads through one shared volume object.
    std::lock_guard lock(read_back_lock());
    if (id < 0 || id > int64_t(UINT32_MAX))
        return -1;
    judge_if_waiting(id);
    const fat_node_s* n = node(static_cast<uint32_t>(id));
    if (!n)
        return -1;
    const auto rebuilt = rebuilt_.find(n->cluster);
    if (rebuilt != rebuilt_.end() && (n->trust & row_content_rebuilt))
        return write_pieces(*fs_.source, rebuilt->second, n->size, destination);
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
    file.skip_allocated = contiguous && (n->trust & fat_row_gaps_skipped);
    std::vector<uint8_t> chunk(std::min<uint64_t>(copy_chunk, std::max<uint32_t>(n->size, 1)));
    uint64_t written = 0;
    bool ok = true;
    for (;;) {
        uint32_t delivered = 0;
        const int r = f_read(&file, chunk.data(), static_cast<uint32_t>(chunk.size()), &delivered, contiguous);
        if (delivered > 0 && !platform::write_fully(fd, chunk.data(), delivered)) {
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
    remove_created_target(destination);
    return -1;
}
