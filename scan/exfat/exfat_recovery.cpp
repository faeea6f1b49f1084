#include "scan/exfat/exfat_recovery.h"

#include "engines/exfat/exfat_entry.h"
#include "engines/exfat/exfat_harvest.h"
#include "platform/fd_io.h"
#include "scan/content_pass.h"
#include "scan/result_tree.h"
#include "scan/safe_name.h"
#include "scan/unreadable_sectors.h"

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <map>
#include <cerrno>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr size_t copy_chunk = 256 * 1024;

// Turns byte positions inside a directory's data into positions on the
// volume, for positions that only grow.
class position_cursor_c {
public:
    position_cursor_c(const exfat::cluster_map_s& map, const exfat::boot_s& boot) : map_(map), boot_(boot) {}
    uint64_t volume_offset(uint64_t at)
    {
        const uint64_t cluster_bytes = boot_.cluster_bytes();
        while (index_ < map_.extents.size() && at >= start_ + uint64_t{map_.extents[index_].count} * cluster_bytes) {
            start_ += uint64_t{map_.extents[index_].count} * cluster_bytes;
            ++index_;
        }
        if (index_ == map_.extents.size())
            return 0;
        return boot_.cluster_offset(map_.extents[index_].cluster) + (at - start_);
    }

private:
    const exfat::cluster_map_s& map_;
    const exfat::boot_s& boot_;
    size_t index_ = 0;
    uint64_t start_ = 0;
};

int32_t data_flags_of(const exfat::cluster_map_s& map)
{
    int32_t flags = 0;
    switch (map.source) {
    case exfat::data_source::contiguous: flags |= exfat_row_contiguous; break;
    case exfat::data_source::fat_chain: flags |= exfat_row_from_fat; break;
    case exfat::data_source::free_clusters: flags |= exfat_row_from_free_clusters; break;
    }
    if (map.some_in_use)
        flags |= exfat_row_overwritten;
    if (!map.complete)
        flags |= exfat_row_incomplete;
    return flags;
}

// The byte ranges of the volume that hold the first bytes of the data laid
// over map: what a copy or a content check reads from the disk.
carve::byte_extents_t byte_extents(const exfat::boot_s& boot, const exfat::cluster_map_s& map, uint64_t bytes)
{
    carve::byte_extents_t out;
    uint64_t left = bytes;
    for (const exfat::extent_s& e : map.extents) {
        const uint64_t length = std::min(left, uint64_t{e.count} * boot.cluster_bytes());
        if (length == 0)
            break;
        out.emplace_back(boot.cluster_offset(e.cluster), length);
        left -= length;
    }
    return out;
}

exfat_node_s node_of_set(const exfat::entry_set_s& set, int64_t id, int64_t parent, uint8_t inherited)
{
    exfat_node_s n;
    n.id = id;
    n.parent = parent;
    n.name = QString::fromUtf16(set.name.data(), static_cast<qsizetype>(set.name.size()));
    n.size = set.data_length;
    n.valid_size = std::min(set.valid_length, set.data_length);
    n.write_time = exfat::timestamp_seconds(set.modified);
    n.create_time = exfat::timestamp_seconds(set.created);
    n.first_cluster = set.first_cluster;
    n.attributes = set.attributes;
    n.stream_flags = set.stream_flags;
    n.deleted = set.deleted;
    n.inherited = inherited;
    return n;
}

}  // namespace

bool exfat_boot_region_found(const platform::byte_source_ptr& source)
{
    exfat::volume_c volume;
    return volume.open(source) == exfat::open_result::ok;
}

exfat_recovery_c::exfat_recovery_c(QObject* parent) : scanner_c(parent, root_id, max_tree_depth) {}

exfat_recovery_c::~exfat_recovery_c()
{
    status_.stop.store(stop_abandon, std::memory_order_relaxed);
    wait();
}

void exfat_recovery_c::reset()
{
    status_.clear();
    store_.clear();
    entered_.clear();
    walked_.clear();
    live_sets_ = 0;
    outcome_ = {};
    checked_.clear();
    content_queue_.clear();
    unreadable_files_ = 0;
}

recovery_item_s exfat_recovery_c::row_of(const exfat_node_s& node)
{
    // The attribute word is the disk's, reserved bits too; the bit that says
    // a copy met unreadable sectors is the writer's alone.
    const int32_t flags =
        (int32_t{node.attributes} & ~row_unreadable_sectors) | (node.gone() ? exfat_row_deleted : 0) | node.data_flags;
    return result_tree::file_row(node.name, static_cast<int64_t>(std::min<uint64_t>(node.size, INT64_MAX)),
                                 node.write_time, node.create_time, node.id, flags);
}

bool exfat_recovery_c::wait_while_paused() { return !stop_point(); }

void exfat_recovery_c::run_scan()
{
    reset_for_run();
    open_error_.clear();
    outcome_.opened = fs_.open(scan_source(volume_.device_path, &open_error_));
    if (outcome_.opened != exfat::open_result::ok)
        return;
    outcome_.backup_boot = fs_.from_backup_region();
    outcome_.allocation_unknown = int64_t(fs_.unknown_clusters());

    exfat_node_s root;
    root.id = root_id;
    root.attributes = exfat::attr_directory;
    store_[root_id] = root;

    // Live folders first: a deleted folder whose clusters a live one has
    // taken over then finds them already read and is not entered.
    std::vector<pending_s> live, gone;
    exfat::cluster_map_s root_map = fs_.map_chain(fs_.boot().root_cluster, exfat::max_directory_bytes);
    if (!root_map.complete)
        ++outcome_.folders_cut_short;
    live.push_back({root_id, std::move(root_map), exfat::max_directory_bytes, 0, 0});
    int64_t folders_done = 0;
    while (!live.empty() || !gone.empty()) {
        if (!wait_while_paused())
            break;
        std::vector<pending_s>& from = live.empty() ? gone : live;
        const pending_s dir = std::move(from.back());
        from.pop_back();
        scan_directory(dir, &live, &gone);
        ++folders_done;
        const double total = double(folders_done + int64_t(live.size() + gone.size()));
        status_.progress.store(std::min(0.99, double(folders_done) / total), std::memory_order_relaxed);
    }
    if (status_.stop.load(std::memory_order_relaxed) == stop_run) {
        outcome_.formatted = looks_formatted();
        if (lost_mode_ == lost_pass_e::on || (lost_mode_ == lost_pass_e::automatic && outcome_.formatted))
            harvest_lost_folders();
    }
    tag_unreadable_files();
    check_deleted_contents();
    outcome_.read_errors = fs_.read_errors();
    result_tree::link_children(store_);
    result_tree::mark_folders(store_, [](const exfat_node_s& n) { return !n.is_directory(); });
}

void exfat_recovery_c::scan_directory(const pending_s& dir, std::vector<pending_s>* live, std::vector<pending_s>* gone)
{
    std::vector<uint8_t> data;
    if (!fs_.read_all(dir.map, dir.length, &data) || !dir.map.complete)
        ++outcome_.folders_cut_short;
    // The search for lost folders leaves the clusters read here alone.
    uint64_t clusters_left = exfat::max_directory_bytes / fs_.boot().cluster_bytes() + 1;
    for (const exfat::extent_s& e : dir.map.extents)
        for (uint32_t i = 0; i < e.count && clusters_left > 0; ++i, --clusters_left)
            walked_.insert(e.cluster + i);
    position_cursor_c cursor(dir.map, fs_.boot());
    const char16_t* upcase = fs_.upcase();
    // Sectors the medium could not give read as zeros, which would end the
    // folder: the entries after them are read on.
    const auto lost = fs_.unreadable_in_mapped(dir.map, data.size());
    auto next_lost = lost.begin();
    for (const auto& [from, to] : lost) {
        if (outcome_.dir_sectors_unreadable == 0) {
            position_cursor_c first(dir.map, fs_.boot());
            outcome_.first_dir_sector_unreadable = first.volume_offset(from) / fs_.boot().sector_bytes();
            const auto why = fs_.source()->unreadable_in(first.volume_offset(from), 1);
            outcome_.dir_read_error = why.empty() ? 0 : why.front().error;
        }
        outcome_.dir_sectors_unreadable += int64_t((to - from) / fs_.boot().sector_bytes());
    }

    size_t at = 0;
    while (at + exfat::entry_bytes <= data.size()) {
        if (!wait_while_paused())
            return;
        while (next_lost != lost.end() && next_lost->second <= at)
            ++next_lost;
        if (next_lost != lost.end() && next_lost->first < at + exfat::entry_bytes) {
            at = static_cast<size_t>(next_lost->second);
            continue;
        }
        const uint8_t type = data[at];
        if (type == exfat::type_end)
            break;
        if (type != exfat::type_file && type != exfat::type_file_deleted) {
            at += exfat::entry_bytes;
            continue;
        }
        status_.read_count.fetch_add(1, std::memory_order_relaxed);
        exfat::entry_set_s set;
        if (exfat::parse_entry_set(data.data() + at, data.size() - at, &set) != exfat::set_result::ok) {
            ++outcome_.sets_damaged;
            at += exfat::entry_bytes;
            continue;
        }
        const int64_t id = static_cast<int64_t>(cursor.volume_offset(at) / exfat::entry_bytes);
        at += set.entry_count() * exfat::entry_bytes;
        if (!set.deleted && !dir.inherited)
            ++live_sets_;
        if (!set.deleted && !dir.inherited && !set.is_directory())
            continue;  // a live file: nothing to recover
        if (upcase && exfat::name_hash(set.name, upcase) != set.name_hash)
            ++outcome_.names_unhashed;
        if (id == root_id || store_.count(id))
            continue;

        exfat_node_s n = node_of_set(set, id, dir.id, dir.inherited);

        const bool data_gone = n.gone();
        if (n.is_directory()) {
            const uint64_t length = std::min(set.data_length, exfat::max_directory_bytes);
            exfat::cluster_map_s map = fs_.map_clusters(set.first_cluster, length, set.no_fat_chain(), data_gone);
            n.data_flags = data_flags_of(map);
            if (dir.depth + 1 > max_tree_depth) {
                ++outcome_.folders_too_deep;
            } else if (!map.extents.empty() && entered_.insert(set.first_cluster).second) {
                // Each folder's clusters are read once: a second entry naming
                // the same first cluster (damage, or a deleted folder whose
                // clusters a live one reuses) is listed but not entered.
                const uint8_t inherited = dir.inherited || set.deleted ? 1 : 0;
                (data_gone ? gone : live)->push_back({id, std::move(map), length, inherited, dir.depth + 1});
            }
        } else {
            n.data_flags = data_flags_of(fs_.map_clusters(set.first_cluster, n.size, set.no_fat_chain(), data_gone));
        }
        store_.emplace(id, std::move(n));
        status_.found_count.fetch_add(1, std::memory_order_relaxed);
    }
}

std::vector<std::pair<uint64_t, uint64_t>> exfat_recovery_c::copy_extents(const exfat_node_s& node)
{
    if (const auto checked = checked_.find(node.id); checked != checked_.end())
        return checked->second;
    const exfat::cluster_map_s map =
        fs_.map_clusters(node.first_cluster, node.size, node.stream_flags & exfat::stream_no_fat_chain, node.gone());
    // Past the valid length the copy writes zeros without reading.
    return byte_extents(fs_.boot(), map, std::min(node.valid_size, node.size));
}

void exfat_recovery_c::tag_unreadable_files()
{
    // Sectors known to be unreadable by now (met by the walk, the search for
    // lost folders, or an imaging map): a deleted file whose copy would read
    // them is told apart now, and its content check, which would judge the
    // zeros, is spared. A sound disk never gets past this test.
    if (!fs_.source() || fs_.source()->unreadable_generation() == 0)
        return;
    for (auto& [id, node] : store_) {
        if (status_.stop.load(std::memory_order_relaxed) != 0)
            return;
        if (node.is_directory() || !node.gone() || node.size == 0 ||
            (node.data_flags & (exfat_row_incomplete | row_unreadable_sectors)))
            continue;
        if (extents_meet_unreadable(*fs_.source(), copy_extents(node))) {
            node.data_flags |= row_unreadable_sectors;
            unreadable_files_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void exfat_recovery_c::check_deleted_contents()
{
    if (!content_check_ || status_.stop.load(std::memory_order_relaxed) != stop_run || !fs_.source())
        return;
    // Only files whose chain is gone and whose free clusters were taken: the
    // rest are exact, or cannot be had whole whatever is chosen.
    std::vector<std::pair<uint32_t, int64_t>> files;
    for (auto& [id, node] : store_) {
        const int32_t guessed = node.data_flags & (exfat_row_from_free_clusters | exfat_row_overwritten |
                                                   exfat_row_incomplete | row_unreadable_sectors);
        if (!node.is_directory() && node.gone() && node.size > 0 && node.valid_size == node.size &&
            guessed == exfat_row_from_free_clusters &&
            carve::content_check_known(content_extension(node.name).constData()))
            files.emplace_back(node.first_cluster, id);
    }
    std::sort(files.begin(), files.end());
    std::vector<int64_t> ids;
    ids.reserve(files.size());
    for (const auto& file : files)
        ids.push_back(file.second);
    queue_content_check(std::move(ids));
}

int32_t exfat_recovery_c::judge_content(int64_t id, carve::check_budget_s* budget)
{
    const auto found = store_.find(id);
    if (found == store_.end())
        return 0;
    exfat_node_s* node = &found->second;
    const uint64_t cluster_bytes = fs_.boot().cluster_bytes();
    const exfat::cluster_map_s run_map = fs_.map_clusters(node->first_cluster, node->size, true, true);
    const exfat::cluster_map_s free_map = fs_.map_clusters(node->first_cluster, node->size, false, true);
    const carve::byte_extents_t run = run_map.complete ? byte_extents(fs_.boot(), run_map, node->size) : carve::byte_extents_t{};
    const carve::byte_extents_t free_run = byte_extents(fs_.boot(), free_map, node->size);
    const carve::deleted_verdict_s verdict = carve::judge_deleted_file(
        *fs_.source(), content_extension(node->name).constData(), node->size, cluster_bytes, run, free_run, true, budget);
    using kind = carve::deleted_verdict_s::kind;
    if (verdict.outcome == kind::verified)
        checked_[node->id] = run;
    else if (verdict.outcome == kind::rebuilt)
        checked_[node->id] = verdict.chosen;
    node->data_flags |= row_content_flags(verdict);
    // The check may have been the first to read the file's sectors: zeros
    // where the disk failed are no sign of damaged content.
    if (extents_meet_unreadable(*fs_.source(), copy_extents(*node))) {
        node->data_flags = (node->data_flags & ~(row_content_damaged | row_content_share_mask)) | row_unreadable_sectors;
        unreadable_files_.fetch_add(1, std::memory_order_relaxed);
    }
    return row_of(*node).flags;
}

bool exfat_recovery_c::looks_formatted()
{
    // What a format leaves, or a camera's format with its own empty folders
    // made again: a few live folders, no files, nothing deleted.
    constexpr int64_t fresh_folders = 4;
    if (live_sets_ > fresh_folders)
        return false;
    for (const auto& [id, node] : store_)
        if (node.gone())
            return false;
    return exfat::free_clusters_hold_data(fs_);
}

void exfat_recovery_c::harvest_lost_folders()
{
    outcome_.lost_pass_run = true;
    std::vector<uint32_t> clusters;
    std::unordered_map<uint32_t, std::vector<int64_t>> ids_in;
    std::unordered_map<int64_t, uint32_t> cluster_of;
    const exfat::boot_s& boot = fs_.boot();
    constexpr size_t set_bytes_max = (size_t{exfat::max_secondary_count} + 1) * exfat::entry_bytes;
    std::unordered_map<uint32_t, std::pair<size_t, std::vector<uint8_t>>> tails;  // where the cut set starts, its bytes
    std::map<uint32_t, std::vector<uint8_t>> heads;
    const auto add = [&](const exfat::entry_set_s& set, int64_t id, uint32_t c) {
        if (store_.count(id))
            return;
        if (outcome_.lost_entries >= max_lost_entries) {
            ++outcome_.lost_entries_dropped;
            return;
        }
        exfat_node_s n = node_of_set(set, id, lost_id, 1);
        if (!n.is_directory())
            n.data_flags = data_flags_of(fs_.map_clusters(set.first_cluster, n.size, set.no_fat_chain(), true));
        store_.emplace(id, std::move(n));
        ids_in[c].push_back(id);
        cluster_of[id] = c;
        ++outcome_.lost_entries;
        status_.found_count.fetch_add(1, std::memory_order_relaxed);
    };
    const exfat::harvest_pass_s pass = exfat::harvest_pass(
        fs_,
        [this](double done) {
            if (!wait_while_paused())
                return false;
            status_.progress.store(std::min(0.99, done), std::memory_order_relaxed);
            return true;
        },
        [this](uint32_t c) { return walked_.count(c) != 0; },
        [&](uint32_t c, const uint8_t* bytes, size_t length) {
            if (clusters.size() >= size_t(max_lost_entries)) {
                ++outcome_.lost_entries_dropped;
                return;
            }
            clusters.push_back(c);
            // A set the cluster's end cuts is completed from the cluster that
            // starts with its rest (below): keep both ends.
            const uint8_t first_type = bytes[0] & ~exfat::entry_in_use;
            if (first_type == (exfat::type_stream & ~exfat::entry_in_use) ||
                first_type == (exfat::type_name & ~exfat::entry_in_use))
                heads[c].assign(bytes, bytes + std::min(length, set_bytes_max));
            for (size_t at = 0; at + exfat::entry_bytes <= length;) {
                exfat::entry_set_s set;
                const bool file_entry = bytes[at] == exfat::type_file || bytes[at] == exfat::type_file_deleted;
                const exfat::set_result parsed =
                    file_entry ? exfat::parse_entry_set(bytes + at, length - at, &set) : exfat::set_result::not_a_file;
                if (parsed == exfat::set_result::truncated)
                    tails[c] = {at, std::vector<uint8_t>(bytes + at, bytes + length)};
                if (parsed != exfat::set_result::ok) {
                    at += exfat::entry_bytes;
                    continue;
                }
                const int64_t id = static_cast<int64_t>((boot.cluster_offset(c) + at) / exfat::entry_bytes);
                at += set.entry_count() * exfat::entry_bytes;
                status_.read_count.fetch_add(1, std::memory_order_relaxed);
                add(set, id, c);
            }
        });
    outcome_.lost_read_errors = pass.read_errors;
    outcome_.lost_pass_stopped = pass.stopped;
    if (clusters.empty())
        return;

    // Consecutive clusters are one folder until a folder's own entry says
    // which clusters are its: through the FAT where it still holds the
    // chain, its run where it was flagged contiguous.
    std::unordered_map<uint32_t, int64_t> owner;
    for (size_t i = 0; i < clusters.size(); ++i) {
        const bool joins = i > 0 && clusters[i - 1] + 1 == clusters[i];
        owner[clusters[i]] = joins ? owner[clusters[i - 1]] : lost_folder_id(clusters[i]);
    }
    const uint64_t most_clusters = exfat::max_directory_bytes / boot.cluster_bytes() + 1;
    for (const uint32_t c : clusters) {
        for (const int64_t id : ids_in[c]) {
            const exfat_node_s& d = store_.at(id);
            if (!d.is_directory())
                continue;
            const exfat::cluster_map_s map = fs_.map_clusters(
                d.first_cluster, std::min(d.size, exfat::max_directory_bytes), d.stream_flags & exfat::stream_no_fat_chain, true);
            uint64_t left = most_clusters;
            for (const exfat::extent_s& e : map.extents)
                for (uint32_t k = 0; k < e.count && left > 0; ++k, --left) {
                    const auto it = owner.find(e.cluster + k);
                    if (it != owner.end() && it->second < lost_id && it->first != cluster_of[id])
                        it->second = id;
                }
        }
    }
    // A set cut by a cluster's end, put back together with the cluster that
    // holds its rest: its checksum holding says the two clusters are one
    // folder's, however far apart they lie.
    uint64_t tries_left = uint64_t{1} << 20;
    uint64_t merge_steps_left = uint64_t{1} << 26;
    for (const uint32_t c : clusters) {
        const auto tail = tails.find(c);
        if (tail == tails.end())
            continue;
        for (auto head = heads.begin(); head != heads.end() && tries_left > 0; ++head, --tries_left) {
            if (head->first == c)
                continue;
            std::vector<uint8_t> joined = tail->second.second;
            joined.insert(joined.end(), head->second.begin(), head->second.end());
            exfat::entry_set_s set;
            if (exfat::parse_entry_set(joined.data(), joined.size(), &set) != exfat::set_result::ok)
                continue;
            add(set, static_cast<int64_t>((boot.cluster_offset(c) + tail->second.first) / exfat::entry_bytes), c);
            const int64_t from = owner[head->first];
            const int64_t to = owner[c];
            if (from < lost_id && from != to && merge_steps_left >= owner.size()) {
                merge_steps_left -= owner.size();
                for (auto& [cluster, who] : owner)
                    if (who == from)
                        who = to;
            }
            heads.erase(head);
            break;
        }
    }
    std::unordered_set<int64_t> run_folders;
    for (const uint32_t c : clusters)
        for (const int64_t id : ids_in[c]) {
            store_.at(id).parent = owner[c];
            if (owner[c] < lost_id)
                run_folders.insert(owner[c]);
        }
    add_lost_folders(
        lost_id, run_folders,
        [](int64_t id, bool) {
            exfat_node_s folder;
            folder.id = id;
            folder.attributes = exfat::attr_directory;
            return folder;
        },
        [](int64_t id) { return lost_id - 1 - id; });
    outcome_.lost_folders = int64_t(run_folders.size());
}

QString exfat_recovery_c::failure_reason() const
{
    const QString name = volume_.device_path;
    switch (outcome_.opened) {
    case exfat::open_result::ok: return {};
    case exfat::open_result::cannot_read:
        if (!open_error_.isEmpty())
            return QStringLiteral("%1: cannot be read (%2)").arg(name, open_error_);
        if (fs_.boot_read_error() != 0)
            return QStringLiteral("%1: its boot sector (sector 0 of the volume) cannot be read (%2), and no usable "
                                  "copy of its boot region was found")
                .arg(name, QString::fromStdString(platform::read_error_text(fs_.boot_read_error())));
        return QStringLiteral("%1: cannot be read").arg(name);
    case exfat::open_result::not_exfat: return QStringLiteral("%1 holds no exFAT file system (no boot sector)").arg(name);
    case exfat::open_result::bad_boot:
        return QStringLiteral("%1: both exFAT boot regions are damaged (fields or checksum wrong)").arg(name);
    }
    return {};
}

job_notes_t exfat_recovery_c::notes() const
{
    job_notes_t out;
    const auto add = [&out](const char* key, QVariantList args = {}) { out.push_back({key, std::move(args)}); };
    if (outcome_.backup_boot)
        add("note_exfat_boot_backup");
    if (outcome_.allocation_unknown > 0)
        add("note_exfat_allocation_unknown", {qlonglong(outcome_.allocation_unknown)});
    add_walk_notes(&out, {outcome_.dir_sectors_unreadable, outcome_.first_dir_sector_unreadable,
                          outcome_.dir_read_error, outcome_.folders_cut_short});
    if (outcome_.sets_damaged > 0)
        add("note_exfat_sets_damaged", {qlonglong(outcome_.sets_damaged)});
    add_lost_search_notes(&out, outcome_.folders_too_deep, outcome_.lost_read_errors,
                          outcome_.lost_entries_dropped > 0, max_lost_entries);
    if (outcome_.formatted)
        add(formatted_note_key(outcome_.lost_folders > 0 || outcome_.lost_entries > 0, outcome_.lost_pass_run),
            {lost_names_.lost_folders});
    if (outcome_.lost_pass_stopped)
        add("note_lost_pass_stopped");
    return out;
}

bool exfat_recovery_c::data_offset(int64_t id, uint64_t* offset)
{
    std::lock_guard lock(read_back_lock());
    const exfat_node_s* n = node(id);
    if (!n || n->is_directory() || !fs_.is_open() || !fs_.boot().valid_cluster(n->first_cluster))
        return false;
    *offset = fs_.boot().cluster_offset(n->first_cluster);
    return true;
}

int exfat_recovery_c::recover_file(int64_t id, const QString& destination)
{
    std::lock_guard lock(read_back_lock());
    judge_if_waiting(id);
    const exfat_node_s* n = node(id);
    if (!n || n->is_directory() || !fs_.is_open())
        return -1;
    if (const auto checked = checked_.find(id); checked != checked_.end())
        return write_pieces(*fs_.source(), checked->second, n->size, destination);
    // The clusters are mapped for the whole size, as they were allocated;
    // a size the volume cannot hold maps short and writes no zero tail.
    const exfat::cluster_map_s map =
        fs_.map_clusters(n->first_cluster, n->size, n->stream_flags & exfat::stream_no_fat_chain, n->gone());
    const uint64_t end =
        map.complete ? n->size : std::min(n->valid_size, map.cluster_total() * fs_.boot().cluster_bytes());
    const int fd = open_recovery_target(destination);
    if (fd < 0)
        return errno == EEXIST ? recover_target_exists : -1;

    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(copy_chunk, std::max<uint64_t>(n->size, 1))));
    bool ok = true;
    uint64_t done = 0;
    // Up to the valid length the clusters hold the data; past it the file
    // reads as zeros, as it would on the live volume.
    while (ok && done < end) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(chunk.size(), end - done));
        size_t from_disk = 0;
        if (done < n->valid_size) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(piece, n->valid_size - done));
            from_disk = fs_.read_mapped(map, done, chunk.data(), want);
            if (from_disk != want)
                ok = false;
        }
        std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(from_disk), chunk.begin() + static_cast<std::ptrdiff_t>(piece), 0);
        if (!platform::write_fully(fd, chunk.data(), ok ? piece : from_disk)) {
            ok = false;
            break;
        }
        done += ok ? piece : from_disk;
    }
    if (::close(fd) != 0)
        ok = false;
    if (ok && map.complete)
        return 0;
    // A short copy is a failure, and a failure leaves no file behind.
    remove_created_target(destination);
    return -1;
}

std::vector<written_folder_s> exfat_recovery_c::written_folders(const found_row_s& row) const
{
    // Folder names are whole here; what the tree adds is their times.
    std::vector<written_folder_s> out = recovery_base_c::written_folders(row);
    result_tree::written_chain(
        node(row.item.id), [this](int64_t key) { return node(key); },
        [](const exfat_node_s& n) { return n.id == 0; }, out, [](const exfat_node_s& n) { return n.name; },
        [](const exfat_node_s& n) { return n.write_time; }, &out);
    return out;
}
