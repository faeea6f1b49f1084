#include "results/recovery_model.h"

#include "results/header_view.h"
#include "results/replace_model.h"
#include "results/table_view.h"
#include "shell/settings.h"

#include <QHeaderView>
#include <QTableView>
#include <algorithm>

namespace {

// A table showing more than this share of every file walks the index's
// order of every file (sorted once per key) instead of sorting its rows.
constexpr uint32_t whole_order_share = 2;

}  // namespace

recovery_model_c::recovery_model_c(QObject* parent) : QAbstractTableModel(parent) {}

recovery_model_c::recovery_model_c(std::shared_ptr<result_index_c> index, uint32_t folder,
                                   const result_filter_s& filter, QObject* parent)
    : QAbstractTableModel(parent), index_(std::move(index)), folder_(folder), filter_(filter)
{
    fill();
}

void recovery_model_c::fill()
{
    shown_.clear();
    shown_.shrink_to_fit();
    kind_ = shown_e::list;
    count_ = 0;
    if (!index_ || (folder_ != result_index_c::none && folder_ >= index_->folder_count()))
        return;
    const compiled_filter_c filter(filter_);
    uint32_t begin = 0, end = index_->file_count();
    if (folder_ != result_index_c::none) {
        begin = index_->folder(folder_).first_file;
        end = index_->folder(folder_).files_end;
    }
    const bool ascending = sorted_by_ > 0 && sort_ascending[size_t(sorted_by_)];
    if (!filter.active() && (sorted_by_ == 0 || (begin == 0 && end == index_->file_count()))) {
        if (sorted_by_ == 0) {
            kind_ = shown_e::run;
            run_begin_ = begin;
        } else {
            kind_ = ascending ? shown_e::order_up : shown_e::order_down;
            order_ = &index_->order_by(sorted_by_);
        }
        count_ = int(end - begin);
        return;
    }
    if (sorted_by_ == 0 || (end - begin) <= index_->file_count() / whole_order_share) {
        shown_ = index_->matching(begin, end, filter);
        if (sorted_by_ > 0)
            index_->sort_files(&shown_, sorted_by_, ascending);
        count_ = int(shown_.size());
        return;
    }
    // The filter runs in the index's order, which reads the rows one after
    // another; the sorted walk then only asks which rows passed.
    std::vector<uint8_t> in(index_->file_count(), 0);
    size_t passed = 0;
    for (uint32_t file : index_->matching(begin, end, filter))
        in[file] = 1, ++passed;
    shown_.reserve(passed);
    const std::vector<uint32_t>& order = index_->order_by(sorted_by_);
    auto take = [&](uint32_t file) {
        if (in[file])
            shown_.push_back(file);
    };
    if (ascending)
        std::for_each(order.begin(), order.end(), take);
    else
        std::for_each(order.rbegin(), order.rend(), take);
    count_ = int(shown_.size());
}

int recovery_model_c::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : count_;
}

int recovery_model_c::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : column_count; }

QVariant recovery_model_c::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const uint32_t file = file_at(index.row());
    switch (role) {
    case Qt::DisplayRole: return QVariant::fromValue(index_->row(file));
    case row_state_role: return static_cast<int>(state_of(index.row()));
    case folder_role: return index_->folder_path_of(file);
    case Qt::ToolTipRole: {
        QString tip = row_state_explanation(state_of(index.row()), index_->row(file).flags);
        // On the name: what the "#" stands for, as the file will be named.
        if (const QString whole = index_->written_name(file); index.column() == 1 && !whole.isEmpty())
            tip = text_for_key("recovery_written_as").arg(whole) + (tip.isEmpty() ? QString() : "\n\n" + tip);
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    default: return {};
    }
}

row_flags_e recovery_model_c::flags_reading() const
{
    return index_ ? index_->reading() : row_flags_e::attributes;
}

row_state_e recovery_model_c::state_of(int row) const
{
    if (row < 0 || row >= rowCount())
        return row_state_e::unknown;
    return index_->state(file_at(row));
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
    case 5: return text_for_key("recovery_folder");
    default: return {};
    }
}

void recovery_model_c::set_checked(int row, int value)
{
    if (row < 0 || row >= rowCount())
        return;
    index_->set_ticked(file_at(row), value != 0);
    emit dataChanged(index(row, 0), index(row, 0));
}

void recovery_model_c::tick_shown(bool value)
{
    if (count_ == 0)
        return;
    if (kind_ == shown_e::list) {
        index_->set_ticked(shown_, value);
    } else {
        // A run, or an order of every file: the same files either way.
        const uint32_t begin = kind_ == shown_e::run ? run_begin_ : 0;
        index_->set_ticked_range(begin, begin + uint32_t(count_), value);
    }
    refresh_ticks();
}

bool recovery_model_c::all_shown_ticked() const
{
    if (count_ == 0)
        return false;
    if (kind_ != shown_e::list) {
        const uint32_t begin = kind_ == shown_e::run ? run_begin_ : 0;
        return index_->count_ticks(begin, begin + uint32_t(count_)) == uint32_t(count_);
    }
    return std::all_of(shown_.begin(), shown_.end(), [this](uint32_t file) { return index_->ticked(file); });
}

void recovery_model_c::refresh_ticks()
{
    if (count_ > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0));
}

void recovery_model_c::files_changed(const std::vector<uint32_t>& files)
{
    if (files.empty() || count_ == 0)
        return;
    int first = rowCount(), last = -1;
    for (int r = 0; r < rowCount(); ++r) {
        if (std::binary_search(files.begin(), files.end(), file_at(r))) {
            first = std::min(first, r);
            last = r;
        }
    }
    if (last >= 0)
        emit dataChanged(index(first, 0), index(last, column_count - 1));
}

void recovery_model_c::sort_by_column(int column)
{
    if (column < 0 || column >= column_count)
        return;
    sort_ascending[size_t(column)] = !sort_ascending[size_t(column)];
    if (column == 0)
        return;
    sorted_by_ = column;
    fill();
    if (count_ > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, column_count - 1));
}

void recovery_model_c::set_filter(const result_filter_s& filter)
{
    beginResetModel();
    filter_ = filter;
    fill();
    endResetModel();
}

void install_table_model(QTableView* view, recovery_model_c* model, MyHeaderView* header)
{
    replace_model(view, model);
    // A new model brings new header sections; the tick and name columns
    // keep their widths.
    view->horizontalHeader()->resizeSection(0, tick_column_width);
    view->horizontalHeader()->resizeSection(1, name_column_width);
    view->setColumnHidden(recovery_model_c::folder_column, !model->all_files());
    if (model->all_files())
        view->horizontalHeader()->resizeSection(recovery_model_c::folder_column, folder_column_width);
    fit_name_column(view);
    if (header)
        header->set_check_all(model->all_shown_ticked());
}
