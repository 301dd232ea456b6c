#pragma once

// Helpers for the widget tests of the main window's list: a started controller with a
// list of named items, and the table's selection by row numbers.

#include "app/FolimeterAppDelegate.h"
#include "list/FileTableModel.h"
#include "ui_MainWindow.h"

#include <QItemSelectionModel>
#include <QStringList>

#include <memory>

namespace listfixture {

// A started controller whose list holds /list/<name>.tif for each name (pages 1, 2, ...),
// shown in the table.
inline std::unique_ptr<FolimeterAppDelegate> makeWindow(const QStringList& names)
{
    auto delegate = std::make_unique<FolimeterAppDelegate>();
    delegate->awakeFromNib();
    int pages = 0;
    for (const QString& name : names)
        delegate->files().append(FileItem::makeForTesting("/list/" + name.toUtf8() + ".tif", ++pages, 1024));
    delegate->refreshAfterListChange();
    return delegate;
}

// The items' names in list order.
inline QStringList names(const FolimeterAppDelegate& delegate)
{
    QStringList result;
    for (const FileItemPtr& item : delegate.files())
        result << item->name().section(QLatin1Char('.'), 0, 0);
    return result;
}

// Replaces the table's selection with whole rows.
inline void selectRows(FolimeterAppDelegate& delegate, const QList<int>& rows)
{
    QItemSelectionModel* selection = delegate.ui()->mainTableView->selectionModel();
    const FileTableModel* model = delegate.tableModel();
    QItemSelection wanted;
    for (const int row : rows)
        wanted.select(model->index(row, 0), model->index(row, model->columnCount() - 1));
    selection->select(wanted, QItemSelectionModel::ClearAndSelect);
}

inline QList<int> selectedRows(const FolimeterAppDelegate& delegate)
{
    QList<int> rows;
    for (const qsizetype row : delegate.selectedRows())
        rows << int(row);
    return rows;
}

} // namespace listfixture
