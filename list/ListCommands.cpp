// The controller's list commands: check marks, select all, remove, move up and down.
#include "app/FolimeterAppDelegate.h"

#include "app/Platform.h"
#include "app/Utilities.h"
#include "list/FileTableModel.h"
#include "list/ListEdits.h"
#include "ui_MainWindow.h"

#include <QKeyEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include <exception>

namespace {

QString reasonOf(const std::exception& e)
{
    return QString::fromUtf8(e.what());
}

} // namespace

void FolimeterAppDelegate::setupListCommands()
{
    Ui::MainWindow& ui = *m_ui;

    QMenu* menu = m_filesContextMenu;
    menu->clear();
    connect(menu->addAction(tr("Check")), &QAction::triggered, this,
            [this] { checkUncheckInvertSelectionAction(listedits::CheckTag); });
    connect(menu->addAction(tr("Uncheck")), &QAction::triggered, this,
            [this] { checkUncheckInvertSelectionAction(listedits::UncheckTag); });
    connect(menu->addAction(tr("Invert")), &QAction::triggered, this,
            [this] { checkUncheckInvertSelectionAction(listedits::InvertTag); });
    menu->addSeparator();
    connect(menu->addAction(tr("Remove")), &QAction::triggered, this, [this] { selectDeselectRemoveAction(4); });

    auto onButton = [this](QAbstractButton* button, auto action) {
        connect(button, &QAbstractButton::clicked, this, action);
    };
    onButton(ui.selectAllButton, [this] { selectDeselectRemoveAction(1); });
    onButton(ui.deselectAllButton, [this] { selectDeselectRemoveAction(2); });
    onButton(ui.removeAllFilesButton, [this] { selectDeselectRemoveAction(3); });
    onButton(ui.removeSelectedFilesButton, [this] { selectDeselectRemoveAction(4); });
    onButton(ui.removeBtn, [this] { removeAction(); });
    onButton(ui.moveUpButton, [this] { moveUp(); });
    onButton(ui.moveDownButton, [this] { moveDown(); });
    onButton(ui.searchBtn, [this] { searchAction(); });
    onButton(ui.openFileButton, [this] { openFileWithFinder(); });
    onButton(ui.openEnclosedFolderButton, [this] { openFileEnclosingFolder(); });
    onButton(ui.getInfoButton, [this] { getInfoFile(); });

    auto onItem = [this](QAction* item, auto action) { connect(item, &QAction::triggered, this, action); };
    onItem(ui.selectAllMenuItem, [this] { selectDeselectRemoveAction(1); });
    onItem(ui.deselectAllMenuItem, [this] { selectDeselectRemoveAction(2); });
    onItem(ui.removeAllMenuItem, [this] { selectDeselectRemoveAction(3); });
    onItem(ui.removeSelectedMenuItem, [this] { selectDeselectRemoveAction(4); });
    onItem(ui.checkSelectedMenuItem, [this] { checkUncheckInvertSelectionAction(listedits::CheckTag); });
    onItem(ui.uncheckSelectedMenuItem, [this] { checkUncheckInvertSelectionAction(listedits::UncheckTag); });
    onItem(ui.invertSelectedMenuItem, [this] { checkUncheckInvertSelectionAction(listedits::InvertTag); });
    onItem(ui.checkAllMenuItem, [this] { checkUncheckInvertAction(listedits::CheckTag); });
    onItem(ui.uncheckAllMenuItem, [this] { checkUncheckInvertAction(listedits::UncheckTag); });
    onItem(ui.invertAllMenuItem, [this] { checkUncheckInvertAction(listedits::InvertTag); });
    onItem(ui.moveUpMenuItem, [this] { moveUp(); });
    onItem(ui.moveDownMenuItem, [this] { moveDown(); });

    onItem(ui.copyMenuItem, [this] { copyAction(); });

    connect(ui.mainTableView, &CustomTableView::removeKeyPressed, this, [this] { removeAction(); });
    connect(ui.mainTableView, &CustomTableView::copyKeyPressed, this, [this] { copyAction(); });
    connect(ui.mainTableView, &CustomTableView::reorderKeyPressed, this,
            [this](QKeyEvent* event) { keyDownTableView(event); });
}

void FolimeterAppDelegate::refreshAfterListChange()
{
    reloadTable();
    resetView(true);
    updateTotalLabel();
}

void FolimeterAppDelegate::selectDeselectRemoveAction(int tag)
{
    endEditing();
    selectDeselectRemoveAll(tag);
}

void FolimeterAppDelegate::selectDeselectRemoveAll(int tag)
{
    // Selecting changes no item, but the selection rules would then count a list that the
    // job is appending to; every variant waits for the job.
    if (isListLocked())
        return;
    CustomTableView* table = m_ui->mainTableView;
    try {
        switch (tag) {
        case 1:
            table->selectAll();
            break;
        case 2:
            if (m_files.isEmpty()) {
                table->clearSelection();
            } else {
                table->selectionModel()->select(m_tableModel->index(0, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            }
            break;
        case 3: {
            QMessageBox alert(QMessageBox::Warning, getAppTitle(QStringLiteral("")),
                              QStringLiteral("Are you sure to remove all file(s)?"), QMessageBox::NoButton,
                              m_window.get());
            QPushButton* yes = alert.addButton(QStringLiteral("Yes"), QMessageBox::YesRole);
            QPushButton* no = alert.addButton(QStringLiteral("No"), QMessageBox::NoRole);
            alert.setDefaultButton(yes);
            alert.setEscapeButton(no);
            alert.exec();
            // A job may have started while the alert was open.
            if (alert.clickedButton() != yes || isListLocked())
                return;
            m_files.clear();
            refreshAfterListChange();
            break;
        }
        case 4:
            m_files.removeAt(selectedRows());
            refreshAfterListChange();
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(selectDeselectRemoveAll:)"), reasonOf(e));
    }
}

void FolimeterAppDelegate::checkUncheckInvertSelectionAction(int tag)
{
    endEditing();
    checkUncheckInvertSelection(tag);
}

void FolimeterAppDelegate::checkUncheckInvertSelection(int tag)
{
    if (isListLocked())
        return;
    try {
        listedits::setCheckMarks(m_files, selectedRows(), tag);
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(checkUncheckInvertSelection:)"), reasonOf(e));
    }
    refreshAfterListChange();
}

void FolimeterAppDelegate::checkUncheckInvertAction(int tag)
{
    endEditing();
    checkUncheckInvertAll(tag);
}

void FolimeterAppDelegate::checkUncheckInvertAll(int tag)
{
    if (isListLocked())
        return;
    try {
        listedits::setAllCheckMarks(m_files, tag);
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(checkUncheckInvertAll:)"), reasonOf(e));
    }
    refreshAfterListChange();
}

void FolimeterAppDelegate::removeAction()
{
    endEditing();
    removeFiles();
}

void FolimeterAppDelegate::removeFiles()
{
    if (isListLocked())
        return;
    const qsizetype count = m_files.size();
    try {
        m_files.removeAt(selectedRows());
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(remove)"), reasonOf(e));
    }
    if (m_files.size() != count)
        refreshAfterListChange();
}

namespace {

// Reload, keep the keyboard on the table for repeated moves, select the moved items and
// scroll the first (moving up) or last (moving down) of them into view.
void showMovedRows(FolimeterAppDelegate& delegate, const std::vector<qsizetype>& rows, bool scrollToLast)
{
    CustomTableView* table = delegate.ui()->mainTableView;
    FileTableModel* model = delegate.tableModel();
    delegate.reloadTable();
    table->setFocus(Qt::OtherFocusReason);
    QItemSelection selection;
    for (const qsizetype row : rows)
        selection.select(model->index(int(row), 0), model->index(int(row), model->columnCount() - 1));
    table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    if (!rows.empty()) {
        const QModelIndex shown = model->index(int(scrollToLast ? rows.back() : rows.front()), 0);
        // The arrow keys go on from the moved rows.
        table->selectionModel()->setCurrentIndex(shown, QItemSelectionModel::NoUpdate);
        table->scrollTo(shown);
    }
}

} // namespace

void FolimeterAppDelegate::moveUp()
{
    if (isListLocked())
        return;
    showMovedRows(*this, listedits::moveUp(m_files, selectedRows()), false);
}

void FolimeterAppDelegate::moveDown()
{
    if (isListLocked())
        return;
    showMovedRows(*this, listedits::moveDown(m_files, selectedRows()), true);
}
