// The file table: recovery_model_c, a view over the result index showing
// the files of one folder, or every found file, that pass a filter. It
// keeps only the list of file numbers it shows; names, sizes and ticks are
// the index's, so a tick made here is there in every other view.
#pragma once

#include "results/result_filter.h"
#include "results/result_index.h"
#include "results/row_state.h"
#include "scan/recovery_base.h"

#include <QAbstractTableModel>
#include <array>
#include <memory>
#include <vector>

class QTableView;
class MyHeaderView;

inline constexpr int tick_column_width = 33;
inline constexpr int name_column_width = 235;
inline constexpr int folder_column_width = 220;

class recovery_model_c : public QAbstractTableModel {
    Q_OBJECT
public:
    // Tick, name, size, date1, date2, and the folder (shown in the list of
    // every found file).
    static constexpr int column_count = 6;
    static constexpr int folder_column = 5;
    // The row's row_state_e, as an int, in every column.
    static constexpr int row_state_role = Qt::UserRole + 1;
    // The path of the row's folder.
    static constexpr int folder_role = Qt::UserRole + 2;

    // An empty table.
    explicit recovery_model_c(QObject* parent = nullptr);
    // The files of folder (its own, not those below it), or every file of
    // the index when folder is result_index_c::none, that pass filter.
    recovery_model_c(std::shared_ptr<result_index_c> index, uint32_t folder, const result_filter_s& filter = {},
                     QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    // The whole row, whatever the column, for the display role: the
    // delegate formats every cell from it at paint time. The tooltip role
    // says how far the row's copy can be trusted, where its scanner knows.
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Ticks or unticks the row in the index and repaints its tick cell.
    void set_checked(int row, int value);
    // Ticks or unticks exactly the rows shown.
    void tick_shown(bool value);
    // Whether every row shown is ticked (false when none is shown).
    bool all_shown_ticked() const;
    // Repaints every tick cell (ticks changed elsewhere).
    void refresh_ticks();
    // Repaints the rows of these files (in rising order) after their state
    // changed in the index: one signal for the span they cover.
    void files_changed(const std::vector<uint32_t>& files);
    // Flips the column's direction and sorts the rows by its key, ascending
    // when the flag is now set: 1 name, 2 size (unsigned), 3 date1, 4 date2,
    // 5 folder; column 0 sorts nothing. A later filter keeps the order.
    void sort_by_column(int column);
    // Shows the rows of the same folder that pass another filter.
    void set_filter(const result_filter_s& filter);

    // The index's number of the file on a row.
    uint32_t file_at(int row) const
    {
        switch (kind_) {
        case shown_e::run: return run_begin_ + uint32_t(row);
        case shown_e::order_up: return (*order_)[size_t(row)];
        case shown_e::order_down: return (*order_)[order_->size() - 1 - size_t(row)];
        case shown_e::list: break;
        }
        return shown_[size_t(row)];
    }
    uint32_t folder() const { return folder_; }
    bool all_files() const { return index_ && folder_ == result_index_c::none; }
    const std::shared_ptr<result_index_c>& result_index() const { return index_; }
    row_flags_e flags_reading() const;
    row_state_e state_of(int row) const;

    std::array<bool, column_count> sort_ascending{};

private:
    void fill();

    // What the rows are: a list of their own, or, with no filter to apply,
    // a run of the index (a folder's files, or every file) or the index's
    // whole order by the sorted key: a million rows then cost no copy.
    enum class shown_e { list, run, order_up, order_down };

    std::shared_ptr<result_index_c> index_;
    uint32_t folder_ = result_index_c::none;
    result_filter_s filter_;
    shown_e kind_ = shown_e::list;
    std::vector<uint32_t> shown_;
    uint32_t run_begin_ = 0;
    const std::vector<uint32_t>* order_ = nullptr;
    int count_ = 0;
    int sorted_by_ = 0;  // 0: index order
};

// Puts model in view (deleting the previous one), keeps the tick and name
// columns' widths, hides the folder column unless the model lists every
// found file, and sets the header's tick-all box to what the rows shown say.
void install_table_model(QTableView* view, recovery_model_c* model, MyHeaderView* header);
