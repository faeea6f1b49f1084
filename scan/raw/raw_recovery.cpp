#include "scan/raw/raw_recovery.h"
#include "scan/unreadable_sectors.h"

#include "platform/fd_io.h"
#include "platform/folders.h"
#include "platform/invoking_user.h"
#include "platform/output_guard.h"
#include "scan/safe_name.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <new>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// A read and a write for every 8 KiB cost more than the copying itself;
// chunks much larger than this no longer stay in the processor's cache
// between the read and the write, and the kernel's copying slows down.
constexpr int64_t copy_chunk = 128 * 1024;

void found_file(void* user, const char* type_name, int64_t offset, int64_t size)
{
    static_cast<raw_recovery_c*>(user)->add_record(type_name, offset, size);
}

void found_pieces(void* user, const char* type_name, const carve_extent_s* extents, int32_t count, int32_t partial)
{
    if (count <= 0 || static_cast<size_t>(count) > raw_max_pieces)
        return;
    std::vector<raw_extent_s> pieces;
    for (int32_t i = 0; i < count; ++i)
        pieces.push_back({extents[i].offset, extents[i].size});
    static_cast<raw_recovery_c*>(user)->add_pieces(type_name, pieces.data(), pieces.size(), partial != 0);
}

// Copies size bytes at offset on the device to fd. The device is read from a
// sector boundary; the bytes before the piece's own first byte are passed
// over, so an unaligned piece comes out whole. Returns false when the device
// ends or fails before the piece does, or a write fails.
bool copy_extent(carve_handle_s* device, int fd, int64_t offset, int64_t size)
{
    const int64_t aligned = offset & ~int64_t{511};
    if (carve_seek(device, aligned, 0) < 0)
        return false;
    int64_t skip = offset - aligned;
    int64_t remaining = size;
    thread_local std::vector<char> chunk(static_cast<size_t>(copy_chunk));
    char* const buffer = chunk.data();
    while (remaining > 0) {
        // No further than the sector the piece ends in.
        const int64_t want = std::min(copy_chunk, (skip + remaining + 511) & ~int64_t{511});
        const int64_t got = carve_read(device, buffer, want);
        if (got <= 0)
            return false;
        int64_t from = 0;
        if (skip > 0) {
            from = std::min(skip, got);
            skip -= from;
        }
        const int64_t usable = std::min(got - from, remaining);
        if (usable > 0 && !platform::write_fully(fd, buffer + from, static_cast<size_t>(usable)))
            return false;
        remaining -= usable;
    }
    return true;
}

}  // namespace

std::string raw_type_name(const raw_item_s& item)
{
    return std::string(item.type, strnlen(item.type, sizeof item.type));
}

QString raw_row_name(int64_t index, const std::string& type_name)
{
    return QString::asprintf("%08llu.", static_cast<unsigned long long>(index)) + QString::fromUtf8(type_name);
}

raw_recovery_c::raw_recovery_c(QObject* parent) : recovery_base_c(parent) { clear_index(); }

void raw_recovery_c::set_volume(const volume_item_s& volume)
{
    volume_ = volume;
    device_path_ = volume.device_path;
    if (device_path_.endsWith('/'))
        device_path_.chop(1);
}

double raw_recovery_c::get_progress() const { return control_.progress.load(std::memory_order_relaxed); }
void raw_recovery_c::set_progress(double progress) { control_.progress.store(progress, std::memory_order_relaxed); }
void raw_recovery_c::set_stop(int code) { control_.stop.store(code, std::memory_order_relaxed); }
int raw_recovery_c::get_stop() const { return control_.stop.load(std::memory_order_relaxed); }
int raw_recovery_c::get_pause() const { return control_.pause.load(std::memory_order_relaxed); }
void raw_recovery_c::set_pause(int flag) { control_.pause.store(flag, std::memory_order_relaxed); }

void raw_recovery_c::clear_index()
{
    raw_type_index_t fresh;
    fresh.max_load_factor(1.0f);
    fresh.rehash(8);
    type_index_.swap(fresh);
}

void raw_recovery_c::reset()
{
    control_.clear();
    status_.clear();
    clear_index();
    records_.clear();
    pieces_.clear();
    unreadable_bytes_.clear();
    volume_bytes_ = 0;
    names_.clear();
}

void raw_recovery_c::load_engine_config(const std::vector<std::string>& also_on)
{
    carve_load_config(platform::program_data_file("Quarvel.conf").c_str());
    for (const std::string& type : also_on)
        carve_enable_type(type.c_str());
}

std::vector<std::string> raw_recovery_c::text_types()
{
    std::vector<std::string> out;
    for (int32_t i = 0; const char* name = carve_text_type(i); ++i)
        out.emplace_back(name);
    return out;
}

void raw_recovery_c::add_record(const char* type_name, int64_t offset, int64_t size)
{
    append_record(type_name, offset, size);
    name_record(records_.back().index);
}

void raw_recovery_c::name_record(int64_t index)
{
    const raw_item_s& item = records_[static_cast<size_t>(index)];
    const auto it = pieces_.find(index);
    if (it != pieces_.end())
        names_.add(item, raw_type_name(item), it->second.extents.data(), it->second.extents.size());
    else
        names_.add(item, raw_type_name(item), nullptr, 0);
}

void raw_recovery_c::append_record(const char* type_name, int64_t offset, int64_t size)
{
    raw_item_s item;
    item.index = static_cast<int64_t>(records_.size());
    item.offset = offset;
    item.size = size;
    const std::string name = type_name ? type_name : "";
    std::memcpy(item.type, name.data(), std::min(name.size(), sizeof item.type));
    records_.push_back(item);
    type_index_[name].push_back(item.index);
}

void raw_recovery_c::add_pieces(const char* type_name, const raw_extent_s* extents, size_t count, bool partial)
{
    if (!raw_pieces_sound(extents, count))
        return;
    int64_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += extents[i].size;
    append_record(type_name, extents[0].offset, total);
    if (count > 1 || partial)
        pieces_[records_.back().index] = {std::vector<raw_extent_s>(extents, extents + count), partial};
    name_record(records_.back().index);
}

void raw_recovery_c::run_scan()
{
    reset_for_run();
    control_.user = this;
    control_.callback = &found_file;
    // A device with more files than memory can list ends the scan early with
    // what was found so far, not the program.
    open_error_.clear();
    const platform::byte_source_ptr source = scan_source(device_path_, &open_error_);
    if (!source) {
        if (open_error_.isEmpty())
            open_error_ = QStringLiteral("cannot be opened");
        return;
    }
    volume_bytes_ = source->size();
    names_.open(source);
    if (known_source_)
        names_.set_known_files(known_source_([this] { return control_.stop.load(std::memory_order_relaxed) != 0; }));
    try {
        carve_run_source(&control_, *source, &found_pieces);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "deep scan: out of memory after %zu files; the scan ends here\n", records_.size());
    }
    names_.close();
    note_unreadable(*source);
}

void raw_recovery_c::note_unreadable(const platform::byte_source_c& source)
{
    unreadable_bytes_.clear();
    if (source.unreadable_generation() == 0)
        return;
    for (const raw_item_s& item : records_) {
        std::vector<raw_extent_s> extents{{item.offset, item.size}};
        if (const auto it = pieces_.find(item.index); it != pieces_.end())
            extents = it->second.extents;
        uint64_t bytes = 0;
        for (const raw_extent_s& e : extents)
            if (e.offset >= 0 && e.size > 0)
                for (const platform::unreadable_range_s& r :
                     source.unreadable_in(static_cast<uint64_t>(e.offset), static_cast<uint64_t>(e.size)))
                    bytes += r.length;
        if (bytes > 0)
            unreadable_bytes_[item.index] = bytes;
    }
}

uint64_t raw_recovery_c::unreadable_bytes(int64_t index) const
{
    const auto it = unreadable_bytes_.find(index);
    return it == unreadable_bytes_.end() ? 0 : it->second;
}

int raw_recovery_c::recover_file(int64_t id, const QString& destination)
{
    std::lock_guard lock(read_back_lock());
    if (id < 0 || id >= static_cast<int64_t>(records_.size()))
        return -1;
    const raw_item_s item = records_[static_cast<size_t>(id)];
    if (item.offset < 0 || item.size < 0)
        return -1;
    std::vector<raw_extent_s> extents{{item.offset, item.size}};
    if (const auto it = pieces_.find(item.index); it != pieces_.end())
        extents = it->second.extents;
    carve_handle_s* device = carve_open_source(scan_source(device_path_));
    if (!device)
        return -1;
    const int fd = open_recovery_target(destination);
    if (fd < 0) {
        const bool exists = errno == EEXIST;
        carve_close(device);
        return exists ? recover_target_exists : -1;
    }
    bool ok = true;
    for (size_t i = 0; i < extents.size() && ok; ++i)
        ok = copy_extent(device, fd, extents[i].offset, extents[i].size);
    if (::close(fd) != 0)
        ok = false;
    carve_close(device);
    if (ok)
        return 0;
    remove_created_target(destination);
    return -1;
}

std::vector<written_folder_s> raw_recovery_c::written_folders(const found_row_s& row) const
{
    const raw_content_s* content = names_.find(row.item.id);
    if (!content || content->folder.isEmpty())
        return recovery_base_c::written_folders(row);
    std::vector<written_folder_s> out;
    for (const QString& part : content->folder.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        out.push_back({part, 0});
    return out;
}

int32_t raw_recovery_c::row_flags(int64_t index) const
{
    const auto it = pieces_.find(index);
    int32_t flags = it != pieces_.end() && it->second.partial ? raw_row_partial : 0;
    // Known from the scan itself, before any copy: the carved bytes crossed
    // sectors the disk could not give.
    if (unreadable_bytes_.count(index))
        flags |= row_unreadable_sectors;
    return flags;
}

bool raw_recovery_c::top_folder(const void** node) const
{
    *node = nullptr;
    return true;
}

void raw_recovery_c::sub_folders(const void* folder, std::vector<result_folder_s>* out) const
{
    if (folder)
        return;
    for (const auto& entry : type_index_)
        out->push_back({QString::fromUtf8(entry.first), &entry});
}

void raw_recovery_c::folder_rows(const void* folder, std::vector<recovery_item_s>* out) const
{
    visit_folder_rows(folder, [out](const recovery_item_s& row) { out->push_back(row); });
}

void raw_recovery_c::visit_folder_rows(const void* folder, const row_visit_fn& visit) const
{
    if (!folder)
        return;
    const auto& [type_name, indices] = *static_cast<const raw_type_index_t::value_type*>(folder);
    for (int64_t index : indices) {
        if (index < 0 || static_cast<size_t>(index) >= records_.size())
            continue;
        recovery_item_s row;
        row.name = raw_row_name(index, type_name);
        if (const raw_content_s* content = names_.find(index)) {
            row.name = content->name;
            row.date1 = row.date2 = content->time;
        }
        row.size = records_[static_cast<size_t>(index)].size;
        row.id = index;
        row.flags = row_flags(index);
        visit(row);
    }
}

QString raw_recovery_c::selection_refusal(int64_t total_bytes) const
{
    // Against the size the records were found in or checked against: a
    // device that shrank since fails the rows past its end one by one.
    if (volume_bytes_ == 0 || total_bytes <= 0 || static_cast<uint64_t>(total_bytes) <= volume_bytes_)
        return {};
    return QStringLiteral("the files chosen add up to %1 bytes, more than the %2 bytes of %3 they were carved from; "
                          "nothing was written")
        .arg(total_bytes)
        .arg(volume_bytes_)
        .arg(device_path_);
}

QString raw_recovery_c::failure_reason() const
{
    if (!open_error_.isEmpty())
        return QStringLiteral("%1: cannot be read (%2)").arg(volume_.device_path, open_error_);
    return {};
}

int raw_recovery_c::save_results(const QByteArray& path, std::string* reason)
{
    std::string ignored;
    std::string& why = reason ? *reason : ignored;
    const std::string target = path.toStdString();
    const std::string device = QFile::encodeName(device_path_).toStdString();
    if (records_.empty()) {
        why = "nothing was found to save";
        return -1;
    }
    // A scan file names a device and places counted from its start; a
    // window's places are counted from the found volume's start, and would
    // be read from the wrong bytes of the disk when the file is loaded.
    if (volume_.window_sector > 0) {
        why = "a deep scan of a volume found on the disk cannot be saved; deep-scan the whole disk to keep the result";
        return -1;
    }
    why = platform::output_refusal(target, device);
    if (!why.empty())
        return -1;
    // Written beside the target under a fresh name, then renamed over it, so
    // an earlier scan file is not lost to a save that fails half-way.
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = target + ".part" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        why = target + ": cannot be created (" + std::strerror(errno) + ")";
        return -1;
    }
    why = platform::open_output_refusal(fd, target, device);
    if (why.empty()) {
        platform::hand_to_invoking_user(fd);
        why = write_scan_file(fd, device, records_, pieces_);
        if (!why.empty())
            why = target + ": " + why;
    }
    if (why.empty() && ::fsync(fd) != 0)
        why = target + ": cannot be written (" + std::strerror(errno) + ")";
    if (::close(fd) != 0 && why.empty())
        why = target + ": cannot be written (" + std::strerror(errno) + ")";
    if (why.empty() && ::rename(temporary.c_str(), target.c_str()) != 0)
        why = target + ": cannot be written (" + std::strerror(errno) + ")";
    if (!why.empty()) {
        ::unlink(temporary.c_str());
        return -1;
    }
    return 0;
}

QString raw_recovery_c::load_results(const QByteArray& path, std::string* reason)
{
    return load_results(path, &offered_volume_size, reason);
}

QString raw_recovery_c::load_results(const QByteArray& path, const scan_file_volume_fn& volume_size, std::string* reason)
{
    scan_file_contents_s contents;
    uint64_t checked_against = 0;
    const std::string refusal = read_scan_file(
        path.toStdString(),
        [&](const std::string& device, uint64_t* bytes) {
            const bool offered = volume_size && volume_size(device, bytes);
            checked_against = offered ? *bytes : 0;
            return offered;
        },
        &contents);
    if (reason)
        *reason = refusal;
    if (!refusal.empty())
        return {};
    device_path_ = QFile::decodeName(QByteArray::fromStdString(contents.device_path));
    volume_.window_sector = -1;
    records_ = std::move(contents.records);
    pieces_ = std::move(contents.pieces);
    volume_bytes_ = checked_against;
    clear_index();
    names_.clear();
    // Named as the scan's source, so that the writer guards against it; it
    // is opened anew for each read-back, as a device may change or go.
    set_source(device_path_, nullptr);
    names_.open(scan_source(device_path_));
    for (const raw_item_s& item : records_) {
        type_index_[raw_type_name(item)].push_back(item.index);
        if (item.index >= 0 && static_cast<size_t>(item.index) < records_.size() &&
            records_[static_cast<size_t>(item.index)].index == item.index)
            name_record(item.index);
    }
    names_.close();
    return device_path_;
}

std::vector<std::string> raw_recovery_c::type_names() const
{
    std::vector<std::string> names;
    for (const auto& [name, indices] : type_index_)
        names.push_back(name);
    return names;
}

std::vector<recovery_item_s> raw_recovery_c::rows_for_type(const std::string& type_name) const
{
    std::vector<recovery_item_s> rows;
    const auto it = type_index_.find(type_name);
    if (it != type_index_.end())
        folder_rows(&*it, &rows);
    return rows;
}

std::vector<raw_recovery_c::folder_row_s> raw_recovery_c::all_rows() const
{
    std::vector<folder_row_s> rows;
    for (const std::string& name : type_names())
        for (recovery_item_s& row : rows_for_type(name))
            rows.push_back({name, std::move(row)});
    return rows;
}
