#include "scan/raw/raw_recovery.h"

#include "platform/folders.h"
#include "platform/raw_device.h"
#include "scan/safe_name.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr size_t header_bytes = 256;
constexpr size_t record_bytes = 32;
constexpr int64_t copy_chunk = 8192;

void found_file(void* user, const char* type_name, int64_t offset, int64_t size)
{
    static_cast<raw_recovery_c*>(user)->add_record(type_name, offset, size);
}

void put_le64(uint8_t* p, int64_t value)
{
    const auto v = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int64_t get_le64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return static_cast<int64_t>(v);
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

double raw_recovery_c::get_progress() { return control_.progress.load(std::memory_order_relaxed); }
void raw_recovery_c::set_progress(double progress) { control_.progress.store(progress, std::memory_order_relaxed); }
void raw_recovery_c::set_stop(int code) { control_.stop.store(code, std::memory_order_relaxed); }
int raw_recovery_c::get_stop() { return control_.stop.load(std::memory_order_relaxed); }
int raw_recovery_c::get_pause() { return control_.pause.load(std::memory_order_relaxed); }
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
}

void raw_recovery_c::load_engine_config()
{
    carve_load_config(platform::program_data_file("Quarvel.conf").c_str());
}

void raw_recovery_c::add_record(const char* type_name, int64_t offset, int64_t size)
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

void raw_recovery_c::run()
{
    reset();
    control_.user = this;
    control_.callback = &found_file;
    carve_run(&control_, QFile::encodeName(device_path_).constData());
}

int raw_recovery_c::recover_file(int64_t id, const QString& destination)
{
    std::lock_guard lock(read_back_lock());
    if (id < 0 || id >= static_cast<int64_t>(records_.size()))
        return -1;
    const raw_item_s item = records_[static_cast<size_t>(id)];
    if (item.offset < 0 || item.size < 0)
        return -1;
    carve_handle_s* device = carve_open(QFile::encodeName(device_path_).constData());
    if (!device)
        return -1;
    const int64_t aligned = item.offset & ~int64_t{511};
    if (carve_seek(device, aligned, 0) < 0) {
        carve_close(device);
        return -1;
    }
    const int fd = open_recovery_target(destination);
    if (fd < 0) {
        const bool exists = errno == EEXIST;
        carve_close(device);
        return exists ? recover_target_exists : -1;
    }
    // The device is read from a sector boundary; the bytes before the file's
    // own first byte are passed over, so an unaligned file comes out whole.
    int64_t skip = item.offset - aligned;
    int64_t remaining = item.size;
    bool ok = true;
    char buffer[copy_chunk];
    while (remaining > 0) {
        const int64_t got = carve_read(device, buffer, copy_chunk);
        if (got <= 0) {
            // The device ended or failed before the file did: what came out
            // is not the file that was found.
            ok = false;
            break;
        }
        int64_t from = 0;
        if (skip > 0) {
            from = std::min(skip, got);
            skip -= from;
        }
        const int64_t usable = std::min(got - from, remaining);
        if (usable > 0 && !write_fully(fd, buffer + from, static_cast<size_t>(usable))) {
            ok = false;
            break;
        }
        remaining -= usable;
    }
    if (::close(fd) != 0)
        ok = false;
    carve_close(device);
    if (ok)
        return 0;
    ::unlink(QFile::encodeName(destination).constData());
    return -1;
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
    if (!folder)
        return;
    const auto& [type_name, indices] = *static_cast<const raw_type_index_t::value_type*>(folder);
    for (int64_t index : indices) {
        if (index < 0 || static_cast<size_t>(index) >= records_.size())
            continue;
        recovery_item_s row;
        row.name = raw_row_name(index, type_name);
        row.size = records_[static_cast<size_t>(index)].size;
        row.id = index;
        out->push_back(std::move(row));
    }
}

QString raw_recovery_c::failure_reason() const
{
    platform::raw_device_c device;
    if (device.open(device_path_.toStdString()) != 0)
        return QStringLiteral("%1: cannot be read (%2)").arg(volume_.device_path, QString::fromStdString(device.error()));
    return {};
}

int raw_recovery_c::save_results(const QByteArray& path)
{
    if (records_.empty())
        return -1;
    const QByteArray device = QFile::encodeName(device_path_);
    // The header holds the path and its NUL; a longer one would come back cut.
    if (static_cast<size_t>(device.size()) >= header_bytes || device.contains('\0'))
        return -1;
    std::vector<uint8_t> data(header_bytes + record_bytes * records_.size(), 0);
    std::memcpy(data.data(), device.constData(), static_cast<size_t>(device.size()));
    uint8_t* p = data.data() + header_bytes;
    for (const raw_item_s& item : records_) {
        put_le64(p, item.index);
        put_le64(p + 8, item.offset);
        put_le64(p + 16, item.size);
        std::memcpy(p + 24, item.type, 8);
        p += record_bytes;
    }
    FILE* file = std::fopen(path.constData(), "wb");
    if (!file)
        return -1;
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed ? 0 : -1;
}

QString raw_recovery_c::load_results(const QByteArray& path)
{
    FILE* file = std::fopen(path.constData(), "rb");
    if (!file)
        return {};
    // 32 million records is far beyond any scan; a larger file is not one.
    constexpr size_t largest = header_bytes + record_bytes * (size_t{1} << 25);
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    bool too_large = false;
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        data.insert(data.end(), chunk, chunk + n);
        if (data.size() > largest) {
            too_large = true;
            break;
        }
    }
    const bool read_error = std::ferror(file) != 0;
    std::fclose(file);
    if (read_error || too_large || data.size() < header_bytes + record_bytes || (data.size() - header_bytes) % record_bytes)
        return {};
    const QString device = QFile::decodeName(
        QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(strnlen(reinterpret_cast<const char*>(data.data()), header_bytes))));
    const size_t count = (data.size() - header_bytes) / record_bytes;
    std::vector<raw_item_s> loaded(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = data.data() + header_bytes + record_bytes * i;
        raw_item_s& item = loaded[i];
        item.index = get_le64(p);
        item.offset = get_le64(p + 8);
        item.size = get_le64(p + 16);
        std::memcpy(item.type, p + 24, 8);
        // Rows and recovery address records by this index: one that names no
        // record makes the whole file unusable.
        if (item.index < 0 || static_cast<uint64_t>(item.index) >= count)
            return {};
    }
    if (device.isEmpty())
        return {};
    device_path_ = device;
    records_ = std::move(loaded);
    clear_index();
    for (const raw_item_s& item : records_)
        type_index_[raw_type_name(item)].push_back(item.index);
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
