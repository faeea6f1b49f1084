// The file table's view: moving with the keyboard acts as a click on every
// row reached, so the preview follows and, in the tick column, ticks flip.
#pragma once

#include <QTableView>

class MyHeaderView;
class recovery_delegate_c;

class MyQTableView : public QTableView {
    Q_OBJECT
public:
    using QTableView::QTableView;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
};

// Gives the name column the width the other columns leave in the view, never
// less than its own default: a wider window shows longer names.
void fit_name_column(QTableView* view);

// Sets a file table up: the delegate, per-pixel scrolling, whole-row
// selection, no row header, the custom header with the tick and name
// columns' widths, and the border.
void setup_file_table(QTableView* view, MyHeaderView* header, recovery_delegate_c* delegate);
