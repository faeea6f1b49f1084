#include "results/table_view.h"

#include "results/header_view.h"
#include "results/recovery_delegate.h"
#include "results/recovery_model.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>

void MyQTableView::keyPressEvent(QKeyEvent* event)
{
    const QModelIndex before = currentIndex();
    QTableView::keyPressEvent(event);
    const QModelIndex after = currentIndex();
    if (after.isValid() && after.row() != before.row())
        emit clicked(after);
}

void MyQTableView::resizeEvent(QResizeEvent* event)
{
    QTableView::resizeEvent(event);
    fit_name_column(this);
}

void fit_name_column(QTableView* view)
{
    QHeaderView* header = view->horizontalHeader();
    if (header->count() < 2)
        return;
    int others = 0;
    for (int column = 0; column < header->count(); ++column)
        if (column != 1 && !header->isSectionHidden(column))
            others += header->sectionSize(column);
    // The viewport is narrower by the scroll bar once the rows need one.
    const int room = view->viewport()->width() - others;
    header->resizeSection(1, std::max(name_column_width, room));
}

void setup_file_table(QTableView* view, MyHeaderView* header, recovery_delegate_c* delegate)
{
    view->setItemDelegate(delegate);
    view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->verticalHeader()->hide();
    view->setHorizontalHeader(header);
    header->resizeSection(0, tick_column_width);
    header->resizeSection(1, name_column_width);
    view->setStyleSheet(QStringLiteral("QTableView{border-style: none;border: 1px solid #8bb8fe;}"));
}
