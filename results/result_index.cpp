#include "results/result_index.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <unordered_set>

namespace {

bool fits32(int64_t v) { return v >= 0 && v < int64_t(result_index_c::wide); }

}  // namespace

void result_index_c::clear()
{
    folders_.clear();
    files_.clear();
    names_.clear();
    extensions_.clear();
    extension_codes_.clear();
    last_extension_key_ = 0;
    wide_.clear();
    id_high_.clear();
    first_units_.clear();
    first_unit_by_file_.clear();
    first_units_dense_ = false;
    written_.clear();
    ticks_.clear();
    ticked_count_ = 0;
    ticked_bytes_ = 0;
    for (auto& order : orders_)
        order.clear();
}

uint8_t result_index_c::extension_code(const char16_t* text, qsizetype units, qsizetype* stem)
{
    *stem = units;
    qsizetype dot = units;
    while (dot > 0 && units - dot < 8 && text[dot - 1] != u'.')
        --dot;
    // Only a dot and one to seven characters after it are kept apart.
    if (dot == 0 || text[dot - 1] != u'.' || dot == units || units - dot > 7)
        return 0;
    --dot;
    uint64_t key = 0;
    for (qsizetype i = dot; i < units; ++i)
        key = key << 8 | uint8_t(text[i]);
    // Names of a folder mostly share their extension: the last one found
    // spares the look-up.
    if (key != last_extension_key_) {
        auto it = extension_codes_.find(key);
        if (it == extension_codes_.end()) {
            if (extensions_.size() >= size_t(256 - code_extension))
                return 0;
            extension_s e;
            e.length = uint8_t(units - dot);
            for (qsizetype i = dot; i < units; ++i)
                e.text[size_t(i - dot)] = char(uint8_t(text[i]));
            e.group = group_of_extension(QStringView(text + dot + 1, units - dot - 1));
            extensions_.push_back(e);
            it = extension_codes_.emplace(key, uint8_t(code_extension + extensions_.size() - 1)).first;
        }
        last_extension_key_ = key;
        last_extension_code_ = it->second;
    }
    *stem = dot;
    return last_extension_code_;
}

void result_index_c::keep_first_units_by_file(uint32_t count)
{
    first_unit_by_file_.reserve(std::max(files_.capacity(), size_t(count)));
    first_unit_by_file_.assign(count, 0);
    std::vector<std::pair<uint32_t, char32_t>> pairs;
    for (const auto& [file, units] : first_units_) {
        if (units != 0 && units >> 16 == 0)
            first_unit_by_file_[file] = char16_t(units);
        else
            pairs.emplace_back(file, units);
    }
    first_units_ = std::move(pairs);
    first_units_dense_ = true;
}

void result_index_c::add_file(const recovery_item_s& r, const QString& written)
{
    const auto at = uint32_t(files_.size());
    if (first_units_dense_)
        first_unit_by_file_.push_back(0);
    file_s file;
    file.id_low = uint32_t(uint64_t(r.id));
    const auto high = uint32_t(uint64_t(r.id) >> 32);
    if (high != (id_high_.empty() ? 0 : id_high_.back().second))
        id_high_.emplace_back(at, high);
    file.flags = r.flags;
    file.size = fits32(r.size) ? uint32_t(r.size) : wide;
    file.date1 = fits32(r.date1) ? uint32_t(r.date1) : wide;
    file.date2 = fits32(r.date2) ? uint32_t(r.date2) : wide;
    if (file.size == wide || file.date1 == wide || file.date2 == wide)
        wide_.emplace(at, wide_s{r.size, r.date1, r.date2});

    qsizetype units = std::min<qsizetype>(r.name.size(), max_name_units);
    // Offsets are 32 bits; past 4 GiB of names (no real volume) the rest go
    // nameless, and past the last byte even without their code.
    if (names_.size() + size_t(units) * 2 + 2 >= size_t(UINT32_MAX))
        units = 0;
    file.name_at = uint32_t(names_.size());
    if (names_.size() + 2 < size_t(UINT32_MAX)) {
        const char16_t* text = reinterpret_cast<const char16_t*>(r.name.utf16());
        const size_t from = names_.size();
        if (std::all_of(text, text + units, [](char16_t c) { return c < 0x100; })) {
            qsizetype stem = units;
            uint8_t code = extension_code(text, units, &stem);
            if (code == 0)
                code = uint8_t(group_of_name(QStringView(text, units)));
            names_.resize(from + size_t(stem) + 1);
            for (qsizetype i = 0; i < stem; ++i)
                names_[from + size_t(i)] = uint8_t(text[i]);
            names_.back() = code;
        } else {
            names_.resize(from + size_t(units) * 2 + 1);
            std::memcpy(names_.data() + from, text, size_t(units) * 2);
            names_.back() = uint8_t(code_wide + uint8_t(group_of_name(QStringView(text, units))));
        }
    }
    if (!written.isEmpty()) {
        // The "#" in front replaced by one unit or a surrogate pair, the rest as shown.
        const qsizetype k = written.size() - r.name.size() + 1;
        if ((k == 1 || (k == 2 && written[1].unicode() != 0)) && QStringView(written).mid(k) == QStringView(r.name).mid(1)) {
            if (first_units_dense_ && k == 1 && written[0].unicode() != 0) {
                first_unit_by_file_[at] = written[0].unicode();
            } else {
                first_units_.emplace_back(at, char32_t(written[0].unicode()) | (k == 2 ? char32_t(written[1].unicode()) << 16 : 0));
                if (!first_units_dense_ && first_units_.size() >= 1024 && first_units_.size() * 4 >= size_t(at) + 1)
                    keep_first_units_by_file(at + 1);
            }
        } else
            written_.emplace(at, written);
    }
    files_.push_back(file);
}

bool result_index_c::build(const recovery_base_c& scanner, row_flags_e reading, job_c* job)
{
    clear();
    reading_ = reading;
    const void* top = nullptr;
    if (!scanner.top_folder(&top))
        return false;

    // Depth first with an explicit stack (a damaged store may nest deeper
    // than the thread's stack allows); a folder gets its number when it is
    // taken from the stack, so every subtree is one run of numbers.
    struct pending_s {
        const void* node;
        QString name;
        uint32_t parent;
        int depth;
    };
    // The scanner's count of what it found is a good first size: growing a
    // vector of a million rows step by step costs copies and memory twice.
    const int64_t expected = const_cast<recovery_base_c&>(scanner).get_found_count();
    if (expected > 0 && expected < int64_t(UINT32_MAX)) {
        files_.reserve(size_t(expected));
        // Only what is written to is taken from the system.
        names_.reserve(size_t(expected) * 32);
    }
    const double progress_step = expected > 0 ? 1.0 / double(expected) : 0.0;
    std::vector<pending_s> pending{{top, QStringLiteral("/"), none, 0}};
    std::unordered_set<const void*> entered{top};
    std::vector<result_folder_s> subs;
    while (!pending.empty()) {
        pending_s at = std::move(pending.back());
        pending.pop_back();
        const uint32_t number = uint32_t(folders_.size());
        folder_s f;
        f.node = at.node;
        f.parent = at.parent;
        if (at.parent == none) {
            f.path = QStringLiteral("/");
        } else {
            folder_s& parent = folders_[at.parent];
            f.row = uint32_t(parent.children.size());
            parent.children.push_back(number);
            f.path = (parent.parent == none ? QString() : parent.path) + QLatin1Char('/') + at.name;
        }
        f.name = std::move(at.name);
        f.first_file = uint32_t(files_.size());

        if (job && job->stop_requested()) {
            clear();
            return false;
        }
        // Row by row: a copy of a large folder's rows would stand on top of
        // the index at its fullest.
        scanner.visit_folder_rows(at.node, [&](const recovery_item_s& r) {
            // Only a "#" first stands for a character the scanner may know.
            QString whole;
            if (r.name.startsWith(QLatin1Char('#')))
                if (whole = scanner.written_name(r); whole == r.name)
                    whole.clear();
            add_file(r, whole);
        });
        if (job)
            job->set_progress(std::min(1.0, double(files_.size()) * progress_step));
        f.files_end = uint32_t(files_.size());
        folders_.push_back(std::move(f));

        if (at.depth >= max_depth)
            continue;
        subs.clear();
        scanner.sub_folders(at.node, &subs);
        const size_t first = pending.size();
        for (auto& s : subs) {
            if (!s.node || !entered.insert(s.node).second)
                continue;
            pending.push_back({s.node, std::move(s.name), number, at.depth + 1});
        }
        // Sub-folders are taken in the store's order.
        std::reverse(pending.begin() + std::ptrdiff_t(first), pending.end());
    }

    for (uint32_t i = 0; i < folders_.size(); ++i)
        folders_[i].subtree_end = i + 1;
    for (uint32_t i = uint32_t(folders_.size()); i-- > 1;) {
        folder_s& parent = folders_[folders_[i].parent];
        parent.subtree_end = std::max(parent.subtree_end, folders_[i].subtree_end);
    }
    for (auto& f : folders_)
        f.subtree_files_end = f.subtree_end < folders_.size() ? folders_[f.subtree_end].first_file : file_count();

    extension_codes_ = {};
    huge_pages::release_tail(files_.data(), files_.size() * sizeof(file_s), files_.capacity() * sizeof(file_s));
    ticks_.assign((files_.size() + 63) / 64, 0);
    return true;
}

inline result_index_c::name_parts_s result_index_c::name_parts(uint32_t file) const
{
    name_parts_s p;
    const size_t begin = files_[file].name_at;
    const size_t end = file + 1 < files_.size() ? files_[file + 1].name_at : names_.size();
    if (end <= begin)
        return p;
    p.code = names_[end - 1];
    p.units = names_.data() + begin;
    p.count = end - 1 - begin;
    if (p.code >= code_extension) {
        p.extension = &extensions_[size_t(p.code - code_extension)];
    } else if (p.code >= code_wide) {
        p.wide = true;
        p.count /= 2;
    }
    return p;
}

file_group_e result_index_c::group(uint32_t file) const { return group_of(name_parts(file)); }

file_group_e result_index_c::group_of(const name_parts_s& p)
{
    if (p.extension)
        return p.extension->group;
    return file_group_e(p.wide ? p.code - code_wide : p.code);
}

uint32_t result_index_c::high_of(uint32_t file) const
{
    const auto it = std::upper_bound(id_high_.begin(), id_high_.end(), file,
                                     [](uint32_t f, const std::pair<uint32_t, uint32_t>& run) { return f < run.first; });
    return it == id_high_.begin() ? 0 : std::prev(it)->second;
}

QStringView result_index_c::name_view(uint32_t file, QVarLengthArray<char16_t, 128>* units) const
{
    return name_view(name_parts(file), units);
}

QStringView result_index_c::name_view(const name_parts_s& p, QVarLengthArray<char16_t, 128>* units)
{
    const size_t tail = p.extension ? p.extension->length : 0;
    units->resize(qsizetype(p.count + tail));
    if (p.wide)
        std::memcpy(units->data(), p.units, p.count * 2);
    else
        for (size_t i = 0; i < p.count; ++i)
            (*units)[qsizetype(i)] = p.units[i];
    for (size_t i = 0; i < tail; ++i)
        (*units)[qsizetype(p.count + i)] = uint8_t(p.extension->text[i]);
    return QStringView(units->data(), units->size());
}

QString result_index_c::name(uint32_t file) const
{
    return with_name(file, [](QStringView v) { return v.toString(); });
}

inline char16_t result_index_c::unit_at(const name_parts_s& p, size_t at)
{
    if (p.wide) {
        char16_t unit = 0;
        std::memcpy(&unit, p.units + at * 2, 2);
        return unit;
    }
    return at < p.count ? p.units[at] : uint8_t(p.extension->text[at - p.count]);
}

int result_index_c::compare_names(uint32_t a, uint32_t b) const
{
    const name_parts_s x = name_parts(a);
    const name_parts_s y = name_parts(b);
    if (!x.wide && !y.wide) {
        // One byte a character is the character's own code: bytes order as
        // the units do. Most names differ before either's extension.
        const size_t n = std::min(x.count, y.count);
        if (const int c = n ? std::memcmp(x.units, y.units, n) : 0)
            return c;
        const size_t lx = length_of(x);
        const size_t ly = length_of(y);
        for (size_t i = n; i < lx && i < ly; ++i)
            if (const int c = int(unit_at(x, i)) - int(unit_at(y, i)))
                return c;
        return lx < ly ? -1 : lx > ly ? 1 : 0;
    }
    QVarLengthArray<char16_t, 128> ua, ub;
    return name_view(a, &ua).compare(name_view(b, &ub));
}

uint64_t result_index_c::name_key(const name_parts_s& p, size_t skip)
{
    // The name's units from skip on, a byte each below 0xFF and 0xFF then
    // both bytes from there up, packed high byte first: two names whose keys
    // differ order as their keys do, so the names themselves are only read
    // when keys are equal. The cut and the zeros after a short name keep
    // that true.
    uint64_t key = 0;
    int shift = 56;
    const auto put = [&](unsigned byte) {
        if (shift >= 0)
            key |= uint64_t(byte) << shift;
        shift -= 8;
    };
    for (size_t i = skip, n = length_of(p); i < n && shift >= 0; ++i) {
        const char16_t unit = unit_at(p, i);
        if (unit < 0xFF) {
            put(unit);
        } else {
            put(0xFF);
            put(unit >> 8);
            put(unit & 0xFF);
        }
    }
    return key;
}

size_t result_index_c::common_start(const uint32_t* files, size_t n, size_t from) const
{
    const name_parts_s first = name_parts(files[0]);
    size_t common = length_of(first);
    for (size_t i = 1; i < n && common > from; ++i) {
        const name_parts_s p = name_parts(files[i]);
        const size_t limit = std::min(common, length_of(p));
        size_t j = from;
        while (j < limit && unit_at(p, j) == unit_at(first, j))
            ++j;
        common = j;
    }
    return std::max(common, from);
}

void result_index_c::sort_by_name(std::vector<uint32_t>* files, bool ascending, bool stable) const
{
    if (files->size() < 2)
        return;
    // Sorting a run in one go takes 16 bytes a file beside it; a million
    // files are first spread in place by their first differing byte, so no
    // more than this many are keyed at once.
    constexpr size_t keyed_at_once = size_t(1) << 17;
    // Spread files lose their order; equal names then go by file number,
    // which keeps the order only of files that came in that order.
    const bool by_place = stable && !std::is_sorted(files->begin(), files->end());
    std::vector<keyed_s> keyed(by_place ? files->size() : std::min(files->size(), keyed_at_once));
    // Cameras and programs name files alike ("IMG_", "DSC0"): the start all
    // names share tells none apart, so the keys begin after it.
    const size_t common = common_start(files->data(), files->size(), 0);
    sort_names_in(files->data(), files->size(), ascending, by_place, &keyed, 0, common);
}

void result_index_c::sort_names_in(uint32_t* files, size_t n, bool ascending, bool by_place,
                                   std::vector<keyed_s>* keyed, int depth, size_t from) const
{
    // Every name of the run has the same first `from` units.
    // A damaged volume's names can be built to peel off one file a level;
    // a few levels down a run is keyed whole instead.
    constexpr int max_spread_depth = 16;
    while (n > keyed->size() && depth < max_spread_depth) {
        // The key's first byte, without the rest.
        const auto byte_of = [this, from](uint32_t file) -> size_t {
            const name_parts_s p = name_parts(file);
            return from < length_of(p) ? std::min<size_t>(unit_at(p, from), 0xFF) : 0;
        };
        std::array<size_t, 256> count{};
        for (size_t i = 0; i < n; ++i)
            ++count[byte_of(files[i])];
        if (std::find(count.begin(), count.end(), n) != count.end()) {
            // One byte for all: on past what they share, if anything.
            const size_t common = common_start(files, n, from);
            if (common == from)
                break;
            from = common;
            continue;
        }
        std::array<size_t, 256> next{}, end{};
        size_t at = 0;
        for (int k = 0; k < 256; ++k) {
            const int b = ascending ? k : 255 - k;
            next[size_t(b)] = at;
            at += count[size_t(b)];
            end[size_t(b)] = at;
        }
        // Each file swapped straight into its byte's run.
        for (int k = 0; k < 256; ++k) {
            const auto b = size_t(ascending ? k : 255 - k);
            while (next[b] < end[b]) {
                uint32_t file = files[next[b]];
                for (size_t fb = byte_of(file); fb != b; fb = byte_of(file))
                    std::swap(file, files[next[fb]++]);
                files[next[b]++] = file;
            }
        }
        for (size_t b = 0; b < 256; ++b) {
            // A run of a byte below 0xFF shares one more unit.
            const size_t shared = b > 0 && b < 0xFF ? from + 1 : from;
            if (count[b] > 1)
                sort_names_in(files + end[b] - count[b], count[b], ascending, false, keyed, depth + 1, shared);
        }
        return;
    }
    // Every name alike this far, or spread deep enough: keyed whole, however many.
    if (n > keyed->size())
        keyed->resize(n);
    const auto make_keys = [&] {
        uint64_t differ = 0;
        for (size_t i = 0; i < n; ++i) {
            (*keyed)[i] = {name_key(name_parts(files[i]), from), uint32_t(i)};
            differ |= (*keyed)[i].key ^ (*keyed)[0].key;
        }
        return differ;
    };
    // A first byte all keys share that stands for a unit is a unit all
    // names share: the keys are made again past all they share.
    const uint64_t differ = make_keys();
    if (const auto first = unsigned((*keyed)[0].key >> 56); !(differ >> 56) && first > 0 && first < 0xFF) {
        from = common_start(files, n, from + 1);
        make_keys();
    }
    const auto less = [this, files, ascending, by_place](const keyed_s& a, const keyed_s& b) {
        if (a.key != b.key)
            return ascending ? a.key < b.key : a.key > b.key;
        if (const int c = compare_names(files[a.at], files[b.at]))
            return ascending ? c < 0 : c > 0;
        return by_place ? a.at < b.at : files[a.at] < files[b.at];
    };
    std::sort(keyed->begin(), keyed->begin() + std::ptrdiff_t(n), less);
    for (size_t i = 0; i < n; ++i)
        (*keyed)[i].key = files[(*keyed)[i].at];
    for (size_t i = 0; i < n; ++i)
        files[i] = uint32_t((*keyed)[i].key);
}

uint32_t result_index_c::folder_of(uint32_t file) const
{
    // Folders' files follow one another in folder order; of folders starting
    // at the same file only the last can hold it.
    const auto it = std::upper_bound(folders_.begin(), folders_.end(), file,
                                     [](uint32_t f, const folder_s& folder) { return f < folder.first_file; });
    return it == folders_.begin() ? 0 : uint32_t(it - folders_.begin() - 1);
}

QString result_index_c::written_name(uint32_t file) const
{
    if (file < first_unit_by_file_.size() && first_unit_by_file_[file] != 0) {
        QString whole = name(file);
        if (!whole.isEmpty())
            whole[0] = QChar(first_unit_by_file_[file]);
        return whole;
    }
    const auto first = std::lower_bound(first_units_.begin(), first_units_.end(), std::make_pair(file, char32_t(0)));
    if (first != first_units_.end() && first->first == file) {
        QString whole = name(file);
        const char16_t units[2] = {char16_t(first->second & 0xFFFF), char16_t(first->second >> 16)};
        return whole.replace(qsizetype(0), qsizetype(1), reinterpret_cast<const QChar*>(units), qsizetype(units[1] ? 2 : 1));
    }
    const auto it = written_.find(file);
    return it == written_.end() ? QString() : it->second;
}

found_row_s result_index_c::found_row(uint32_t at) const
{
    const file_s& f = files_[at];
    found_row_s out;
    out.item.name = name(at);
    out.item.size = size(at);
    out.item.date1 = date1(at);
    out.item.date2 = date2(at);
    out.item.id = id(at);
    // The window may be taking a verdict for this row on its thread.
    out.item.flags = std::atomic_ref<int32_t>(const_cast<int32_t&>(f.flags)).load(std::memory_order_relaxed);
    out.folder = folder_path_of(at);
    return out;
}

recovery_item_s result_index_c::row(uint32_t at) const
{
    const file_s& f = files_[at];
    recovery_item_s r;
    r.name = name(at);
    r.size = size(at);
    r.date1 = date1(at);
    r.date2 = date2(at);
    r.id = id(at);
    r.flags = f.flags;
    r.checked = ticked(at);
    return r;
}

std::vector<uint32_t> result_index_c::update_flags(const std::vector<std::pair<int64_t, int32_t>>& changes)
{
    std::vector<uint32_t> changed;
    if (changes.empty())
        return changed;
    std::unordered_map<int64_t, int32_t> wanted(changes.begin(), changes.end());
    // One walk over the index for the whole batch.
    for (uint32_t at = 0; at < file_count() && !wanted.empty(); ++at) {
        const auto it = wanted.find(id(at));
        if (it == wanted.end())
            continue;
        file_s& f = files_[at];
        if (f.flags != it->second) {
            std::atomic_ref<int32_t>(f.flags).store(it->second, std::memory_order_relaxed);
            changed.push_back(at);
        }
        wanted.erase(it);
    }
    return changed;
}

uint32_t result_index_c::find_id(int64_t id) const
{
    for (uint32_t i = 0; i < files_.size(); ++i)
        if (files_[i].id_low == uint32_t(uint64_t(id)) && this->id(i) == id)
            return i;
    return none;
}

uint32_t result_index_c::folder_at_path(QStringView path) const
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    for (uint32_t i = 0; i < folders_.size(); ++i)
        if (folders_[i].path == path)
            return i;
    return none;
}

void result_index_c::change_tick(uint32_t file, uint32_t folder, bool value)
{
    if (ticked(file) == value)
        return;
    ticks_[file / 64] ^= uint64_t(1) << (file % 64);
    const int64_t step = value ? 1 : -1;
    ticked_count_ += step;
    const auto bytes = uint64_t(size(file));
    ticked_bytes_ += value ? bytes : -bytes;
    folders_[folder].ticked_own += uint32_t(step);
}

void result_index_c::recount_folders()
{
    for (auto& f : folders_)
        f.ticked_below = f.ticked_own;
    // Numbered depth first: every folder comes after its parent.
    for (uint32_t i = uint32_t(folders_.size()); i-- > 1;)
        folders_[folders_[i].parent].ticked_below += folders_[i].ticked_below;
}

void result_index_c::set_ticked(uint32_t file, bool value)
{
    if (file >= files_.size() || ticked(file) == value)
        return;
    const uint32_t folder = folder_of(file);
    change_tick(file, folder, value);
    const int step = value ? 1 : -1;
    for (uint32_t at = folder; at != none; at = folders_[at].parent)
        folders_[at].ticked_below += uint32_t(step);
}

void result_index_c::set_ticked(const std::vector<uint32_t>& files, bool value)
{
    if (files.size() < files_.size() / 8) {
        // Few files: each one's folder is looked up, the one found last first
        // since files usually come in the index's order.
        uint32_t folder = 0;
        for (uint32_t file : files) {
            if (file >= files_.size())
                continue;
            if (file < folders_[folder].first_file || file >= folders_[folder].files_end)
                folder = folder_of(file);
            change_tick(file, folder, value);
        }
    } else {
        // Many, in any order (a sorted table): ticks first, then every
        // folder's own count read off in one pass along the index.
        for (uint32_t file : files) {
            if (file >= files_.size() || ticked(file) == value)
                continue;
            ticks_[file / 64] ^= uint64_t(1) << (file % 64);
            const auto bytes = uint64_t(size(file));
            ticked_count_ += value ? 1 : -1;
            ticked_bytes_ += value ? bytes : -bytes;
        }
        for (auto& f : folders_)
            f.ticked_own = count_ticks(f.first_file, f.files_end);
    }
    recount_folders();
}

uint32_t result_index_c::count_ticks(uint32_t begin, uint32_t end) const
{
    uint32_t count = 0;
    while (begin < end && begin % 64)
        count += ticked(begin++);
    for (; begin + 64 <= end; begin += 64)
        count += uint32_t(std::popcount(ticks_[begin / 64]));
    while (begin < end)
        count += ticked(begin++);
    return count;
}

void result_index_c::set_ticked_range(uint32_t begin, uint32_t end, bool value)
{
    end = std::min(end, file_count());
    if (begin >= end)
        return;
    for (uint32_t folder = folder_of(begin); folder < folders_.size() && folders_[folder].first_file < end; ++folder)
        for (uint32_t file = std::max(begin, folders_[folder].first_file); file < std::min(end, folders_[folder].files_end); ++file)
            change_tick(file, folder, value);
    recount_folders();
}

void result_index_c::tick_folder(uint32_t at, bool value)
{
    if (at >= folders_.size())
        return;
    for (uint32_t folder = at; folder < folders_[at].subtree_end; ++folder)
        for (uint32_t file = folders_[folder].first_file; file < folders_[folder].files_end; ++file)
            change_tick(file, folder, value);
    recount_folders();
}

void result_index_c::clear_ticks()
{
    std::fill(ticks_.begin(), ticks_.end(), uint64_t(0));
    ticked_count_ = 0;
    ticked_bytes_ = 0;
    for (auto& f : folders_)
        f.ticked_own = f.ticked_below = 0;
}

result_index_c::tick_state_e result_index_c::folder_tick_state(uint32_t at) const
{
    const folder_s& f = folders_[at];
    if (f.ticked_below == 0)
        return tick_state_e::none;
    return f.ticked_below == f.subtree_files_end - f.first_file ? tick_state_e::all : tick_state_e::some;
}

std::vector<int64_t> result_index_c::selected_ids() const
{
    std::vector<int64_t> ids;
    ids.reserve(size_t(ticked_count_));
    for (uint32_t i = 0; i < files_.size(); ++i)
        if (ticked(i))
            ids.push_back(id(i));
    return ids;
}

bool result_index_c::passes(uint32_t file, const compiled_filter_c& filter) const
{
    const name_parts_s p = name_parts(file);
    QVarLengthArray<char16_t, 128> units;
    const QStringView shown = name_view(p, &units);
    if (filter.matches(shown, group_of(p), size(file), date1(file), state(file)))
        return true;
    // A deleted entry's "#" stands for the first character the file will be
    // written with where the scanner knows it: "Holiday*" finds the row
    // shown as "#oliday Photo.jpg" that is written as "Holiday Photo.jpg".
    if (!shown.startsWith(u'#') || filter.name_matches(shown))
        return false;
    const QString written = written_name(file);
    return !written.isEmpty() && filter.matches(written, group_of(p), size(file), date1(file), state(file));
}

std::vector<uint32_t> result_index_c::matching(uint32_t begin, uint32_t end, const compiled_filter_c& filter) const
{
    std::vector<uint32_t> out;
    end = std::min(end, file_count());
    if (begin >= end)
        return out;
    if (!filter.active()) {
        out.resize(end - begin);
        for (uint32_t i = begin; i < end; ++i)
            out[i - begin] = i;
        return out;
    }
    for (uint32_t i = begin; i < end; ++i)
        if (passes(i, filter))
            out.push_back(i);
    return out;
}

bool result_index_c::before(int key, uint32_t a, uint32_t b) const
{
    switch (key) {
    case 1: return compare_names(a, b) < 0;
    case 2: return uint64_t(size(a)) < uint64_t(size(b));
    case 3: return date1(a) < date1(b);
    case 4: return date2(a) < date2(b);
    case 5:
        if (const uint32_t fa = folder_of(a), fb = folder_of(b); fa != fb)
            return folders_[fa].path < folders_[fb].path;
        return compare_names(a, b) < 0;
    default: return false;
    }
}

void result_index_c::sort_files(std::vector<uint32_t>* files, int key, bool ascending, bool stable) const
{
    // One comparison per key, so the key is not chosen again on every step.
    auto run = [&](auto less) {
        auto ordered = [&less, ascending](uint32_t a, uint32_t b) { return ascending ? less(a, b) : less(b, a); };
        if (stable)
            std::stable_sort(files->begin(), files->end(), ordered);
        else
            std::sort(files->begin(), files->end(), ordered);
    };
    switch (key) {
    case 1: sort_by_name(files, ascending, stable); break;
    case 2: run([this](uint32_t a, uint32_t b) { return uint64_t(size(a)) < uint64_t(size(b)); }); break;
    case 3: run([this](uint32_t a, uint32_t b) { return date1(a) < date1(b); }); break;
    case 4: run([this](uint32_t a, uint32_t b) { return date2(a) < date2(b); }); break;
    case 5: {
        // Each file's folder found once, not on every comparison.
        std::vector<std::pair<uint32_t, uint32_t>> keyed(files->size());
        for (size_t i = 0; i < files->size(); ++i)
            keyed[i] = {folder_of((*files)[i]), (*files)[i]};
        auto less = [this](const std::pair<uint32_t, uint32_t>& a, const std::pair<uint32_t, uint32_t>& b) {
            if (a.first != b.first)
                return folders_[a.first].path < folders_[b.first].path;
            return compare_names(a.second, b.second) < 0;
        };
        auto ordered = [&less, ascending](const auto& a, const auto& b) { return ascending ? less(a, b) : less(b, a); };
        if (stable)
            std::stable_sort(keyed.begin(), keyed.end(), ordered);
        else
            std::sort(keyed.begin(), keyed.end(), ordered);
        for (size_t i = 0; i < keyed.size(); ++i)
            (*files)[i] = keyed[i].second;
        break;
    }
    default: break;
    }
}

const std::vector<uint32_t>& result_index_c::order_by(int key) const
{
    static const std::vector<uint32_t> empty;
    if (key < 1 || key >= key_count)
        return empty;
    auto& order = orders_[size_t(key)];
    if (order.size() != files_.size()) {
        order.resize(files_.size());
        for (uint32_t i = 0; i < files_.size(); ++i)
            order[i] = i;
        // Equal keys keep the index's order, so a listing is the same every time.
        sort_files(&order, key, true, true);
    }
    return order;
}

row_lookup_fn index_row_lookup(std::shared_ptr<const result_index_c> index)
{
    // A selection comes in the index's order, so each id is looked for from
    // just after the last one found: one pass over the index for the whole
    // run. An id out of that order falls back to a table sorted by id, made
    // on the writer's thread the first time it is needed.
    struct state_s {
        std::shared_ptr<const result_index_c> index;
        uint32_t next = 0;
        std::vector<std::pair<int64_t, uint32_t>> by_id;
    };
    auto state = std::make_shared<state_s>();
    state->index = std::move(index);
    return [state](int64_t id, found_row_s* row) {
        const result_index_c& idx = *state->index;
        uint32_t at = result_index_c::none;
        for (uint32_t i = state->next; i < idx.file_count(); ++i) {
            if (idx.file(i).id_low == uint32_t(uint64_t(id)) && idx.id(i) == id) {
                at = i;
                break;
            }
        }
        if (at == result_index_c::none) {
            if (state->by_id.empty()) {
                state->by_id.reserve(idx.file_count());
                for (uint32_t i = 0; i < idx.file_count(); ++i)
                    state->by_id.emplace_back(idx.id(i), i);
                std::sort(state->by_id.begin(), state->by_id.end());
            }
            const auto it = std::lower_bound(state->by_id.begin(), state->by_id.end(), std::make_pair(id, uint32_t(0)));
            if (it == state->by_id.end() || it->first != id)
                return false;
            at = it->second;
        }
        state->next = at + 1;
        *row = idx.found_row(at);
        return true;
    };
}
