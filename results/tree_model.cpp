#include "results/tree_model.h"

#include "results/replace_model.h"
#include "shell/settings.h"

#include <QTreeView>
#include <algorithm>

TreeItem::TreeItem(QString item_name, TreeItem* parent_item, const void* record, uint32_t folder_number)
    : name(std::move(item_name)), parent(parent_item), node(record), folder(folder_number)
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
    const TreeItem* at = item(index);
    if (role == Qt::DisplayRole)
        return at->name;
    if (role == Qt::DecorationRole)
        return folder_icon_;
    if (role == Qt::CheckStateRole && index_ && at->folder != result_index_c::none) {
        switch (index_->folder_tick_state(at->folder)) {
        case result_index_c::tick_state_e::all: return Qt::Checked;
        case result_index_c::tick_state_e::some: return Qt::PartiallyChecked;
        case result_index_c::tick_state_e::none: return Qt::Unchecked;
        }
    }
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
    Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (item(index)->folder != result_index_c::none)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

bool TreeModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || role != Qt::CheckStateRole || !index_)
        return false;
    const TreeItem* at = item(index);
    if (at->folder == result_index_c::none)
        return false;
    // A partly ticked folder, clicked, takes everything below it.
    index_->tick_folder(at->folder, value.value<Qt::CheckState>() != Qt::Unchecked);
    refresh_ticks();
    emit ticks_changed();
    return true;
}

void TreeModel::refresh_ticks()
{
    // Ancestors and descendants change with any tick: every item's box is
    // asked again, one signal per run of siblings.
    std::vector<const TreeItem*> pending{root_};
    while (!pending.empty()) {
        const TreeItem* at = pending.back();
        pending.pop_back();
        if (at->child_count() == 0)
            continue;
        const QModelIndex parent = at == root_ ? QModelIndex() : createIndex(at->row(), 0, const_cast<TreeItem*>(at));
        emit dataChanged(index(0, 0, parent), index(at->child_count() - 1, 0, parent), {Qt::CheckStateRole});
        for (const TreeItem* child : at->children)
            pending.push_back(child);
    }
}

bool TreeModel::build(std::shared_ptr<result_index_c> index)
{
    if (!index || !index->has_top())
        return false;
    index_ = std::move(index);
    root_->append(new TreeItem(text_for_key("tree_all_files"), root_, nullptr));
    std::vector<TreeItem*> items(index_->folder_count(), nullptr);
    for (uint32_t i = 0; i < index_->folder_count(); ++i) {
        const result_index_c::folder_s& f = index_->folder(i);
        // Numbered depth first: a folder's parent already has its item,
        // and its sub-folders come in its own order.
        TreeItem* parent = f.parent == result_index_c::none ? root_ : items[f.parent];
        items[i] = new TreeItem(f.name, parent, f.node, i);
        parent->append(items[i]);
    }
    return true;
}

bool TreeModel::build(const recovery_base_c& scanner, row_flags_e reading)
{
    auto index = std::make_shared<result_index_c>();
    if (!index->build(scanner, reading))
        return false;
    return build(std::move(index));
}

bool install_result_tree(QTreeView* view, std::shared_ptr<result_index_c> index)
{
    if (!index || !index->has_top())
        return false;
    if (index->folder(0).children.empty() && index->file_count() == 0) {
        reset_result_tree(view);
        return false;
    }
    auto model = std::make_unique<TreeModel>();
    model->build(std::move(index));
    replace_model(view, model.release());
    view->expandToDepth(0);
    return true;
}

bool install_result_tree(QTreeView* view, const recovery_base_c& scanner, row_flags_e reading)
{
    auto index = std::make_shared<result_index_c>();
    if (!index->build(scanner, reading))
        return false;
    return install_result_tree(view, std::move(index));
}

void reset_result_tree(QTreeView* view) { replace_model(view, new TreeModel); }
