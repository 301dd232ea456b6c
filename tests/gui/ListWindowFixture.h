#pragma once

// Helpers for the widget tests of the main window: a started controller over a list of named
// items, the table's selection as a string of row digits, and settings kept apart from the user's.

#include "app/FolimeterAppDelegate.h"
#include "list/FileTableModel.h"
#include "list/Totals.h"
#include "support/Fixtures.h"
#include "ui_MainWindow.h"

#include <QAbstractItemModelTester>
#include <QTemporaryDir>

#include <memory>

namespace listfixture {

// Settings go to a folder of this run's own.
inline void useScratchSettings()
{
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
}

// A started controller whose list holds /list/<name>.tif for each name (pages 1, 2, ...); a
// QAbstractItemModelTester checks its table model through the whole test.
inline std::unique_ptr<FolimeterAppDelegate> makeWindow(const QStringList& names = {})
{
    useScratchSettings();
    auto delegate = std::make_unique<FolimeterAppDelegate>();
    new QAbstractItemModelTester(delegate->tableModel(), QAbstractItemModelTester::FailureReportingMode::QtTest,
                                 delegate->tableModel());
    delegate->awakeFromNib();
    int pages = 0;
    for (const QString& name : names)
        delegate->files().append(FileItem::makeForTesting("/list/" + name.toUtf8() + ".tif", ++pages, 1024));
    delegate->refreshAfterListChange();
    return delegate;
}

// The items' names in list order, without extension, joined by `separator`.
inline QString names(const FolimeterAppDelegate& delegate, const QString& separator = "")
{
    QStringList result;
    for (const FileItemPtr& item : delegate.files())
        result << item->name().section(QLatin1Char('.'), 0, 0);
    return result.join(separator);
}

// Selects the rows given as digits ("023": rows 0, 2 and 3), whole rows, nothing else.
inline void selectRows(FolimeterAppDelegate& delegate, const QString& rows)
{
    QItemSelection wanted;
    for (const QChar row : rows)
        wanted.select(delegate.tableModel()->index(row.digitValue(), 0),
                      delegate.tableModel()->index(row.digitValue(), delegate.tableModel()->columnCount() - 1));
    delegate.ui()->mainTableView->selectionModel()->select(wanted, QItemSelectionModel::ClearAndSelect);
}

inline QString selectedRows(const FolimeterAppDelegate& delegate)
{
    QString rows;
    for (const qsizetype row : delegate.selectedRows())
        rows += QString::number(row);
    return rows;
}

// The totals line of `files` files, of which the rows `selected` are selected.
inline QString totalsOf(const FolimeterAppDelegate& delegate, const QString& selected)
{
    std::vector<qsizetype> rows;
    for (const QChar row : selected)
        rows.push_back(row.digitValue());
    return totalFilesText(delegate.files().size(), qsizetype(rows.size()), pageTotals(delegate.files(), rows));
}

} // namespace listfixture
