// Models are replaced, never emptied in place: the view gets the new model
// and the previous one, with its selection model, is deleted. A model
// without a parent is given the view, so the last one goes with the view.
#pragma once

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QItemSelectionModel>

inline void replace_model(QAbstractItemView* view, QAbstractItemModel* model)
{
    QAbstractItemModel* previous = view->model();
    QItemSelectionModel* previous_selection = view->selectionModel();
    if (!model->parent())
        model->setParent(view);
    view->setModel(model);
    delete previous_selection;
    delete previous;
}
