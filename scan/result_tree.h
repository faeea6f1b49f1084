// The result-tree operations the FAT and NTFS scanners share. Both keep a
// store of nodes keyed by an id, each node naming its parent's id and
// holding a list of child pointers; these link, mark and walk such a store.
// Everything here assumes a damaged store: a node may name itself or a
// missing node as its parent, and parents may loop.
#pragma once

#include <QString>
#include <cstddef>
#include <unordered_set>
#include <vector>

namespace result_tree {

// Appends every node to its parent's children list. A node naming itself as
// its parent is left unlinked: such a link would make every walk down the
// tree endless.
template <typename Store>
void link_children(Store& store)
{
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

}  // namespace result_tree
