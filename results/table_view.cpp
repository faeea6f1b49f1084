#include "results/table_view.h"

#include "results/header_view.h"
#include "results/recovery_delegate.h"
#include "results/recovery_model.h"

#include <QKeyEvent>

void MyQTableView::keyPressEvent(QKeyEvent* event)
{
    const QModelIndex before = currentIndex();
    QTableView::keyPressEvent(event);
    const QModelIndex after = currentIndex();
    if (after.isValid() && after.row() != before.row())
        emit clicked(after);
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
