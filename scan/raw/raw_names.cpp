#include "scan/raw/raw_names.h"

#include "engines/carve/content_name.h"

#include <QFile>
#include <algorithm>
#include <vector>

raw_names_c::raw_names_c() = default;
raw_names_c::~raw_names_c() = default;

void raw_names_c::open(platform::byte_source_ptr device) { device_ = std::move(device); }

void raw_names_c::close() { device_.reset(); }

void raw_names_c::clear()
{
    names_.clear();
    taken_.clear();
    next_attempt_.clear();
    known_.clear();
}

void raw_names_c::set_known_files(const std::vector<raw_known_file_s>& files)
{
    known_.clear();
    for (const raw_known_file_s& f : files)
        if (f.size > 0 && !f.name.isEmpty())
            known_[f.offset].push_back(f);
}

bool raw_names_c::take_name(int64_t index, const std::string& type, const QString& stem, const QString& extension,
                            raw_content_s content)
{
    auto& taken = taken_[type];
    // Many files may share a name (a burst of photos in one second, copies
    // of one document): numbering goes on from where that name stopped.
    int& attempt = next_attempt_[type][(stem + extension).toCaseFolded()];
    for (const int last = attempt + 1000; attempt < last;) {
        ++attempt;
        const QString name =
            attempt == 1 ? stem + extension : QStringLiteral("%1 (%2)%3").arg(stem).arg(attempt).arg(extension);
        if (taken.insert(name.toCaseFolded()).second) {
            content.name = name;
            names_[index] = std::move(content);
            return true;
        }
    }
    return false;
}

namespace {

// Names that only a number would otherwise have ("00000012") are left to
// the number, so that a title cannot pass for another file's number.
bool looks_like_a_number(const std::string& name)
{
    return name.size() == 8 && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

void raw_names_c::add(const raw_item_s& item, const std::string& type, const raw_extent_s* extents, size_t count)
{
    if (item.size <= 0 || item.offset < 0 || type.empty())
        return;
    const raw_extent_s whole{item.offset, item.size};
    if (count == 0) {
        extents = &whole;
        count = 1;
    }
    // A file the volume's own entries still name, starting where it starts
    // and as long: its name and folder, as the disk holds them.
    if (const auto known = known_.find(uint64_t(extents[0].offset)); known != known_.end()) {
        for (const raw_known_file_s& f : known->second) {
            if (f.size != uint64_t(item.size))
                continue;
            QString stem = f.name.left(raw_name_max_bytes / 2);
            stem.replace(QLatin1Char('/'), QLatin1Char('_'));
            const qsizetype dot = stem.lastIndexOf(QLatin1Char('.'));
            const QString extension = dot > 0 ? stem.mid(dot) : QString();
            if (take_name(item.index, type, dot > 0 ? stem.left(dot) : stem, extension, {{}, f.time, f.folder}))
                return;
        }
    }
    if (!device_)
        return;
    // Offsets in the file become offsets on the device, piece by piece.
    const platform::byte_source_c& device = *device_;
    const carve::content_read_fn read = [&](uint64_t offset, void* out, size_t length) -> size_t {
        size_t done = 0;
        uint64_t piece_start = 0;
        for (size_t i = 0; i < count && length > done; ++i) {
            const uint64_t piece = static_cast<uint64_t>(extents[i].size);
            const uint64_t at = offset + done;
            if (at < piece_start + piece) {
                const uint64_t within = at - piece_start;
                const size_t n = static_cast<size_t>(std::min<uint64_t>(length - done, piece - within));
                const int64_t got =
                    device.read_at(static_cast<uint64_t>(extents[i].offset) + within, static_cast<char*>(out) + done, n);
                if (got <= 0)
                    return done;
                done += static_cast<size_t>(got);
                if (static_cast<size_t>(got) < n)
                    return done;
            }
            piece_start += piece;
        }
        return done;
    };
    const carve::content_name_s found = carve::content_name(type, static_cast<uint64_t>(item.size), read);
    if (found.name.empty())
        return;
    // Room for the extension and a " (NNN)" to tell equal names apart.
    const size_t room = raw_name_max_bytes - std::min(raw_name_max_bytes / 2, type.size() + 1 + 6);
    const std::string base = carve::clean_content_name(found.name, room);
    if (base.empty() || looks_like_a_number(base))
        return;
    take_name(item.index, type, QString::fromStdString(base), "." + QString::fromStdString(type),
              {{}, found.has_time ? found.time : 0, {}});
}

const raw_content_s* raw_names_c::find(int64_t index) const
{
    const auto it = names_.find(index);
    return it == names_.end() ? nullptr : &it->second;
}
