// The file table of one folder: recovery_model_c over the page's row array,
// filling that array from a folder of the tree, ticking and sorting.
#pragma once

#include "results/row_state.h"
#include "scan/recovery_base.h"

#include <QAbstractTableModel>
#include <array>
#include <vector>

class QTableView;
class MyHeaderView;

inline constexpr int tick_column_width = 33;
inline constexpr int name_column_width = 235;

class recovery_model_c : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int column_count = 5;
    // The row's row_state_e, as an int, in every column.
    static constexpr int row_state_role = Qt::UserRole + 1;

    // rows belongs to the page and outlives the model; reading says how the
    // scanner that filled them uses their flags.
    explicit recovery_model_c(std::vector<recovery_item_s>* rows, QObject* parent = nullptr,
                              row_flags_e reading = row_flags_e::attributes);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    // The whole row, whatever the column, for the display role: the
    // delegate formats every cell from it at paint time. The tooltip role
    // says how far the row's copy can be trusted, where its scanner knows.
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Stores value in the row's tick and repaints its tick cell.
    void set_checked(int row, int value);
    // Flips the column's direction and sorts the rows by its key, ascending
    // when the flag is now set: 1 name, 2 size (unsigned), 3 date1, 4 date2;
    // column 0 sorts nothing.
    void sort_by_column(int column);

    row_flags_e flags_reading() const { return reading_; }
    row_state_e state_of(int row) const;

    std::array<bool, column_count> sort_ascending{};

private:
    std::vector<recovery_item_s>* rows_;
    row_flags_e reading_;
};

// Empties rows and appends the file-table rows of the tree folder node
// (unticked), in the scanner's order.
void fill_folder_rows(const recovery_base_c& scanner, const void* node, std::vector<recovery_item_s>* rows);

// Puts a new table model over rows in view (deleting the previous one) and
// unticks the header's tick-all box: what opening a folder does.
void install_table_model(QTableView* view, std::vector<recovery_item_s>* rows, MyHeaderView* header,
                         row_flags_e reading = row_flags_e::attributes);

// Stores value in every row's tick, then installs a new model over rows that
// reads their flags as the one it replaces did.
void tick_all_rows(QTableView* view, std::vector<recovery_item_s>* rows, int value);
