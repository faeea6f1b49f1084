#include "results/recovery_model.h"

#include "app/settings.h"
#include "results/header_view.h"
#include "results/replace_model.h"

#include <QHeaderView>
#include <QTableView>
#include <algorithm>

recovery_model_c::recovery_model_c(std::vector<recovery_item_s>* rows, QObject* parent, row_flags_e reading)
    : QAbstractTableModel(parent), rows_(rows), reading_(reading)
{
}

int recovery_model_c::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_->size());
}

int recovery_model_c::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : column_count; }

QVariant recovery_model_c::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    switch (role) {
    case Qt::DisplayRole: return QVariant::fromValue((*rows_)[static_cast<size_t>(index.row())]);
    case row_state_role: return static_cast<int>(state_of(index.row()));
    case Qt::ToolTipRole: {
        const QString explanation = row_state_explanation(state_of(index.row()));
        return explanation.isEmpty() ? QVariant() : QVariant(explanation);
    }
    default: return {};
    }
}

row_state_e recovery_model_c::state_of(int row) const
{
    if (row < 0 || row >= rowCount())
        return row_state_e::unknown;
    return row_state(reading_, (*rows_)[static_cast<size_t>(row)].flags);
}

QVariant recovery_model_c::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case 0: return QStringLiteral("checkbox");
    case 1: return text_for_key("recovery_name");
    case 2: return text_for_key("drive_size");
    case 3: return text_for_key("recovery_date1");
    case 4: return text_for_key("recovery_date2");
    default: return {};
    }
}

void recovery_model_c::set_checked(int row, int value)
{
    if (row < 0 || row >= rowCount())
        return;
    (*rows_)[static_cast<size_t>(row)].checked = value;
    emit dataChanged(index(row, 0), index(row, 0));
}

void recovery_model_c::sort_by_column(int column)
{
    if (column < 0 || column >= column_count)
        return;
    const bool ascending = sort_ascending[static_cast<size_t>(column)] = !sort_ascending[static_cast<size_t>(column)];
    auto order = [ascending](auto key) {
        return [ascending, key](const recovery_item_s& a, const recovery_item_s& b) {
            return ascending ? key(a) < key(b) : key(b) < key(a);
        };
    };
    auto& rows = *rows_;
    switch (column) {
    case 1: std::sort(rows.begin(), rows.end(), order([](const recovery_item_s& r) -> const QString& { return r.name; })); break;
    case 2: std::sort(rows.begin(), rows.end(), order([](const recovery_item_s& r) { return static_cast<uint64_t>(r.size); })); break;
    case 3: std::sort(rows.begin(), rows.end(), order([](const recovery_item_s& r) { return r.date1; })); break;
    case 4: std::sort(rows.begin(), rows.end(), order([](const recovery_item_s& r) { return r.date2; })); break;
    default: return;
    }
    if (!rows.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, column_count - 1));
}

void fill_folder_rows(const recovery_base_c& scanner, const void* node, std::vector<recovery_item_s>* rows)
{
    rows->clear();
    scanner.folder_rows(node, rows);
    for (auto& row : *rows)
        row.checked = 0;
}

namespace {

// A new model brings new header sections; the tick and name columns keep
// their widths.
void install(QTableView* view, std::vector<recovery_item_s>* rows, row_flags_e reading)
{
    replace_model(view, new recovery_model_c(rows, nullptr, reading));
    view->horizontalHeader()->resizeSection(0, tick_column_width);
    view->horizontalHeader()->resizeSection(1, name_column_width);
}

}  // namespace

void install_table_model(QTableView* view, std::vector<recovery_item_s>* rows, MyHeaderView* header,
                         row_flags_e reading)
{
    install(view, rows, reading);
    if (header)
        header->set_check_all(false);
}

void tick_all_rows(QTableView* view, std::vector<recovery_item_s>* rows, int value)
{
    for (auto& row : *rows)
        row.checked = value;
    const auto* current = qobject_cast<const recovery_model_c*>(view->model());
    install(view, rows, current ? current->flags_reading() : row_flags_e::attributes);
}
