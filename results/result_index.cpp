#include "results/result_index.h"

#include <algorithm>
#include <unordered_set>

void result_index_c::clear()
{
    folders_.clear();
    files_.clear();
    names_.clear();
    written_.clear();
    ticks_.clear();
    ticked_count_ = 0;
    ticked_bytes_ = 0;
    for (auto& order : orders_)
        order.clear();
}

bool result_index_c::build(const recovery_base_c& scanner, row_flags_e reading)
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
        names_.reserve(size_t(expected) * 16);
    }
    std::vector<pending_s> pending{{top, QStringLiteral("/"), none, 0}};
    std::unordered_set<const void*> entered{top};
    std::vector<recovery_item_s> rows;
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

        rows.clear();
        scanner.folder_rows(at.node, &rows);
        for (const recovery_item_s& r : rows) {
            file_s file;
            file.id = r.id;
            file.size = r.size;
            file.date1 = r.date1;
            file.date2 = r.date2;
            file.flags = r.flags;
            file.folder = number;
            file.name_at = uint32_t(names_.size());
            // No file system keeps names this long; a damaged one is cut.
            file.name_length = uint16_t(std::min<qsizetype>(r.name.size(), UINT16_MAX));
            const auto* units = reinterpret_cast<const char16_t*>(r.name.utf16());
            names_.insert(names_.end(), units, units + file.name_length);
            file.group = group_of_name(r.name);
            file.state = row_state(reading, r.flags);
            // Only a "#" first stands for a character the scanner may know.
            if (r.name.startsWith(QLatin1Char('#')))
                if (QString whole = scanner.written_name(r); whole != r.name)
                    written_.emplace(uint32_t(files_.size()), std::move(whole));
            files_.push_back(file);
        }
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

    ticks_.assign(files_.size(), 0);
    return true;
}

QString result_index_c::written_name(uint32_t file) const
{
    const auto it = written_.find(file);
    return it == written_.end() ? QString() : it->second;
}

found_row_s result_index_c::found_row(uint32_t at) const
{
    const file_s& f = files_[at];
    found_row_s out;
    out.item.name = name(at).toString();
    out.item.size = f.size;
    out.item.date1 = f.date1;
    out.item.date2 = f.date2;
    out.item.id = f.id;
    out.item.flags = f.flags;
    out.folder = folders_[f.folder].path;
    return out;
}

recovery_item_s result_index_c::row(uint32_t at) const
{
    const file_s& f = files_[at];
    recovery_item_s r;
    r.name = name(at).toString();
    r.size = f.size;
    r.date1 = f.date1;
    r.date2 = f.date2;
    r.id = f.id;
    r.flags = f.flags;
    r.checked = ticks_[at];
    return r;
}

uint32_t result_index_c::find_id(int64_t id) const
{
    for (uint32_t i = 0; i < files_.size(); ++i)
        if (files_[i].id == id)
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

void result_index_c::change_tick(uint32_t file, bool value)
{
    if (bool(ticks_[file]) == value)
        return;
    ticks_[file] = value;
    const int64_t step = value ? 1 : -1;
    ticked_count_ += step;
    ticked_bytes_ += value ? uint64_t(files_[file].size) : -uint64_t(files_[file].size);
    folders_[files_[file].folder].ticked_own += uint32_t(step);
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
    if (file >= files_.size() || bool(ticks_[file]) == value)
        return;
    change_tick(file, value);
    const int step = value ? 1 : -1;
    for (uint32_t at = files_[file].folder; at != none; at = folders_[at].parent)
        folders_[at].ticked_below += uint32_t(step);
}

void result_index_c::set_ticked(const std::vector<uint32_t>& files, bool value)
{
    for (uint32_t file : files)
        if (file < files_.size())
            change_tick(file, value);
    recount_folders();
}

void result_index_c::tick_folder(uint32_t at, bool value)
{
    if (at >= folders_.size())
        return;
    const folder_s& top = folders_[at];
    for (uint32_t file = top.first_file; file < top.subtree_files_end; ++file)
        change_tick(file, value);
    recount_folders();
}

void result_index_c::clear_ticks()
{
    std::fill(ticks_.begin(), ticks_.end(), 0);
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
        if (ticks_[i])
            ids.push_back(files_[i].id);
    return ids;
}

bool result_index_c::passes(uint32_t file, const compiled_filter_c& filter) const
{
    const file_s& f = files_[file];
    return filter.matches(name(file), f.group, f.size, f.date1, f.state);
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
    const file_s& x = files_[a];
    const file_s& y = files_[b];
    switch (key) {
    case 1: return name(a) < name(b);
    case 2: return uint64_t(x.size) < uint64_t(y.size);
    case 3: return x.date1 < y.date1;
    case 4: return x.date2 < y.date2;
    case 5:
        if (x.folder != y.folder)
            return folders_[x.folder].path < folders_[y.folder].path;
        return name(a) < name(b);
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
    const file_s* f = files_.data();
    switch (key) {
    case 1: run([this](uint32_t a, uint32_t b) { return name(a) < name(b); }); break;
    case 2: run([f](uint32_t a, uint32_t b) { return uint64_t(f[a].size) < uint64_t(f[b].size); }); break;
    case 3: run([f](uint32_t a, uint32_t b) { return f[a].date1 < f[b].date1; }); break;
    case 4: run([f](uint32_t a, uint32_t b) { return f[a].date2 < f[b].date2; }); break;
    case 5: run([this](uint32_t a, uint32_t b) { return before(5, a, b); }); break;
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
            if (idx.file(i).id == id) {
                at = i;
                break;
            }
        }
        if (at == result_index_c::none) {
            if (state->by_id.empty()) {
                state->by_id.reserve(idx.file_count());
                for (uint32_t i = 0; i < idx.file_count(); ++i)
                    state->by_id.emplace_back(idx.file(i).id, i);
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
