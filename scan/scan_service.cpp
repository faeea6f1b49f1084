#include "scan/scan_service.h"

#include "scan/raw/scan_file.h"

#include "scan/found_volume.h"
#include "platform/output_guard.h"
#include "platform/partitions.h"
#include "platform/volumes.h"

#include "devices/enumerate.h"

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

scanner_kind_e choose_scanner(const volume_item_s& volume, bool deep)
{
    if (deep)
        return scanner_kind_e::raw;
    if (volume.file_system == QLatin1String("NTFS"))
        return scanner_kind_e::ntfs;
    if (volume.file_system.startsWith(QLatin1String("FAT")))
        return scanner_kind_e::fat;
    if (volume.file_system == QLatin1String("exFAT"))
        return scanner_kind_e::exfat;
    return scanner_kind_e::none;
}

namespace {

// Whether the volume's first sector cannot be read; *why then names it and
// the system's reason.
bool first_sector_unreadable(const platform::byte_source_c& source, QString* why)
{
    uint8_t sector[512];
    errno = 0;
    const int64_t got = source.read_at(0, sector, sizeof sector);
    std::vector<platform::unreadable_range_s> bad = source.unreadable_in(0, sizeof sector);
    if (got >= 0 && bad.empty())
        return false;
    const int error = !bad.empty() && bad.front().error != 0 ? bad.front().error : (errno != 0 ? errno : EIO);
    *why = QStringLiteral("its boot sector cannot be read (read error at sector 0: %1)")
               .arg(QString::fromStdString(platform::read_error_text(error)));
    return true;
}

// A scanner of its own for a FAT, exFAT or NTFS volume that searches the
// whole volume for lost folders and records; null for any other kind.
std::unique_ptr<recovery_base_c> file_system_scanner(scanner_kind_e kind, const lost_names_s& names, bool check,
                                                     bool check_deferred)
{
    std::unique_ptr<recovery_base_c> scanner;
    auto prepared = [&](auto made) {
        made->set_lost_pass(lost_pass_e::on);
        made->set_lost_names(names);
        made->set_content_check(check);
        made->set_content_pass_deferred(check_deferred);
        scanner = std::move(made);
    };
    switch (kind) {
    case scanner_kind_e::fat: prepared(std::make_unique<fat_recovery_c>()); break;
    case scanner_kind_e::exfat: prepared(std::make_unique<exfat_recovery_c>()); break;
    case scanner_kind_e::ntfs: prepared(std::make_unique<ntfs_recovery_c>()); break;
    default: break;
    }
    return scanner;
}

// The files a file system scan of the volume finds, deleted and lost ones
// with the search for lost folders and records, by where their data starts:
// what the deep scan names its carved files by. Costs that scan's reads
// (about one read of the volume) before the carving starts.
std::vector<raw_known_file_s> known_files_of(const volume_item_s& volume, const QString& path,
                                             platform::byte_source_ptr source, const lost_names_s& names,
                                             const std::function<bool()>& stop)
{
    std::unique_ptr<recovery_base_c> scanner = file_system_scanner(choose_scanner(volume, false), names, false, false);
    if (!scanner)
        return {};
    scanner->set_volume(volume);
    scanner->set_source(path, std::move(source));
    scanner->start(QThread::InheritPriority);
    while (!scanner->wait(200))
        if (stop())
            scanner->set_stop(stop_abandon);
    std::vector<raw_known_file_s> out;
    if (stop() || !scanner->scan_failure().isEmpty())
        return out;
    for (const found_row_s& row : scanner->found_rows()) {
        uint64_t offset = 0;
        if (row.item.size <= 0 || !scanner->data_offset(row.item.id, &offset))
            continue;
        QString folder;
        for (const written_folder_s& f : scanner->written_folders(row))
            folder += QLatin1Char('/') + f.name;
        out.push_back({offset, uint64_t(row.item.size), scanner->written_name(row.item), folder, row.item.date1});
    }
    return out;
}

}  // namespace

scan_service_c::scan_service_c(QObject* parent) : QObject(parent)
{
    register_scan_types();
    // Nobody who lost their photos knows to ask for the search of the whole
    // volume for lost folders and MFT records: it costs about one read of
    // the volume, and runs unless a front end turns it off.
    set_lost_pass(lost_pass_e::on);
    for (recovery_base_c* s : {static_cast<recovery_base_c*>(&fat_), static_cast<recovery_base_c*>(&ntfs_),
                               static_cast<recovery_base_c*>(&raw_), static_cast<recovery_base_c*>(&exfat_)})
        connect(s, &QThread::finished, this, &scan_service_c::scan_finished, Qt::QueuedConnection);
    connect(&content_pass_, &QThread::finished, this, &scan_service_c::content_pass_finished, Qt::QueuedConnection);
    // The page tells the counts (its slot runs inside the emit), then the
    // folder opens, whether or not anything was written.
    connect(&writer_, &QThread::finished, this, [this] {
        const recovery_tally_s t = writer_.tally();
        emit recovery_finished(t.written, t.failed);
        if (folder_opener_)
            folder_opener_(writer_.destination().path());
    }, Qt::QueuedConnection);
}

scan_service_c::~scan_service_c()
{
    content_pass_.stop();
    writer_.wait();
    drop_lost_pass();
    for (recovery_base_c* s : {static_cast<recovery_base_c*>(&fat_), static_cast<recovery_base_c*>(&ntfs_),
                               static_cast<recovery_base_c*>(&raw_), static_cast<recovery_base_c*>(&exfat_)}) {
        s->set_stop(stop_abandon);
        s->wait();
    }
}

recovery_base_c* scan_service_c::scanner_for(scanner_kind_e kind)
{
    switch (kind) {
    case scanner_kind_e::fat: return &fat_;
    case scanner_kind_e::ntfs: return &ntfs_;
    case scanner_kind_e::raw: return &raw_;
    case scanner_kind_e::exfat: return &exfat_;
    case scanner_kind_e::none: break;
    }
    return nullptr;
}

void scan_service_c::set_lost_pass(lost_pass_e mode)
{
    lost_mode_ = mode;
    const lost_pass_e in_scan = lost_deferred_ && mode == lost_pass_e::on ? lost_pass_e::later : mode;
    fat_.set_lost_pass(in_scan);
    exfat_.set_lost_pass(in_scan);
    ntfs_.set_lost_pass(in_scan);
}

void scan_service_c::set_lost_pass_deferred(bool deferred)
{
    lost_deferred_ = deferred;
    set_lost_pass(lost_mode_);
}

bool scan_service_c::choose_text_types(const std::vector<std::string>& types, std::vector<std::string>* chosen,
                                       std::string* unknown)
{
    const std::vector<std::string> known = raw_recovery_c::text_types();
    chosen->clear();
    for (const std::string& type : types) {
        if (std::find(known.begin(), known.end(), type) == known.end()) {
            if (unknown)
                *unknown = type;
            chosen->clear();
            return false;
        }
        if (std::find(chosen->begin(), chosen->end(), type) == chosen->end())
            chosen->push_back(type);
    }
    return true;
}

bool scan_service_c::set_text_types(const std::vector<std::string>& types, std::string* unknown)
{
    std::vector<std::string> chosen;
    if (!choose_text_types(types, &chosen, unknown))
        return false;
    text_types_ = std::move(chosen);
    return true;
}

void scan_service_c::set_content_check(bool on)
{
    content_check_ = on;
    fat_.set_content_check(on);
    exfat_.set_content_check(on);
    ntfs_.set_content_check(on);
}

void scan_service_c::set_content_pass_deferred(bool deferred)
{
    content_deferred_ = deferred;
    fat_.set_content_pass_deferred(deferred);
    exfat_.set_content_pass_deferred(deferred);
    ntfs_.set_content_pass_deferred(deferred);
}

void scan_service_c::start_content_pass()
{
    if (!scanning())
        content_pass_.start_on(current_);
}

void scan_service_c::set_lost_names(const lost_names_s& names)
{
    lost_names_ = names;
    fat_.set_lost_names(names);
    exfat_.set_lost_names(names);
    ntfs_.set_lost_names(names);
}

bool scan_service_c::scanning() const { return current_->isRunning(); }

void scan_service_c::reset_scanner()
{
    content_pass_.stop();
    writer_.wait();
    current_->reset();
    current_ = &stop_;
    kind_ = scanner_kind_e::none;
    drop_lost_pass();
    scanned_source_.reset();
}

void scan_service_c::drop_lost_pass()
{
    if (lost_) {
        lost_->set_stop(stop_abandon);
        lost_->set_pause(0);
        lost_->wait();
        lost_.reset();
    }
    if (adopted_ && current_ == adopted_.get())
        current_ = &stop_;
    adopted_.reset();
}

bool scan_service_c::lost_pass_waiting() const
{
    if (!lost_deferred_ || lost_mode_ != lost_pass_e::on || lost_ || adopted_ || scanning())
        return false;
    if (kind_ != scanner_kind_e::fat && kind_ != scanner_kind_e::exfat && kind_ != scanner_kind_e::ntfs)
        return false;
    return current_->get_stop() == stop_run && current_->scan_failure().isEmpty();
}

int scan_service_c::start_lost_pass()
{
    if (!lost_pass_waiting())
        return -1;
    std::unique_ptr<recovery_base_c> scanner = file_system_scanner(kind_, lost_names_, content_check_, content_deferred_);
    if (!scanner)
        return -1;
    connect(scanner.get(), &QThread::finished, this, &scan_service_c::lost_pass_finished, Qt::QueuedConnection);
    scanner->set_volume(scanned_volume_);
    scanner->set_source(scanned_path_, scanned_source_);
    lost_ = std::move(scanner);
    // Below the listing's read-backs: a preview or a copy meanwhile comes
    // first.
    lost_->start(QThread::LowPriority);
    return 0;
}

void scan_service_c::set_lost_pass_paused(bool paused)
{
    if (lost_)
        lost_->set_pause(paused ? 1 : 0);
}

void scan_service_c::request_lost_pass_stop()
{
    if (!lost_)
        return;
    lost_->set_stop(stop_keep_results);
    lost_->set_pause(0);
}

bool scan_service_c::adopt_lost_pass()
{
    if (!lost_ || lost_->isRunning() || writer_.isRunning())
        return false;
    // A search cut short may have ended inside its walk: its listing would
    // be shorter than the one shown.
    if (lost_->get_stop() != stop_run || !lost_->scan_failure().isEmpty()) {
        lost_.reset();
        return false;
    }
    content_pass_.stop();
    current_->reset();
    adopted_ = std::move(lost_);
    current_ = adopted_.get();
    return true;
}

int scan_service_c::lost_pass_to_end(const std::function<void()>& tick)
{
    if (start_lost_pass() != 0)
        return -1;
    while (!lost_->wait(200))
        if (tick)
            tick();
    return adopt_lost_pass() ? 0 : -1;
}

int scan_service_c::start_scan(const volume_item_s& volume, bool deep, QString* reason)
{
    open_refusal_ = platform::open_refusal_e::none;
    if (scanning()) {
        if (reason)
            *reason = QStringLiteral("a scan is running");
        return -1;
    }
    QString path = volume.device_path;
    if (path.endsWith('/') || path.endsWith('\\'))
        path.chop(1);
    const std::string local_path = QFile::encodeName(path).toStdString();
    // A volume this user may not read: the disk is asked for now (a password
    // prompt), and its file system learnt from what that gives.
    volume_item_s chosen = volume;
    platform::byte_source_ptr opened;
    // Opens the volume once for the scan; a refusal ends the start with the
    // system's reason and its kind, so the person learns why and what to do.
    auto open_volume = [&]() {
        std::string why;
        opened = platform::open_byte_source(local_path, &why, platform::device_access::ask, &open_refusal_);
        if (!opened && reason)
            *reason = QString::fromStdString(why);
        return opened != nullptr;
    };
    // A volume no table names is read through a window over its disk.
    const QString shown = volume.window_sector >= 0 ? volume.dos_device : volume.device_path;
    if (volume.window_sector >= 0) {
        QString why;
        opened = open_found_volume(&chosen, &why, &open_refusal_);
        if (!opened) {
            if (reason)
                *reason = why;
            return -1;
        }
    }
    if (chosen.locked) {
        if (!open_volume())
            return -1;
        platform::filesystem_info_s fs;
        if (platform::probe_filesystem(*opened, 0, 0, &fs)) {
            chosen.file_system = QString::fromStdString(platform::display_filesystem_name(fs));
            chosen.label = QString::fromStdString(fs.label);
        }
        chosen.locked = false;
    }
    if (!deep && chosen.file_system.isEmpty()) {
        // Nothing was recognised at the volume's start: its boot sector may
        // be unreadable or damaged while the copy FAT32, exFAT and NTFS keep
        // of it still lays the volume out. A read error is said as one,
        // never as a volume without a file system, and a volume this user
        // may not open is said to be that.
        if (!opened && !open_volume() && platform::refusal_is_access(open_refusal_))
            return -1;
        if (opened) {
            QString unreadable;
            if (const QString fat = fat_file_system_of(opened); !fat.isEmpty())
                chosen.file_system = fat;
            else if (exfat_boot_region_found(opened))
                chosen.file_system = QStringLiteral("exFAT");
            else if (ntfs_engine::ntfs_backup_boot_sector_found(*opened))
                chosen.file_system = QStringLiteral("NTFS");
            else if (first_sector_unreadable(*opened, &unreadable)) {
                if (reason)
                    *reason = QStringLiteral("%1: %2 (try --deep)").arg(shown, unreadable);
                return -1;
            }
        }
    }
    const scanner_kind_e kind = choose_scanner(chosen, deep);
    recovery_base_c* next = scanner_for(kind);
    if (!next) {
        if (reason)
            *reason = chosen.file_system.isEmpty()
                          ? QStringLiteral("%1 holds no file system this program can scan (try --deep)")
                                .arg(shown)
                          : QStringLiteral("%1 holds %2, which cannot be scanned for deleted files (try --deep)")
                                .arg(shown, chosen.file_system);
        return -1;
    }
    reset_scanner();
    if (kind == scanner_kind_e::raw)
        raw_recovery_c::load_engine_config(text_types_);
    current_ = next;
    kind_ = kind;
    current_->reset();
    current_->set_volume(chosen);
    // The one opening of the volume for this scan and what is read back from
    // it. When it fails for another reason than rights, the scanner tries
    // once more itself and reports why in its own words.
    if (!opened && !open_volume() && platform::refusal_is_access(open_refusal_)) {
        reset_scanner();
        return -1;
    }
    if (kind == scanner_kind_e::raw && choose_scanner(chosen, false) != scanner_kind_e::none)
        raw_.set_known_files_source([volume = chosen, path, source = opened, names = lost_names_](
                                        const std::function<bool()>& stop) {
            return known_files_of(volume, path, source, names, stop);
        });
    else
        raw_.set_known_files_source(nullptr);
    scanned_volume_ = chosen;
    scanned_path_ = path;
    scanned_source_ = kind == scanner_kind_e::raw ? nullptr : opened;
    current_->set_source(path, std::move(opened));
    source_device_ = volume.device_path;
    current_->start(QThread::InheritPriority);
    // With memory or threads exhausted the thread is not created, and no
    // finished() would ever come.
    if (!current_->isRunning() && !current_->isFinished()) {
        if (reason)
            *reason = QStringLiteral("cannot start the scan (the system refused a new thread: out of memory?)");
        reset_scanner();
        return -1;
    }
    return 0;
}

int scan_service_c::recover_one(const QDir& destination, const recovery_item_s& row, QString* written)
{
    // The inert scanner "recovers" everything without writing a byte.
    if (kind_ == scanner_kind_e::none || scanning())
        return -1;
    // The check reads the mount table; a batch of rows, one call each, asks
    // it again only for another folder or device, or after a second.
    const auto now = std::chrono::steady_clock::now();
    const QString folder = destination.absolutePath();
    if (folder != passed_destination_ || source_device_ != passed_device_ || now - passed_at_ > std::chrono::seconds(1)) {
        passed_destination_.clear();
        if (!output_refusal(destination).isEmpty())
            return -1;
        passed_destination_ = folder;
        passed_device_ = source_device_;
        passed_at_ = now;
    }
    return ::recover_one(*current_, destination, row, written);
}

QString scan_service_c::load_scan_file(const QByteArray& path, std::string* reason)
{
    if (scanning()) {
        if (reason)
            *reason = "a scan is running";
        return {};
    }
    content_pass_.stop();
    writer_.wait();
    const QString device = raw_.load_results(path, reason);
    if (device.isEmpty())
        return {};
    if (current_ != &raw_)
        current_->reset();
    drop_lost_pass();
    scanned_source_.reset();
    current_ = &raw_;
    kind_ = scanner_kind_e::raw;
    source_device_ = device;
    return device;
}

namespace {

// The device path a scan file names, read from its header only (the volume
// answer ends the read), or empty when it names none.
QString scan_file_device(const QByteArray& path)
{
    std::string device;
    scan_file_contents_s ignored;
    read_scan_file(path.toStdString(),
                   [&device](const std::string& named, uint64_t*) {
                       device = named;
                       return false;
                   },
                   &ignored);
    return QFile::decodeName(QByteArray::fromStdString(device));
}

}  // namespace

bool scan_service_c::platform_volume(const QString& device_path, volume_item_s* volume)
{
    platform::platform_volume_s found;
    const std::string wanted = QFile::encodeName(device_path).toStdString();
    if (!platform::find_volume(wanted, &found) || found.device_path != wanted)
        return false;
    volume->device_path = QFile::decodeName(QByteArray::fromStdString(found.device_path));
    volume->dos_device = QString::fromStdString(found.dos_device);
    volume->root_path = QFile::decodeName(QByteArray::fromStdString(found.root_path));
    volume->total_bytes = found.total_bytes;
    return true;
}

scan_service_c::opened_scan_file_s scan_service_c::open_scan_file(const QByteArray& path,
                                                                  const offered_volume_fn& offered)
{
    opened_scan_file_s out;
    out.device = load_scan_file(path, &out.reason);
    if (out.device.isEmpty()) {
        // A file naming a volume that is not here is told apart from one
        // that cannot be read.
        const QString named = scan_file_device(path);
        uint64_t size_bytes = 0;
        if (!named.isEmpty() && !offered_volume_size(QFile::encodeName(named).toStdString(), &size_bytes)) {
            out.device = named;
            out.outcome = opened_scan_file_s::outcome_e::volume_missing;
        }
        return out;
    }
    if (!offered || !offered(out.device, &out.volume) || out.volume.device_path != out.device) {
        reset_scanner();
        out.volume = {};
        out.outcome = opened_scan_file_s::outcome_e::volume_missing;
        return out;
    }
    raw_.set_volume(out.volume);
    out.outcome = opened_scan_file_s::outcome_e::opened;
    return out;
}

int scan_service_c::start_recovery(const QDir& destination, const std::vector<recovery_item_s>& rows)
{
    bool any = false;
    for (const auto& row : rows)
        any = any || row.checked;
    if (!any || scanning() || kind_ == scanner_kind_e::none || !check_output(destination).ok())
        return -1;
    return writer_.start_recovery(current_, destination, rows);
}

int scan_service_c::start_recovery(const QDir& destination, std::vector<int64_t> ids, row_lookup_fn lookup,
                                   uint64_t needed_bytes)
{
    if (ids.empty() || scanning() || kind_ == scanner_kind_e::none || !check_output(destination, needed_bytes).ok())
        return -1;
    return writer_.start_recovery(current_, destination, std::move(ids), std::move(lookup));
}

int scan_service_c::scan_to_end(const volume_item_s& volume, bool deep, QString* reason,
                                const std::function<void()>& tick)
{
    if (start_scan(volume, deep, reason) != 0)
        return -1;
    while (!current_->wait(200))
        if (tick)
            tick();
    current_->set_progress(1.0);
    const QString failure = current_->scan_failure();
    if (!failure.isEmpty()) {
        if (reason)
            *reason = failure;
        return -1;
    }
    return 0;
}

QString scan_service_c::output_refusal(const QDir& destination) const
{
    if (source_device_.isEmpty())
        return {};
    return QString::fromStdString(platform::output_refusal(QFile::encodeName(destination.absolutePath()).toStdString(),
                                                           QFile::encodeName(source_device_).toStdString(),
                                                           platform::output_kind::folder));
}

output_check_s scan_service_c::check_output(const QDir& destination, uint64_t needed_bytes) const
{
    return check_output_folder(destination.absolutePath(), source_device_, needed_bytes);
}

bool scan_service_c::destination_shares_device(const QDir& destination) const
{
    const uint64_t folder = platform::device_number_of_path(QFile::encodeName(destination.absolutePath()).toStdString());
    const uint64_t volume = platform::device_number_of_volume(QFile::encodeName(source_device_).toStdString());
    return folder != 0 && folder == volume;
}

QString output_check_s::text() const
{
    switch (problem) {
    case problem_e::none: break;
    case problem_e::on_source: return detail;
    case problem_e::not_writable:
        return QStringLiteral("nothing can be written into %1: %2; choose a folder you may write to").arg(folder, detail);
    case problem_e::no_room:
        return QStringLiteral("%1 has too little room: the files chosen need %2 (%3 bytes), %4 (%5 bytes) are free; "
                              "free some space there or choose another folder")
            .arg(folder, format_size(needed))
            .arg(needed)
            .arg(format_size(free))
            .arg(free);
    }
    return {};
}

output_check_s check_output_folder(const QString& folder, const QString& source_device, uint64_t needed_bytes)
{
    output_check_s check;
    check.folder = folder;
    const std::string path = QFile::encodeName(folder).toStdString();
    if (!source_device.isEmpty()) {
        const std::string refused =
            platform::output_refusal(path, QFile::encodeName(source_device).toStdString(), platform::output_kind::folder);
        if (!refused.empty()) {
            check.problem = output_check_s::problem_e::on_source;
            check.detail = QString::fromStdString(refused);
            return check;
        }
    }
    // Permissions alone do not tell: a read-only mount, a full quota of
    // inodes, an ACL or a security module can refuse the first file. One is
    // made and removed, under a name no recovery writes.
    static std::atomic<unsigned> serial{0};
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
        const std::string probe = path + "/.quarvel-write-check-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(serial.fetch_add(1));
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        error = fd >= 0 ? 0 : errno;
        if (fd >= 0) {
            ::close(fd);
            ::unlink(probe.c_str());
        }
    }
    if (error != 0) {
        check.problem = output_check_s::problem_e::not_writable;
        check.detail = QString::fromLocal8Bit(std::strerror(error));
        return check;
    }
    struct statvfs room {};
    if (needed_bytes != 0 && ::statvfs(path.c_str(), &room) == 0) {
        const uint64_t unit = room.f_frsize ? room.f_frsize : room.f_bsize;
        const uint64_t free = uint64_t(room.f_bavail) > UINT64_MAX / std::max<uint64_t>(unit, 1)
                                  ? UINT64_MAX
                                  : uint64_t(room.f_bavail) * unit;
        if (needed_bytes > free) {
            check.problem = output_check_s::problem_e::no_room;
            check.needed = needed_bytes;
            check.free = free;
        }
    }
    return check;
}
