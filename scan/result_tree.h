// The result-tree operations the FAT, exFAT and NTFS scanners share. Each keeps a
// store of nodes keyed by an id, each node naming its parent's id and
// holding a list of child pointers; these link, mark and walk such a store.
// Everything here assumes a damaged store: a node may name itself or a
// missing node as its parent, and parents may loop.
#pragma once

#include "scan/lost_pass.h"
#include "scan/recovery_base.h"

#include <QString>
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace result_tree {

// Appends every node to its parent's children list. A node naming itself as
// its parent is left unlinked: such a link would make every walk down the
// tree endless.
template <typename Store>
void link_children(Store& store)
{
    // Each list gets its room once, what it takes: grown by doubling, a
    // million children left about a quarter of theirs unused.
    std::unordered_map<typename Store::key_type, size_t> counts;
    for (const auto& [key, node] : store)
        if (node.parent != key)
            ++counts[node.parent];
    for (const auto& [key, count] : counts)
        if (const auto parent = store.find(key); parent != store.end())
            parent->second.children.reserve(parent->second.children.size() + count);
    for (auto& [key, node] : store) {
        if (node.parent == key)
            continue;
        const auto parent = store.find(node.parent);
        if (parent != store.end())
            parent->second.children.push_back(&node);
    }
}

// Sets has_files on every ancestor of every node for which is_file holds.
// A mark already set ends a walk, and no walk is longer than the store, so
// a loop of parents cannot hold it.
template <typename Store, typename IsFile>
void mark_folders(Store& store, IsFile is_file)
{
    for (auto& [key, node] : store) {
        if (!is_file(node))
            continue;
        auto at = node.parent;
        for (size_t steps = 0; steps <= store.size(); ++steps) {
            const auto parent = store.find(at);
            if (parent == store.end() || parent->second.has_files)
                break;
            parent->second.has_files = 1;
            at = parent->second.parent;
        }
    }
}

// Calls visit(node, folder path) for every child of top and of every folder
// reached from it for which is_file holds; is_folder says which children
// are entered. A folder met twice is entered once; nesting beyond max_depth
// is not entered.
template <typename Node, typename IsFile, typename IsFolder, typename Visit>
void visit_shown_files(const Node* top, IsFile is_file, IsFolder is_folder, Visit visit, int max_depth)
{
    if (!top)
        return;
    struct frame_s {
        const Node* folder;
        QString path;
        int depth;
    };
    std::vector<frame_s> pending{{top, QStringLiteral("/"), 0}};
    std::unordered_set<const Node*> seen{top};
    while (!pending.empty()) {
        const frame_s frame = pending.back();
        pending.pop_back();
        for (const Node* child : frame.folder->children) {
            if (is_file(*child)) {
                visit(*child, frame.path);
            } else if (is_folder(*child) && frame.depth < max_depth && seen.insert(child).second) {
                const QString sub = (frame.path == QStringLiteral("/") ? QString() : frame.path) + '/' + child->name;
                pending.push_back({child, sub, frame.depth + 1});
            }
        }
    }
}

// The browsing calls a scanner over such a store answers (recovery_base.h),
// for a folder given as a const Node*: its shown sub-folders, and the rows
// of its shown files.
template <typename Node, typename IsFolder>
void sub_folders(const void* folder, IsFolder is_folder, std::vector<result_folder_s>* out)
{
    if (!folder)
        return;
    for (const Node* child : static_cast<const Node*>(folder)->children)
        if (is_folder(*child))
            out->push_back({child->name, child});
}

template <typename Node, typename IsFile, typename RowOf>
void visit_folder_rows(const void* folder, IsFile is_file, RowOf row_of, const row_visit_fn& visit)
{
    if (!folder)
        return;
    for (const Node* child : static_cast<const Node*>(folder)->children)
        if (is_file(*child))
            visit(row_of(*child));
}

// Writes root (one trailing "/" or "\" removed) followed by "/" and the
// name of every folder from below top down to the node id itself. Returns 0,
// or -1 when the id or an ancestor is missing, or the parents loop.
template <typename Store, typename Key>
int full_path(const Store& store, Key id, Key top, QString root, QString* path)
{
    if (!path)
        return -1;
    if (root.endsWith('/') || root.endsWith('\\'))
        root.chop(1);
    std::vector<const typename Store::mapped_type*> chain;
    Key key = id;
    while (key != top) {
        const auto it = store.find(key);
        if (it == store.end() || chain.size() >= store.size())
            return -1;
        chain.push_back(&it->second);
        key = it->second.parent;
    }
    if (!store.count(top))
        return -1;
    QString full = root;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        full += QLatin1Char('/') + (*it)->name;
    *path = full;
    return 0;
}

// The folders file is shown below, from below the top down to its own, as
// written_name and time_of give them: what a recovery that keeps the tree
// makes. shown holds the components of the folder the file is shown in.
// Returns false, leaving *out alone, when the parents are not those folders
// (another depth or name, a missing parent, a loop).
template <typename Node, typename Find, typename IsTop, typename Name, typename Time>
bool written_chain(const Node* file, Find find, IsTop is_top, const std::vector<written_folder_s>& shown,
                   Name written_name, Time time_of, std::vector<written_folder_s>* out)
{
    std::vector<const Node*> chain;
    const Node* at = file;
    while (at && chain.size() <= shown.size()) {
        at = find(at->parent);
        if (!at || is_top(*at))
            break;
        chain.push_back(at);
    }
    if (!at || !is_top(*at) || chain.size() != shown.size())
        return false;
    std::reverse(chain.begin(), chain.end());
    std::vector<written_folder_s> written;
    for (size_t i = 0; i < chain.size(); ++i) {
        if (chain[i]->name != shown[i].name)
            return false;
        written.push_back({written_name(*chain[i]), time_of(*chain[i])});
    }
    *out = std::move(written);
    return true;
}

// A file-table row. The table shows date1 as the modification and date2 as
// the creation, whatever order the disk keeps them in.
inline recovery_item_s file_row(const QString& name, int64_t size, int64_t modified, int64_t created, int64_t id,
                                int32_t flags)
{
    recovery_item_s row;
    row.name = name;
    row.size = size;
    row.date1 = modified;
    row.date2 = created;
    row.id = id;
    row.flags = flags;
    return row;
}

// A scanner whose result tree is such a store, keyed like its nodes' parent
// field: it answers the browsing calls and the read-back of paths from it.
// Derived says what the tree shows, through static members:
//   bool is_shown_file(const Node&)    a row of the file table
//   bool is_shown_folder(const Node&)  a folder of the tree
//   recovery_item_s row_of(const Node&)
// and names its top's key and the deepest nesting a walk enters at
// construction.
template <typename Derived, typename Node>
class scanner_c : public recovery_base_c {
public:
    using key_type = decltype(Node::parent);
    using store_type = std::unordered_map<key_type, Node>;

    scanner_c(QObject* parent, key_type top, int walk_depth)
        : recovery_base_c(parent), top_(top), walk_depth_(walk_depth)
    {
    }

    void set_volume(const volume_item_s& volume) override { volume_ = volume; }
    // For the next scans: whether a scan also searches the whole volume for
    // what no walk reached (automatic until set), and the names of the
    // folders that is shown under.
    void set_lost_pass(lost_pass_e mode) { lost_mode_ = mode; }
    void set_lost_names(const lost_names_s& names) { lost_names_ = names; }
    // Whether the next scans check deleted files by their content (as the
    // configuration says, unless turned off here).
    void set_content_check(bool on) { content_check_ = on; }
    // Deleted files tagged row_unreadable_sectors: at the scan's end, from
    // the sectors found unreadable by then, and by their content check.
    int64_t unreadable_file_count() const override { return unreadable_files_.load(std::memory_order_relaxed); }

    // Read access to the store; valid only after the thread has finished.
    const store_type& store() const { return store_; }
    const Node* node(key_type key) const
    {
        const auto it = store_.find(key);
        return it == store_.end() ? nullptr : &it->second;
    }

    bool top_folder(const void** top) const override
    {
        const Node* root = node(top_);
        *top = root;
        return root != nullptr;
    }
    void sub_folders(const void* folder, std::vector<result_folder_s>* out) const override
    {
        result_tree::sub_folders<Node>(folder, Derived::is_shown_folder, out);
    }
    void folder_rows(const void* folder, std::vector<recovery_item_s>* out) const override
    {
        visit_folder_rows(folder, [out](const recovery_item_s& row) { out->push_back(row); });
    }
    void visit_folder_rows(const void* folder, const row_visit_fn& visit) const override
    {
        result_tree::visit_folder_rows<Node>(folder, Derived::is_shown_file, Derived::row_of, visit);
    }

    // Calls visit for every file the result tree shows: each file child of
    // the top and of every folder reached from it that holds files, with
    // that folder's path ("/" for the top, "/a/b" below).
    void visit_shown_files(const std::function<void(const Node&, const QString& folder)>& visit) const
    {
        result_tree::visit_shown_files(node(top_), Derived::is_shown_file, Derived::is_shown_folder, visit,
                                       walk_depth_);
    }

    // A row id no key can hold names nothing.
    int get_full_path(int64_t id, QString* path) override
    {
        std::lock_guard lock(read_back_lock());
        if (!std::in_range<key_type>(id))
            return -1;
        return full_path(store_, static_cast<key_type>(id), top_, volume_.root_path, path);
    }

protected:
    // The "Lost folders" node at lost_key and under it a node for each key of
    // folders: bare(key, below) makes a folder node with its key and
    // attributes (below: one of the found folders), number_of(key) the
    // number its name shows.
    template <typename Keys, typename MakeNode, typename NumberOf>
    void add_lost_folders(key_type lost_key, const Keys& folders, MakeNode bare, NumberOf number_of)
    {
        Node lost = bare(lost_key, false);
        lost.name = lost_names_.lost_folders;
        store_[lost_key] = std::move(lost);
        for (const key_type key : folders) {
            Node folder = bare(key, true);
            folder.parent = lost_key;
            folder.inherited = 1;
            folder.name = lost_names_.folder_at.arg(number_of(key));
            store_[key] = std::move(folder);
        }
    }

    // The notes of the walk down the folders and of the search for lost
    // ones that the FAT and exFAT walks share, in the order they are told.
    struct walk_notes_s {
        int64_t dir_sectors_unreadable = 0;
        uint64_t first_dir_sector_unreadable = 0;
        int dir_read_error = 0;
        int64_t folders_cut_short = 0;
    };
    static void add_walk_notes(job_notes_t* out, const walk_notes_s& walk)
    {
        if (walk.dir_sectors_unreadable > 0)
            out->push_back({"note_folder_sectors_unreadable",
                            {qlonglong(walk.dir_sectors_unreadable), qulonglong(walk.first_dir_sector_unreadable),
                             QString::fromStdString(platform::read_error_text(walk.dir_read_error))}});
        if (walk.folders_cut_short > 0)
            out->push_back({"note_folders_cut_short", {qlonglong(walk.folders_cut_short)}});
    }
    static void add_lost_search_notes(job_notes_t* out, int64_t folders_too_deep, int64_t lost_read_errors,
                                      bool lost_entries_dropped, int64_t max_lost_entries)
    {
        if (folders_too_deep > 0)
            out->push_back({"note_folders_too_deep", {qlonglong(folders_too_deep)}});
        if (lost_read_errors > 0)
            out->push_back({"note_lost_read_errors", {qlonglong(lost_read_errors)}});
        if (lost_entries_dropped)
            out->push_back({"note_lost_entries_dropped", {qlonglong(max_lost_entries)}});
    }

    store_type store_;
    volume_item_s volume_;
    lost_pass_e lost_mode_ = lost_pass_e::automatic;
    lost_names_s lost_names_;
    bool content_check_ = true;
    std::atomic<int64_t> unreadable_files_{0};

private:
    const key_type top_;
    const int walk_depth_;
};

}  // namespace result_tree
