// The result-tree operations the FAT, exFAT and NTFS scanners share. Each keeps a
// store of nodes keyed by an id, each node naming its parent's id and
// holding a list of child pointers; these link, mark and walk such a store.
// Everything here assumes a damaged store: a node may name itself or a
// missing node as its parent, and parents may loop.
#pragma once

#include "scan/recovery_base.h"

#include <QString>
#include <algorithm>
#include <cstddef>
#include <unordered_map>
#include <unordered_set>
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

}  // namespace result_tree
