// The folder tree of a finished scan: TreeItem nodes under a TreeModel, and
// building one from any scanner's result tree.
#pragma once

#include "scan/recovery_base.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <QString>
#include <memory>
#include <vector>

class QTreeView;

// One folder of the tree. Owns its children; node is the scanner's record
// of the folder (null for the root and for a deep scan's top "/").
class TreeItem {
public:
    TreeItem(QString name, TreeItem* parent, const void* node);
    ~TreeItem();
    TreeItem(const TreeItem&) = delete;
    TreeItem& operator=(const TreeItem&) = delete;

    // Takes ownership of child, whose parent must be this item.
    void append(TreeItem* child);
    TreeItem* child(int row) const;
    int child_count() const { return static_cast<int>(children.size()); }
    // Position in the parent's list; 0 for the root.
    int row() const { return row_; }

    std::vector<TreeItem*> children;
    QString name;
    TreeItem* parent;
    const void* node;

private:
    int row_ = 0;
};

class TreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit TreeModel(QObject* parent = nullptr);
    ~TreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    TreeItem* root() const { return root_; }
    // The item an index stands for; the root for an invalid index.
    TreeItem* item(const QModelIndex& index) const;

    // Fills an empty model from a finished scan: the top "/" and below it
    // every folder the scanner shows, depth first. A folder met a second
    // time (a damaged store in which a folder is its own ancestor) is not
    // entered again. Returns false when the store has no top folder.
    bool build(const recovery_base_c& scanner);

private:
    TreeItem* root_;
    QIcon folder_icon_;
};

// Builds the tree of a finished scan and, when the top holds at least one
// folder, installs it in view (expanding the first level), deletes the
// previous model and returns true ("found"). Otherwise returns false: with
// no top folder the view keeps its model; with an empty top the view gets
// a fresh empty model.
bool install_result_tree(QTreeView* view, const recovery_base_c& scanner);

// Installs a fresh empty tree in view and deletes the previous model.
void reset_result_tree(QTreeView* view);
