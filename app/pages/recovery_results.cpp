#include "app/pages/recovery_results.h"

#include "app/settings.h"
#include "devices/enumerate.h"
#include "scan/fat/fat_recovery.h"
#include "scan/ntfs/ntfs_recovery.h"
#include "scan/raw/raw_recovery.h"

#include <QDateTime>

found_folders_t found_folders_of(recovery_base_c& scanner)
{
    found_folders_t found;
    if (auto* fat = dynamic_cast<fat_recovery_c*>(&scanner)) {
        fat->visit_shown_files([&](const fat_node_s& node, const QString& folder) {
            found[folder].push_back(fat_recovery_c::row_of(node));
        });
    } else if (auto* ntfs = dynamic_cast<ntfs_recovery_c*>(&scanner)) {
        ntfs->visit_shown_files([&](const ntfs_node_s& node, const QString& folder) {
            found[folder].push_back(ntfs_recovery_c::row_of(node));
        });
    } else if (auto* raw = dynamic_cast<raw_recovery_c*>(&scanner)) {
        for (auto& r : raw->all_rows())
            found["/" + QString::fromStdString(r.folder)].push_back(r.row);
    }
    return found;
}

QStandardItemModel* make_folder_tree(const found_folders_t& found, QObject* parent)
{
    if (found.empty())
        return nullptr;
    auto* model = new QStandardItemModel(parent);
    auto* top = new QStandardItem(QStringLiteral("/"));
    top->setData(QStringLiteral("/"), Qt::UserRole);
    top->setEditable(false);
    model->appendRow(top);
    std::map<QString, QStandardItem*> items{{QStringLiteral("/"), top}};
    const QIcon folder_icon(QStringLiteral(":/images/recovery/folder.png"));
    for (const auto& [path, rows] : found) {
        QStandardItem* parent_item = top;
        QString so_far;
        for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            so_far += QLatin1Char('/') + part;
            auto it = items.find(so_far);
            if (it == items.end()) {
                auto* item = new QStandardItem(folder_icon, part);
                item->setData(so_far, Qt::UserRole);
                item->setEditable(false);
                parent_item->appendRow(item);
                it = items.emplace(so_far, item).first;
            }
            parent_item = it->second;
        }
    }
    return model;
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

file_writer_c::~file_writer_c()
{
    cancel_and_wait();
}

void file_writer_c::start_with(recovery_base_c* scanner, std::vector<recovery_row_s> rows, const QString& folder)
{
    if (isRunning())
        return;
    scanner_ = scanner;
    rows_ = std::move(rows);
    folder_ = folder;
    tally_ = {};
    cancel_ = 0;
    start(QThread::InheritPriority);
}

void file_writer_c::cancel_and_wait()
{
    cancel_ = 1;
    wait();
}

void file_writer_c::run()
{
    tally_ = recover_rows(*scanner_, rows_, folder_, {}, &cancel_);
}
