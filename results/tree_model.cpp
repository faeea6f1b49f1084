#include "results/tree_model.h"

#include "results/replace_model.h"

#include <QTreeView>
#include <algorithm>
#include <unordered_set>

TreeItem::TreeItem(QString item_name, TreeItem* parent_item, const void* record)
    : name(std::move(item_name)), parent(parent_item), node(record)
{
}

TreeItem::~TreeItem()
{
    for (TreeItem* child : children)
        delete child;
}

void TreeItem::append(TreeItem* child)
{
    child->row_ = child_count();
    children.push_back(child);
}

TreeItem* TreeItem::child(int at) const
{
    return at >= 0 && at < child_count() ? children[static_cast<size_t>(at)] : nullptr;
}

TreeModel::TreeModel(QObject* parent)
    : QAbstractItemModel(parent), root_(new TreeItem(QStringLiteral("Title"), nullptr, nullptr)),
      folder_icon_(QStringLiteral(":/images/recovery/folder.png"))
{
}

TreeModel::~TreeModel() { delete root_; }

TreeItem* TreeModel::item(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<TreeItem*>(index.internalPointer()) : root_;
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    TreeItem* child = item(parent)->child(row);
    return child ? createIndex(row, column, child) : QModelIndex();
}

QModelIndex TreeModel::parent(const QModelIndex& index) const
{
    if (!index.isValid())
        return {};
    TreeItem* up = item(index)->parent;
    if (!up || up == root_)
        return {};
    return createIndex(up->row(), 0, up);
}

int TreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.column() > 0)
        return 0;
    return item(parent)->child_count();
}

int TreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant TreeModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return item(index)->name;
    if (role == Qt::DecorationRole)
        return folder_icon_;
    return {};
}

QVariant TreeModel::headerData(int, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return root_->name;
    return {};
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

bool TreeModel::build(const recovery_base_c& scanner)
{
    const void* top_node = nullptr;
    if (!scanner.top_folder(&top_node))
        return false;
    auto* top = new TreeItem(QStringLiteral("/"), root_, top_node);
    root_->append(top);

    // Depth first with an explicit stack: a damaged store may nest deeper
    // than the thread's stack would allow.
    std::unordered_set<const void*> entered{top_node};
    std::vector<TreeItem*> pending{top};
    std::vector<result_folder_s> folders;
    while (!pending.empty()) {
        TreeItem* at = pending.back();
        pending.pop_back();
        folders.clear();
        scanner.sub_folders(at->node, &folders);
        const size_t first = pending.size();
        for (auto& f : folders) {
            if (!f.node || !entered.insert(f.node).second)
                continue;
            auto* child = new TreeItem(std::move(f.name), at, f.node);
            at->append(child);
            pending.push_back(child);
        }
        // Children are appended in the store's order; they are filled in
        // that order too.
        std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first), pending.end());
    }
    return true;
}

bool install_result_tree(QTreeView* view, const recovery_base_c& scanner)
{
    auto model = std::make_unique<TreeModel>();
    if (!model->build(scanner))
        return false;
    if (model->root()->child(0)->child_count() == 0) {
        reset_result_tree(view);
        return false;
    }
    replace_model(view, model.release());
    view->expandToDepth(0);
    return true;
}

void reset_result_tree(QTreeView* view) { replace_model(view, new TreeModel); }
