// The controller's table: data source and delegate answers, selection rules, sorting.
#include "app/FolimeterAppDelegate.h"

#include "list/FileSorting.h"
#include "list/FileTableModel.h"
#include "ui_MainWindow.h"

#include <QHeaderView>
#include <QMainWindow>

#include <algorithm>
#include <set>

namespace {

// The move buttons follow the selection: up needs a selection not holding row 0, down
// one not holding the last row.
void setMoveButtons(Ui::MainWindow& ui, const std::vector<qsizetype>& rows, qsizetype count)
{
    const bool canMoveUp = !rows.empty() && rows.front() != 0;
    const bool canMoveDown = !rows.empty() && rows.back() != count - 1;
    ui.moveUpButton->setEnabled(canMoveUp);
    ui.moveDownButton->setEnabled(canMoveDown);
    ui.moveUpMenuItem->setEnabled(canMoveUp);
    ui.moveDownMenuItem->setEnabled(canMoveDown);
}

// The header's indicator shows the primary sort key and its direction, or nothing.
void showSortIndicator(CustomTableView* table, const FileTableModel* model)
{
    const SortDescriptors& descriptors = table->sortDescriptors();
    if (descriptors.isEmpty()) {
        table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
        return;
    }
    table->horizontalHeader()->setSortIndicator(model->columnForSortKey(descriptors.first().key),
                                                descriptors.first().ascending ? Qt::AscendingOrder
                                                                              : Qt::DescendingOrder);
}

} // namespace

void FolimeterAppDelegate::setupTableView()
{
    CustomTableView* table = ui()->mainTableView;
    m_tableModel->setEditGuard([this] { return !isListLocked(); });
    connect(m_tableModel, &FileTableModel::checkMarkEdited, this, [this] { updateTotalLabel(); });
    // The table asks for its row count on every reload.
    connect(m_tableModel, &QAbstractItemModel::modelReset, this, [this] { numberOfRowsInTableView(); });
    connect(m_tableModel, &QAbstractItemModel::layoutChanged, this, [this] { numberOfRowsInTableView(); });
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { tableViewSelectionDidChange(); });

    QHeaderView* header = table->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    showSortIndicator(table, m_tableModel);
    connect(header, &QHeaderView::sectionClicked, this, &FolimeterAppDelegate::tableViewHeaderClicked);
    numberOfRowsInTableView();
}

std::vector<qsizetype> FolimeterAppDelegate::selectedRows() const
{
    const QItemSelectionModel* selection = ui()->mainTableView->selectionModel();
    if (!selection)
        return {};
    std::set<qsizetype> rows;
    for (const QModelIndex& index : selection->selectedIndexes())
        rows.insert(index.row());
    return {rows.begin(), rows.end()};
}

int FolimeterAppDelegate::numberOfRowsInTableView()
{
    setMoveButtons(*ui(), selectedRows(), m_files.size());
    return int(m_files.size());
}

void FolimeterAppDelegate::tableViewSelectionDidChange()
{
    const std::vector<qsizetype> rows = selectedRows();
    setMoveButtons(*ui(), rows, m_files.size());
    const bool oneFile = !m_files.isEmpty() && rows.size() == 1;
    ui()->openFileButton->setEnabled(oneFile);
    ui()->getInfoButton->setEnabled(oneFile);
    ui()->openEnclosedFolderButton->setEnabled(oneFile);
    updateTotalLabel();
}

void FolimeterAppDelegate::tableViewHeaderClicked(int column)
{
    CustomTableView* table = ui()->mainTableView;
    const QString key = FileTableModel::sortKeyForIdentifier(m_tableModel->columnIdentifier(column));
    if (isListLocked() || key.isEmpty()) {
        // The header flips its indicator on every click; put it back.
        showSortIndicator(table, m_tableModel);
        return;
    }
    table->setSortDescriptors(filesorting::sortDescriptorsAfterClick(table->sortDescriptors(), key));
    tableViewSortDescriptorsDidChange();
}

void FolimeterAppDelegate::tableViewSortDescriptorsDidChange()
{
    showSortIndicator(ui()->mainTableView, m_tableModel);
    sortFilesAndReload();
}

void FolimeterAppDelegate::searchAction()
{
    endEditing();
}
