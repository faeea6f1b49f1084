// The recovery page's lists on request (unreadable areas, files that failed):
// a heading above a table of whole rows and a Close button, deleted when
// closed.
#pragma once

#include <QSize>
#include <QStringList>

class QDialog;
class QTableWidget;
class QWidget;

struct list_dialog_s {
    QDialog* dialog = nullptr;
    QTableWidget* table = nullptr;  // rows empty, for the caller to fill
};

list_dialog_s make_list_dialog(QWidget* parent, const QString& dialog_name, const QString& title,
                               const QString& heading, const QString& table_name, const QStringList& columns,
                               int rows);
// One list of a kind at a time: brings the one named dialog_name under
// parent forward and answers true, or answers false when none is open.
bool raise_list_dialog(QWidget* parent, const QString& dialog_name);
// Fits the columns to what they hold and shows the dialog at size.
void show_list_dialog(const list_dialog_s& list, QSize size);
