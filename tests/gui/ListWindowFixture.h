#pragma once

// Helpers for the widget tests of the main window: a started controller with a list of named
// items, the table's selection by row numbers, and settings kept apart from the user's.

#include "app/FolimeterAppDelegate.h"
#include "list/FileTableModel.h"
#include "support/Fixtures.h"
#include "ui_MainWindow.h"

#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace listfixture {

// Settings go to a folder of this run's own.
inline void useScratchSettings()
{
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
}

// A folder of `copies` copies of one long PDF in `parent`: slow enough that a job is still
// running when a test acts on it. Empty on failure.
inline QString makeSlowTree(const QString& parent, int copies)
{
    const QString folder = parent + "/slow";
    const QString first = folder + "/copy0000.pdf";
    if (!QDir().mkpath(folder) || !fixtures::writePdf(first, {.pages = 2000}))
        return {};
    for (int i = 1; i < copies; ++i) {
        if (!QFile::copy(first, folder + QString("/copy%1.pdf").arg(i, 4, 10, QChar('0'))))
            return {};
    }
    return folder;
}

// A started controller whose list holds /list/<name>.tif for each name (pages 1, 2, ...),
// shown in the table.
inline std::unique_ptr<FolimeterAppDelegate> makeWindow(const QStringList& names = {})
{
    auto delegate = std::make_unique<FolimeterAppDelegate>();
    delegate->awakeFromNib();
    int pages = 0;
    for (const QString& name : names)
        delegate->files().append(FileItem::makeForTesting("/list/" + name.toUtf8() + ".tif", ++pages, 1024));
    delegate->refreshAfterListChange();
    return delegate;
}

// The items' names in list order, without extension.
inline QStringList names(const FolimeterAppDelegate& delegate)
{
    QStringList result;
    for (const FileItemPtr& item : delegate.files())
        result << item->name().section(QLatin1Char('.'), 0, 0);
    return result;
}

inline QList<bool> checkMarks(const FolimeterAppDelegate& delegate)
{
    QList<bool> marks;
    for (const FileItemPtr& item : delegate.files())
        marks << item->isSelected();
    return marks;
}

// The totals line for a list of TIFF files only.
inline QString totalsFor(int files, int selected, int tiffPages)
{
    return QString("%1 Total file(s); %2 file selected; Total page count of selected TIFF file(s) : %3 PDF "
                   "file(s) : 0")
        .arg(files)
        .arg(selected)
        .arg(tiffPages);
}

// Replaces the table's selection with whole rows.
inline void selectRows(FolimeterAppDelegate& delegate, const QList<int>& rows)
{
    const FileTableModel* model = delegate.tableModel();
    QItemSelection wanted;
    for (const int row : rows)
        wanted.select(model->index(row, 0), model->index(row, model->columnCount() - 1));
    delegate.ui()->mainTableView->selectionModel()->select(wanted, QItemSelectionModel::ClearAndSelect);
}

inline QList<int> selectedRows(const FolimeterAppDelegate& delegate)
{
    QList<int> rows;
    for (const qsizetype row : delegate.selectedRows())
        rows << int(row);
    return rows;
}

} // namespace listfixture
