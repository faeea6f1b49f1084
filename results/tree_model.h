// The folder tree of a finished scan: TreeItem nodes under a TreeModel, a
// view over the result index. Above the top "/" stands "All found files",
// which lists every found file; each folder has a tick box that ticks
// everything below it and shows when only some of that is ticked.
#pragma once

#include "results/result_index.h"
#include "scan/recovery_base.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <QString>
#include <memory>
#include <vector>

class QTreeView;

// One folder of the tree. Owns its children; node is the scanner's record
// of the folder (null for the root and for a deep scan's top "/"); folder
// its number in the result index (none for the root and "All found files").
class TreeItem {
public:
    TreeItem(QString name, TreeItem* parent, const void* node, uint32_t folder = result_index_c::none);
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
    uint32_t folder;

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
    // The check-state role ticks or unticks the folder's whole subtree.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    TreeItem* root() const { return root_; }
    // The item an index stands for; the root for an invalid index.
    TreeItem* item(const QModelIndex& index) const;
    // "All found files" and the top "/"; null before a build.
    TreeItem* all_item() const { return root_->child(0); }
    TreeItem* top_item() const { return root_->child(1); }
    const std::shared_ptr<result_index_c>& result_index() const { return index_; }

    // Fills an empty model from a built index: "All found files", the top
    // "/" and below it every folder of the index. Returns false when the
    // index has no top folder.
    bool build(std::shared_ptr<result_index_c> index);
    // Builds an index of the finished scan first.
    bool build(const recovery_base_c& scanner, row_flags_e reading = row_flags_e::attributes);

    // Tells the view that ticks changed (from the table or a folder's box).
    void refresh_ticks();

signals:
    // A folder's tick box was used.
    void ticks_changed();

private:
    TreeItem* root_;
    QIcon folder_icon_;
    std::shared_ptr<result_index_c> index_;
};

// Installs the tree of a built index in view when it shows anything (a
// sub-folder or a file of the top): expands the first level, deletes the
// previous model and returns true ("found"). Otherwise returns false: with
// no top folder the view keeps its model; with an empty top the view gets
// a fresh empty model.
bool install_result_tree(QTreeView* view, std::shared_ptr<result_index_c> index);
// Builds the index of a finished scan and installs its tree.
bool install_result_tree(QTreeView* view, const recovery_base_c& scanner,
                         row_flags_e reading = row_flags_e::attributes);

// Installs a fresh empty tree in view and deletes the previous model.
void reset_result_tree(QTreeView* view);
