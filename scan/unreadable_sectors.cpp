#include "scan/unreadable_sectors.h"

#include "platform/fd_io.h"
#include "platform/invoking_user.h"
#include "scan/safe_name.h"

#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

thread_local read_ledger_c* current_ledger = nullptr;

class ledger_source_c final : public platform::byte_source_c {
public:
    explicit ledger_source_c(platform::byte_source_ptr under) : under_(std::move(under)) {}

    int64_t read_at(uint64_t offset, void* buffer, size_t length) const override
    {
        read_ledger_c* ledger = current_ledger;
        if (ledger && ledger->should_cancel()) {
            errno = ECANCELED;
            return -1;
        }
        const int64_t got = under_->read_at(offset, buffer, length);
        if (ledger) {
            if (got < 0)
                ledger->note_failure();
            else if (got > 0)
                ledger->note(*under_, offset, uint64_t(got));
        }
        return got;
    }
    uint64_t size() const override { return under_->size(); }
    uint32_t sector_size() const override { return under_->sector_size(); }
    const std::string& name() const override { return under_->name(); }
    void advise_sequential() const override { under_->advise_sequential(); }
    std::vector<platform::unreadable_range_s> unreadable_in(uint64_t offset, uint64_t length) const override
    {
        return under_->unreadable_in(offset, length);
    }
    std::vector<platform::slow_range_s> slow_all() const override { return under_->slow_all(); }
    uint64_t unreadable_generation() const override { return under_->unreadable_generation(); }

private:
    platform::byte_source_ptr under_;
};

// A name from a disk on one line of the list: control characters could
// otherwise forge lines of their own.
QString one_line(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString ranges_text(const unreadable_sectors_s& sectors, size_t most)
{
    const uint64_t unit = std::max<uint32_t>(sectors.sector_bytes, 1);
    QStringList parts;
    for (size_t i = 0; i < sectors.ranges.size() && i < most; ++i) {
        const auto& r = sectors.ranges[i];
        const uint64_t first = r.offset / unit;
        const uint64_t last = (r.end() - 1) / unit;
        const QString span = first == last ? QString::number(first)
                                           : QStringLiteral("%1-%2").arg(first).arg(last);
        const QString why = r.error != 0 ? QString::fromStdString(platform::read_error_text(r.error))
                                         : QStringLiteral("not read");
        parts << QStringLiteral("%1 (%2)").arg(span, why);
    }
    QString text = (sectors.sector_count() == 1 ? QStringLiteral("sector ") : QStringLiteral("sectors ")) +
                   parts.join(QStringLiteral(", "));
    if (sectors.ranges.size() > most)
        text += QStringLiteral(" and %1 more ranges").arg(sectors.ranges.size() - most);
    return text;
}

}  // namespace

platform::byte_source_ptr with_read_ledger(platform::byte_source_ptr source)
{
    if (!source || dynamic_cast<const ledger_source_c*>(source.get()))
        return source;
    return std::make_shared<ledger_source_c>(std::move(source));
}

read_ledger_c::read_ledger_c(const std::atomic<int>* cancel) : cancel_(cancel), outer_(current_ledger)
{
    current_ledger = this;
}

read_ledger_c::~read_ledger_c() { current_ledger = outer_; }

read_ledger_c* read_ledger_c::current() { return current_ledger; }

void read_ledger_c::note(const platform::byte_source_c& source, uint64_t offset, uint64_t length)
{
    sector_bytes_ = source.sector_size();
    for (const auto& r : source.unreadable_in(offset, length))
        met_.add(r.offset, r.length, r.error);
}

bool read_ledger_c::should_cancel()
{
    if (!cancel_ || cancel_->load(std::memory_order_relaxed) == 0)
        return false;
    cancelled_ = true;
    read_failed_ = true;
    return true;
}

ledger_pause_c::ledger_pause_c() : paused_(current_ledger) { current_ledger = nullptr; }

ledger_pause_c::~ledger_pause_c() { current_ledger = paused_; }

uint64_t unreadable_sectors_s::sector_count() const
{
    const uint64_t unit = std::max<uint32_t>(sector_bytes, 1);
    uint64_t count = 0;
    for (const auto& r : ranges)
        count += (r.end() + unit - 1) / unit - r.offset / unit;
    return count;
}

QString unreadable_sectors_text(const unreadable_sectors_s& sectors) { return ranges_text(sectors, 16); }

void unreadable_list_c::add(const QString& shown, const unreadable_sectors_s& sectors, bool written)
{
    entries_.push_back({shown, sectors, written});
}

QString unreadable_list_c::write_into(const QString& folder, QString* why) const
{
    why->clear();
    if (entries_.empty())
        return {};
    QString text = QStringLiteral(
        "Files whose copies met sectors of the disk that could not be read.\n"
        "\"written\": the file was written with zeros in place of those sectors; \"skipped\": it was not written.\n"
        "Sectors are counted from the start of the volume read.\n\n");
    for (const entry_s& e : entries_) {
        text += (e.written ? QStringLiteral("written\t") : QStringLiteral("skipped\t")) + one_line(e.shown) + '\t' +
                QStringLiteral("%1 bytes each, ").arg(e.sectors.sector_bytes) +
                ranges_text(e.sectors, e.sectors.ranges.size()) + '\n';
    }
    const QByteArray bytes = text.toUtf8();
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        const QString path = (folder.endsWith('/') ? folder : folder + '/') +
                             numbered_file_name(QString::fromLatin1(unreadable_list_name), attempt);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            *why = QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return {};
        }
        platform::hand_to_invoking_user(fd);
        bool ok = platform::write_fully(fd, bytes.constData(), size_t(bytes.size()));
        const int write_error = errno;
        if (::close(fd) != 0)
            ok = false;
        if (!ok) {
            ::unlink(QFile::encodeName(path).constData());
            *why = QStringLiteral("cannot write %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(write_error)));
            return {};
        }
        return path;
    }
    *why = QStringLiteral("no free name for %1 in %2").arg(QString::fromLatin1(unreadable_list_name), folder);
    return {};
}

bool extents_meet_unreadable(const platform::byte_source_c& source,
                             const std::vector<std::pair<uint64_t, uint64_t>>& extents)
{
    if (source.unreadable_generation() == 0)
        return false;
    for (const auto& [offset, length] : extents)
        if (length > 0 && source.any_unreadable_in(offset, length))
            return true;
    return false;
}
