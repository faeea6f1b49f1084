#include "app/pages/list_dialog.h"

#include "shell/settings.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

list_dialog_s make_list_dialog(QWidget* parent, const QString& dialog_name, const QString& title,
                               const QString& heading, const QString& table_name, const QStringList& columns,
                               int rows)
{
    auto* dialog = new QDialog(parent);
    dialog->setObjectName(dialog_name);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(title);
    auto* layout = new QVBoxLayout(dialog);
    auto* label = new QLabel(heading, dialog);
    label->setWordWrap(true);
    layout->addWidget(label);
    auto* table = new QTableWidget(rows, int(columns.size()), dialog);
    table->setObjectName(table_name);
    table->setHorizontalHeaderLabels(columns);
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    layout->addWidget(table);
    auto* buttons = new QDialogButtonBox(dialog);
    buttons->addButton(text_for_key("image_btn_close"), QDialogButtonBox::RejectRole);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    layout->addWidget(buttons);
    return {dialog, table};
}

void show_list_dialog(const list_dialog_s& list, QSize size)
{
    list.table->resizeColumnsToContents();
    list.table->horizontalHeader()->setStretchLastSection(true);
    list.dialog->resize(size);
    list.dialog->show();
}

bool raise_list_dialog(QWidget* parent, const QString& dialog_name)
{
    auto* open = parent->findChild<QDialog*>(dialog_name);
    if (open)
        open->raise();
    return open != nullptr;
}
