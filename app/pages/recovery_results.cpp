#include "app/pages/recovery_results.h"

#include "app/settings.h"
#include "devices/enumerate.h"

#include <QDateTime>
#include <algorithm>

namespace {

// Deepest folder nesting the tree shows; a damaged store may nest deeper.
constexpr int max_tree_depth = 4096;

}  // namespace

QStandardItemModel* make_folder_tree(const recovery_base_c& scanner, QObject* parent)
{
    const void* top_node = nullptr;
    if (!scanner.top_folder(&top_node))
        return nullptr;
    auto* model = new QStandardItemModel(parent);
    const QIcon icon(QStringLiteral(":/images/recovery/folder.png"));
    auto* top = new QStandardItem(icon, QStringLiteral("/"));
    top->setData(QVariant::fromValue(quintptr(top_node)), folder_node_role);
    top->setEditable(false);

    struct frame_s {
        QStandardItem* item;
        const void* node;
        std::vector<const void*> path;  // the folders from the top down to this one
    };
    std::vector<frame_s> pending{{top, top_node, {top_node}}};
    std::vector<result_folder_s> children;
    bool any = false;
    while (!pending.empty()) {
        frame_s frame = std::move(pending.back());
        pending.pop_back();
        children.clear();
        scanner.sub_folders(frame.node, &children);
        if (frame.path.size() >= std::size_t(max_tree_depth))
            continue;
        for (const result_folder_s& child : children) {
            if (std::find(frame.path.begin(), frame.path.end(), child.node) != frame.path.end())
                continue;
            auto* item = new QStandardItem(icon, child.name);
            item->setData(QVariant::fromValue(quintptr(child.node)), folder_node_role);
            item->setEditable(false);
            frame.item->appendRow(item);
            any = true;
            std::vector<const void*> path = frame.path;
            path.push_back(child.node);
            pending.push_back({item, child.node, std::move(path)});
        }
    }
    // A top folder that holds neither files nor folders is nothing found.
    std::vector<recovery_item_s> top_rows;
    scanner.folder_rows(top_node, &top_rows);
    if (!any && top_rows.empty()) {
        delete top;
        delete model;
        return nullptr;
    }
    model->appendRow(top);
    return model;
}

const void* folder_node_at(const QModelIndex& index)
{
    if (!index.isValid())
        return nullptr;
    return reinterpret_cast<const void*>(index.data(folder_node_role).value<quintptr>());
}

file_table_model_c::file_table_model_c(std::vector<recovery_item_s>* rows_, QObject* parent)
    : QAbstractTableModel(parent), rows(rows_)
{
}

int file_table_model_c::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(rows->size());
}

int file_table_model_c::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 5;
}

QVariant file_table_model_c::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows->size()))
        return {};
    const recovery_item_s& row = (*rows)[std::size_t(index.row())];
    if (role == Qt::CheckStateRole && index.column() == 0)
        return row.checked ? Qt::Checked : Qt::Unchecked;
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case 1: return row.name;
    case 2: return format_size(uint64_t(row.size));
    case 3: return QDateTime::fromSecsSinceEpoch(row.date1).toString(QStringLiteral("yyyy-MM-dd"));
    case 4: return QDateTime::fromSecsSinceEpoch(row.date2).toString(QStringLiteral("yyyy-MM-dd"));
    default: return {};
    }
}

QVariant file_table_model_c::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case 1: return text_for_key("recovery_name");
    case 2: return text_for_key("drive_size");
    case 3: return text_for_key("recovery_date1");
    case 4: return text_for_key("recovery_date2");
    default: return QString();
    }
}

void file_table_model_c::set_checked(int row, int value)
{
    if (row < 0 || row >= int(rows->size()))
        return;
    (*rows)[std::size_t(row)].checked = value;
    emit dataChanged(index(row, 0), index(row, 0));
}

