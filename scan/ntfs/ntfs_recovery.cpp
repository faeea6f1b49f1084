#include "scan/ntfs/ntfs_recovery.h"

#include "engines/carve/content_check.h"
#include "platform/folders.h"
#include "scan/result_tree.h"
#include "scan/safe_name.h"
#include "scan/unreadable_sectors.h"

#include <QFile>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <typename T>
T load(const uint8_t* record, size_t offset) {
    T value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

// Decodes the engine's 576-byte record.
ntfs_node_s node_from_record(const uint8_t* r) {
    using namespace ntfs_engine;
    ntfs_node_s n;
    n.number = load<int64_t>(r, rec_number);
    n.parent = load<int64_t>(r, rec_parent);
    n.size = load<int64_t>(r, rec_size);
    n.time_a = load<int64_t>(r, rec_time_a);
    n.time_b = load<int64_t>(r, rec_time_b);
    n.flags = load<uint32_t>(r, rec_flags);
    n.sequence = load<uint16_t>(r, rec_sequence);
    n.parent_sequence = load<uint16_t>(r, rec_parent_sequence);
    std::array<char16_t, name_units> units{};
    std::memcpy(units.data(), r + rec_name, sizeof units);
    units.back() = 0;
    n.name = QString::fromUtf16(units.data());
    return n;
}

bool is_directory(const ntfs_node_s& n) { return n.flags & ntfs_engine::flag_directory; }

}  // namespace

ntfs_recovery_c::ntfs_recovery_c(QObject* parent) : scanner_c(parent, root_number, max_tree_depth) {}

ntfs_recovery_c::~ntfs_recovery_c() {
    status_.stop.store(stop_abandon, std::memory_order_relaxed);
    wait();
    // The engine scan is kept open between scans for recover_file; at the end
    // its device and buffers go with the scanner.
    if (engine_open())
        ntfs_engine::ntfs_scan_close(context_.data());
}

// The engine marks what the row's state reads.
static_assert(int32_t(ntfs_engine::flag_data_unreadable) == row_unreadable_sectors);

void ntfs_recovery_c::reset() {
    status_.clear();
    store_.clear();
    streams_.clear();
    unreadable_files_ = 0;
}

bool ntfs_recovery_c::engine_open() const { return load<uint32_t>(context_.data(), ntfs_engine::ctx_open) != 0; }

QString ntfs_recovery_c::stream_of(int64_t id) const {
    const auto it = streams_.find(id);
    return it == streams_.end() ? QString() : it->second;
}

bool ntfs_recovery_c::is_shown_folder(const ntfs_node_s& node) {
    return is_directory(node) && node.has_files && node.number > last_system_number;
}

bool ntfs_recovery_c::is_shown_file(const ntfs_node_s& node) {
    return (node.flags & ntfs_engine::flag_file) && node.number > last_system_number;
}

recovery_item_s ntfs_recovery_c::row_of(const ntfs_node_s& node) {
    uint32_t flags = node.flags;
    if (flags & uint32_t(row_content_damaged))
        flags = (flags & ~ntfs_engine::flag_engine_extract) |
                uint32_t(node.content_share) << row_content_share_shift;
    return result_tree::file_row(node.name, node.size, node.time_b, node.time_a, node.number, int32_t(flags));
}

void ntfs_recovery_c::log_startup_failure(int line, int result) {
    const std::string where = "[ntfs_recovery:" + std::to_string(line) + "] ";
    const std::string what = "ntfs_scan_startup failed with return value (" + std::to_string(result) + ")";
    const std::string log_path = platform::state_dir() + "/Ostrivo.log";
    if (FILE* log = std::fopen(log_path.c_str(), "a")) {
        const std::time_t now = std::time(nullptr);
        char stamp[64] = "";
        ctime_r(&now, stamp);
        stamp[std::strcspn(stamp, "\n")] = 0;
        std::fprintf(log, "%s  %s%s\n", stamp, where.c_str(), what.c_str());
        std::fclose(log);
    }
    std::fprintf(stderr, "ERROR: %s%s\n", where.c_str(), what.c_str());
    std::fflush(stderr);
}

void ntfs_recovery_c::run_scan() {
    reset_for_run();
    open_error_.clear();
    platform::byte_source_ptr source = scan_source(volume_.device_path, &open_error_);

    if (engine_open()) {
        ntfs_engine::ntfs_scan_close(context_.data());
        context_.fill(0);
    }
    constexpr int startup_line = __LINE__ + 1;
    startup_report_ = {};
    int started = ntfs_engine::ntfs_scan_startup(std::move(source), context_.data(), &startup_report_);
    harvest_ = {};
    engine_stats_ = {};
    // A volume that lost its boot sector and its backup can still be laid
    // out from the copies of its MFT's first record.
    if ((started == -3 || started == -5) && lost_mode_ != lost_pass_e::off) {
        platform::byte_source_ptr again = scan_source(volume_.device_path, nullptr);
        context_.fill(0);
        if (ntfs_engine::ntfs_scan_startup_from_records(std::move(again), context_.data(), harvest_hooks(),
                                                        &harvest_.volume_start, &harvest_.cluster_size) == 0) {
            harvest_.from_records = true;
            started = 0;
        }
    }
    startup_result_ = started;
    if (started < 0) {
        log_startup_failure(startup_line, started);
        return;
    }

    // Room up front for a store of a quarter of the records (live files are
    // dropped): rehashing a large store repeatedly costs more than the scan.
    store_.reserve(size_t(std::min<uint64_t>(load<uint64_t>(context_.data(), ntfs_engine::ctx_total) / 4, 1u << 22)));
    std::array<uint8_t, ntfs_engine::record_size> record;
    int64_t user_records = 0;
    bool root_checked = false;
    bool keep_live = false;
    while (!stop_point()) {
        record.fill(0);
        if (ntfs_engine::ntfs_scan_next(context_.data(), record.data()) == 0)
            break;

        const uint64_t total = load<uint64_t>(context_.data(), ntfs_engine::ctx_total);
        const uint32_t done = load<uint32_t>(context_.data(), ntfs_engine::ctx_group_records) +
                              (load<uint32_t>(context_.data(), ntfs_engine::ctx_groups_read) +
                               load<uint32_t>(context_.data(), ntfs_engine::ctx_groups_skipped)) * 8u;
        if (total > 0)
            status_.progress.store(double(done) / double(total), std::memory_order_relaxed);
        status_.read_count.fetch_add(1, std::memory_order_relaxed);

        ntfs_node_s node = node_from_record(record.data());
        if (node.number >= 16 && node.parent != 11)
            ++user_records;  // not the file system's own, nor $Extend's
        // Without its root the volume cannot be mounted: its live files are
        // listed too, copied by the engine.
        if (node.number > root_number && !root_checked) {
            root_checked = true;
            keep_live = !store_.count(root_number);
        }
        const bool live_file = (node.flags & ntfs_engine::flag_file) && !(node.flags & ntfs_engine::flag_deleted);
        if (live_file && !keep_live)
            continue;
        if (live_file)
            node.flags |= ntfs_engine::flag_engine_extract;
        status_.found_count.fetch_add(1, std::memory_order_relaxed);
        if ((node.flags & ntfs_engine::flag_file) && node.number > last_system_number)
            add_stream_rows(node);
        store_[node.number] = std::move(node);
    }

    // Only the whole volume tells whether a deleted file's clusters were
    // taken since by another deleted file; a stopped scan does not know.
    for (const int64_t number : ntfs_engine::ntfs_scan_claimed_later(context_.data())) {
        const auto it = store_.find(number);
        if (it != store_.end() && !(it->second.flags & ntfs_engine::flag_data_incomplete))
            it->second.flags |= ntfs_engine::flag_data_overwritten;
    }
    engine_stats_ = ntfs_engine::ntfs_scan_stats(context_.data());
    // A volume formatted over its files (a new MFT of a few records, old
    // data in its free space), or one whose MFT's start is damaged, keeps
    // its old records elsewhere on the volume.
    if ((lost_mode_ == lost_pass_e::on || lost_mode_ == lost_pass_e::automatic) && !stop_requested()) {
        harvest_.damaged = harvest_.from_records || !store_.count(root_number) || keep_live ||
                           engine_stats_.records_from_mirror > 0;
        harvest_.formatted = !harvest_.damaged && user_records < 16 &&
                             ntfs_engine::ntfs_free_space_holds_data(context_.data());
        if (lost_mode_ == lost_pass_e::on || harvest_.formatted || harvest_.damaged)
            harvest_lost_records();
    }
    check_deleted_contents();
    attach_orphans();
    int64_t unreadable = 0;
    for (const auto& [number, node] : store_)
        unreadable += is_shown_file(node) && (node.flags & ntfs_engine::flag_data_unreadable) ? 1 : 0;
    unreadable_files_ = unreadable;
    result_tree::link_children(store_);
    result_tree::mark_folders(store_, [](const ntfs_node_s& n) { return bool(n.flags & ntfs_engine::flag_file); });
}

ntfs_engine::harvest_hooks_s ntfs_recovery_c::harvest_hooks() {
    ntfs_engine::harvest_hooks_s hooks;
    hooks.user = this;
    hooks.stop = [](void* self) { return static_cast<ntfs_recovery_c*>(self)->stop_point(); };
    hooks.progress = [](void* self, double fraction) {
        static_cast<ntfs_recovery_c*>(self)->status_.progress.store(fraction, std::memory_order_relaxed);
    };
    return hooks;
}

// Reads the whole volume for MFT records the live MFT does not hold, and
// lists their files under the lost folder: each in its old folder where
// that folder's record was found too (by record and sequence number), else
// in "Folder N" for the folder record N that is gone.
void ntfs_recovery_c::harvest_lost_records() {
    harvest_.run = true;
    status_.progress.store(0.0, std::memory_order_relaxed);
    harvest_.result = ntfs_engine::ntfs_harvest(context_.data(), harvest_hooks());
    if (harvest_.result.stopped)
        return;

    struct pending_s {
        int64_t key;
        int64_t parent;
        uint16_t parent_sequence;
    };
    std::vector<pending_s> pending;
    std::unordered_map<uint64_t, int64_t> folders;  // record number and sequence -> key
    std::array<uint8_t, ntfs_engine::record_size> record{};
    size_t index = 0;
    while (!stop_requested() && ntfs_engine::ntfs_harvest_next(context_.data(), record.data(), &index)) {
        ntfs_node_s node = node_from_record(record.data());
        const int64_t key = harvested_flag | int64_t(index);
        if (is_directory(node))
            folders[uint64_t(node.number) << 16 | node.sequence] = key;
        pending.push_back({key, node.parent, node.parent_sequence});
        node.number = key;
        node.parent_sequence = 0;
        // Whatever its record said, no live file stands for it now.
        if (!is_directory(node))
            node.flags |= ntfs_engine::flag_engine_extract | ntfs_engine::flag_deleted;
        if (node.flags & ntfs_engine::flag_file) {
            ++harvest_.rows;
            add_stream_rows(node);
        }
        status_.found_count.fetch_add(1, std::memory_order_relaxed);
        store_[key] = std::move(node);
        record.fill(0);
    }
    for (const int64_t index_lost : ntfs_engine::ntfs_harvest_claimed_later(context_.data())) {
        const auto it = store_.find(harvested_flag | index_lost);
        if (it != store_.end() && !(it->second.flags & ntfs_engine::flag_data_incomplete))
            it->second.flags |= ntfs_engine::flag_data_overwritten;
    }
    if (pending.empty())
        return;

    ntfs_node_s lost;
    lost.number = lost_folder_number;
    lost.parent = root_number;
    lost.flags = ntfs_engine::flag_directory;
    lost.name = lost_names_.lost_folders;
    store_[lost_folder_number] = lost;
    for (const pending_s& p : pending) {
        int64_t parent = lost_folder_number;
        if (p.parent > root_number) {
            // A folder freed once carries a sequence number one ahead.
            auto it = folders.find(uint64_t(p.parent) << 16 | p.parent_sequence);
            if (it == folders.end())
                it = folders.find(uint64_t(p.parent) << 16 | uint16_t(p.parent_sequence + 1));
            if (it != folders.end() && it->second != p.key) {
                parent = it->second;
            } else {
                parent = missing_folder_flag | p.parent;
                if (!store_.count(parent)) {
                    ntfs_node_s folder;
                    folder.number = parent;
                    folder.parent = lost_folder_number;
                    folder.flags = ntfs_engine::flag_directory;
                    folder.name = lost_names_.folder_record.arg(p.parent);
                    store_[parent] = std::move(folder);
                }
            }
        }
        store_.at(p.key).parent = parent;
    }
}

// A deleted or harvested file whose clusters are all free, and which no
// later file claims, is read as its record's runs say; whether those
// clusters still hold its bytes only its content can tell.
void ntfs_recovery_c::check_deleted_contents() {
    if (!content_check_ || get_stop() != stop_run || !engine_open())
        return;
    constexpr uint32_t judged = ntfs_engine::flag_data_overwritten | ntfs_engine::flag_data_incomplete |
                                ntfs_engine::flag_data_in_record;
    std::vector<int64_t> ids;
    for (const auto& [key, node] : store_) {
        const bool file = (node.flags & ntfs_engine::flag_file) && (node.flags & ntfs_engine::flag_deleted);
        if (file && !(key & stream_id_flag) && key > last_system_number && node.size > 0 && !(node.flags & judged) &&
            carve::content_check_known(content_extension(node.name).constData()))
            ids.push_back(key);
    }
    // Record numbers, and the harvest's finds in the order they lie, follow
    // the volume roughly front to back.
    std::sort(ids.begin(), ids.end());
    queue_content_check(std::move(ids));
}

int32_t ntfs_recovery_c::judge_content(int64_t id, carve::check_budget_s* budget) {
    const auto found = store_.find(id);
    if (found == store_.end())
        return 0;
    ntfs_node_s* node = &found->second;
    const bool harvested = id & harvested_flag;
    carve::byte_extents_t extents;
    const platform::byte_source_ptr device = ntfs_engine::ntfs_scan_device(context_.data());
    if (device && ntfs_engine::ntfs_data_extents(context_.data(), harvested ? record_of_id(id) : id, harvested,
                                                 &extents)) {
        // The runs are the file's own: there is no other choice of clusters
        // to try, nor a second piece to look for.
        const double seconds = budget ? std::max(0.0, std::min(budget->seconds_per_file, budget->seconds_left)) : 3600.0;
        carve::pieces_source_c file(*device, extents);
        file.set_deadline(std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds)));
        file.set_stop(budget ? budget->stop : nullptr);
        const carve::content_check_s checked =
            carve::check_content(file, content_extension(node->name).constData(), ntfs_engine::ntfs_scan_cluster_size(context_.data()));
        carve::deleted_verdict_s verdict;
        using kind = carve::content_check_s::kind;
        if (!file.expired() && checked.outcome == kind::whole) {
            verdict.outcome = carve::deleted_verdict_s::kind::verified;
        } else if (!file.expired() && checked.outcome == kind::broken) {
            verdict.outcome = carve::deleted_verdict_s::kind::damaged;
            if (checked.intact_known && node->size > 0)
                verdict.intact_percent =
                    int(std::min<uint64_t>(checked.intact, uint64_t(node->size)) * 100 / uint64_t(node->size));
        }
        const int32_t bits = row_content_flags(verdict);
        node->flags |= uint32_t(bits & (row_content_verified | row_content_damaged));
        node->content_share = uint8_t(uint32_t(bits & row_content_share_mask) >> row_content_share_shift);
    }
    return row_of(*node).flags;
}

// Each named data stream of a deleted file becomes a row of its own beside
// the file, named "file.ext:stream", sized by the stream and copied out by
// the engine from that stream.
void ntfs_recovery_c::add_stream_rows(const ntfs_node_s& file) {
    const std::vector<ntfs_engine::stream_info_s> streams = ntfs_engine::ntfs_scan_streams(context_.data());
    for (size_t i = 0; i < streams.size(); ++i) {
        ntfs_node_s row = file;
        row.number = stream_id(file.number, i);
        const QString stream = QString::fromStdU16String(streams[i].name);
        row.name = file.name + QLatin1Char(':') + stream;
        row.size = int64_t(std::min<uint64_t>(streams[i].size, INT64_MAX));
        // The file's own findings are about its unnamed stream, not this one.
        row.flags = (file.flags & ~(ntfs_engine::flag_data_overwritten | ntfs_engine::flag_data_incomplete)) |
                    streams[i].flags | ntfs_engine::flag_engine_extract;
        status_.found_count.fetch_add(1, std::memory_order_relaxed);
        streams_[row.number] = stream;
        store_[row.number] = std::move(row);
    }
}

// Gives every node whose chain of parents cannot reach the root a place under
// the synthetic "$OrphanFiles" folder: a parent that is missing, is not a
// directory, or whose sequence number says the record was reused since; and
// one node of every loop of parents.
void ntfs_recovery_c::attach_orphans() {
    if (store_.empty())
        return;
    const bool root_made = !store_.count(root_number);
    if (root_made) {
        // An unreadable root record must not hide everything below it.
        ntfs_node_s root;
        root.number = root.parent = root_number;
        root.flags = ntfs_engine::flag_directory;
        root.name = QStringLiteral(".");
        store_[root_number] = root;
    }

    bool any = false;
    for (auto& [number, node] : store_) {
        if (number == root_number)
            continue;
        const ntfs_node_s* parent = find_node(node.parent);
        bool linked = parent && parent->number != number && is_directory(*parent);
        // A root made up for a lost one has no sequence number to match.
        if (linked && node.parent_sequence != 0 && parent->sequence != node.parent_sequence &&
            !(root_made && parent->number == root_number)) {
            // Freeing a record bumps its sequence number once, so a deleted
            // directory is one ahead of the references its old children hold.
            const bool freed_once = (parent->flags & ntfs_engine::flag_deleted) &&
                                    parent->sequence == uint16_t(node.parent_sequence + 1);
            linked = freed_once;
        }
        if (!linked) {
            node.parent = orphan_folder_number;
            any = true;
        }
    }

    // Every parent now exists; what is left to break are loops.
    enum : uint8_t { unseen, on_path, settled };
    std::unordered_map<int64_t, uint8_t> state;
    state.reserve(store_.size());
    std::vector<ntfs_node_s*> path;
    for (auto& [number, start] : store_) {
        path.clear();
        ntfs_node_s* current = &start;
        while (true) {
            if (current->number == root_number || current->parent == orphan_folder_number)
                break;
            uint8_t& s = state[current->number];
            if (s == settled)
                break;
            if (s == on_path) {
                path.back()->parent = orphan_folder_number;
                any = true;
                break;
            }
            s = on_path;
            path.push_back(current);
            current = &store_.at(current->parent);
        }
        for (ntfs_node_s* n : path)
            state[n->number] = settled;
    }

    if (any) {
        ntfs_node_s orphans;
        orphans.number = orphan_folder_number;
        orphans.parent = root_number;
        orphans.flags = ntfs_engine::flag_directory;
        orphans.name = QStringLiteral("$OrphanFiles");
        store_[orphan_folder_number] = orphans;
    }
}

QString ntfs_recovery_c::failure_reason() const {
    const QString name = volume_.device_path;
    switch (startup_result_) {
    case 0: return {};
    case -2:
        return open_error_.isEmpty() ? QStringLiteral("%1: cannot be read").arg(name)
                                     : QStringLiteral("%1: cannot be read (%2)").arg(name, open_error_);
    case -3: return QStringLiteral("%1 holds no valid NTFS file system (boot sector rejected)").arg(name);
    case -5:
        return QStringLiteral("%1: its boot sector cannot be read (read error at sector %2: %3), and its backup in "
                              "the volume's last sector is not usable")
            .arg(name)
            .arg(qulonglong(startup_report_.boot_error_offset / std::max(1u, startup_report_.boot_error_sector_size)))
            .arg(QString::fromStdString(platform::read_error_text(startup_report_.boot_read_error)));
    default: return QStringLiteral("%1: its $MFT cannot be read (damaged or truncated volume?)").arg(name);
    }
}

job_notes_t ntfs_recovery_c::notes() const {
    const auto& s = engine_stats_;
    job_notes_t out;
    const auto add = [&out](const char* key, QVariantList args = {}) { out.push_back({key, std::move(args)}); };
    if (s.records_corrupt != 0 || s.read_errors != 0)
        add("note_ntfs_records_damaged", {qulonglong(s.records_corrupt), qulonglong(s.read_errors)});
    if (s.records_unreadable != 0)
        add("note_ntfs_records_unreadable", {qulonglong(s.records_unreadable)});
    if (s.boot_from_backup)
        add("note_ntfs_boot_backup");
    if (s.records_from_mirror != 0)
        add("note_ntfs_records_from_mirror", {qulonglong(s.records_from_mirror)});
    if (harvest_.from_records && startup_report_.boot_read_error != 0)
        add("note_ntfs_boot_unreadable",
            {qulonglong(startup_report_.boot_error_offset / std::max(1u, startup_report_.boot_error_sector_size)),
             QString::fromStdString(platform::read_error_text(startup_report_.boot_read_error))});
    if (harvest_.from_records)
        add("note_ntfs_laid_out_from_records", {qulonglong(harvest_.volume_start), harvest_.cluster_size});
    if (harvest_.result.capped)
        add("note_ntfs_records_capped", {qulonglong(ntfs_engine::max_harvested)});
    if (harvest_.run && harvest_.result.read_errors != 0)
        add("note_ntfs_search_read_errors", {qulonglong(harvest_.result.read_errors)});
    if (s.bitmap_unusable)
        add("note_ntfs_bitmap_unusable");
    return out;
}

int ntfs_recovery_c::recover_file(int64_t id, const QString& destination) {
    std::lock_guard lock(read_back_lock());
    judge_if_waiting(id);
    // The target is created here, exclusively, so that nothing already in
    // the folder is replaced or written through, and the engine fills it
    // through the same descriptor: no second open by name.
    const int fd = open_recovery_target(destination);
    if (fd < 0)
        return errno == EEXIST ? recover_target_exists : -1;
    uint32_t status = 0;
    int result = -1;
    const QString stream = (id & stream_id_flag) ? stream_of(id) : QString();
    if (id & harvested_flag)
        result = ntfs_engine::ntfs_harvest_extract_to(context_.data(), size_t(record_of_id(id)),
                                                      stream.toStdU16String(), fd, &status);
    else if (!(id & stream_id_flag))
        result = ntfs_engine::ntfs_extract_to(context_.data(), id, std::u16string(), fd, &status);
    else if (!stream.isEmpty())
        result = ntfs_engine::ntfs_extract_to(context_.data(), record_of_id(id), stream.toStdU16String(), fd,
                                              &status);
    if (::close(fd) != 0)
        result = -1;
    if (result == 0)
        return 0;
    // A refused or half-written file must not pass for a recovered one; it
    // is removed only while it is still the one made here.
    remove_created_target(destination);
    return -1;
}

bool ntfs_recovery_c::data_offset(int64_t id, uint64_t* offset) {
    std::lock_guard lock(read_back_lock());
    if ((id & stream_id_flag) || !find_node(id))
        return false;
    const bool harvested = id & harvested_flag;
    carve::byte_extents_t extents;
    if (!ntfs_engine::ntfs_data_extents(context_.data(), harvested ? record_of_id(id) : id, harvested, &extents) ||
        extents.empty())
        return false;
    // Laid out from its records, the volume starts inside what was scanned.
    *offset = extents.front().first + (harvest_.from_records ? harvest_.volume_start : 0);
    return true;
}

bool ntfs_recovery_c::live_source(const recovery_item_s& row, QString* source) {
    if (uint32_t(row.flags) & ntfs_engine::flag_engine_extract)
        return false;
    // A damaged file's row holds its share where that bit was.
    if (const ntfs_node_s* node = find_node(row.id); node && (node->flags & ntfs_engine::flag_engine_extract))
        return false;
    // An unmounted volume's root is its device path and "/": not a folder,
    // so its files can only come through the engine.
    if (!is_mount_point(volume_.root_path))
        return false;
    if (get_full_path(row.id, source) != 0)
        source->clear();
    return true;
}

std::vector<written_folder_s> ntfs_recovery_c::written_folders(const found_row_s& row) const
{
    // Folder names are whole here; what the tree adds is their times.
    std::vector<written_folder_s> out = recovery_base_c::written_folders(row);
    result_tree::written_chain(
        find_node(node_key_of(row.item.id)), [this](int64_t key) { return find_node(key); },
        [](const ntfs_node_s& n) { return n.number == root_number; }, out, [](const ntfs_node_s& n) { return n.name; },
        [](const ntfs_node_s& n) { return n.time_b; }, &out);
    return out;
}
