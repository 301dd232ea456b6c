#include "app/FolimeterAppDelegate.h"

#include "app/ButtonKeyCharacter.h"
#include "app/Constants.h"
#include "app/Platform.h"
#include "app/Utilities.h"
#include "list/FileTableModel.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenu>
#include <QScreen>
#include <QToolBar>

#include <exception>

FolimeterAppDelegate::FolimeterAppDelegate(QObject* parent)
    : QObject(parent), m_window(std::make_unique<QMainWindow>()), m_ui(std::make_unique<Ui::MainWindow>())
{
    m_ui->setupUi(m_window.get());
    m_filesContextMenu = new QMenu(m_window.get());
    m_tableModel = new FileTableModel(m_files, this);
    m_ui->mainTableView->setModel(m_tableModel);
    m_ui->mainTableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_ui->mainTableView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_ui->mainTableView->setSortingEnabled(false);
    m_ui->mainTableView->verticalHeader()->hide();
    // One line per file: the dates fit their columns unwrapped; a long path loses its middle,
    // keeping where it starts and the folder it ends in.
    m_ui->mainTableView->setWordWrap(false);
    m_ui->mainTableView->setTextElideMode(Qt::ElideMiddle);
    m_ui->mainTableView->verticalHeader()->setDefaultSectionSize(m_ui->mainTableView->fontMetrics().height() + 8);
    m_ui->lableDragAndDrop->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_ui->mainToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    setupGathering();
}

FolimeterAppDelegate::~FolimeterAppDelegate()
{
    // A job's thread calls back into this object: stop it and let it finish first.
    setIsProcessing(false);
    waitForJob(5000);
}

void FolimeterAppDelegate::awakeFromNib()
{
    updateWindowTitle();
    m_files.clear();
    allowedFileTypes();
    m_ui->mainTableView->setContextMenu(m_filesContextMenu);
    markKeyCharacters();
    setupImportAndWindowActions();
    setupColumns();
    setupTableView();
    setupListCommands();
    resetView(true);
    setupVersion();
    setupToolbarAndMenuItems();
    registerForDraggedTypes();
    connectAboutAndAgreementItems();
    // The last launch's geometry, or one in which every column shows; on a screen smaller than
    // that, the screen's available size, less room for the window's frame.
    if (!m_window->restoreGeometry(platform::userDefaultBytes(QLatin1String(constants::kWindowGeometryKey))))
        m_window->resize(defaultWindowSize(m_window->screen()->availableSize() - QSize(0, 48)));
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void FolimeterAppDelegate::markKeyCharacters()
{
    const Ui::MainWindow& ui = *m_ui;
    const QColor controlText = QApplication::palette().color(QPalette::Active, QPalette::ButtonText);
    setButtonKeyCharacter(ui.removeBtn, QStringLiteral("r"), controlText);
    setButtonKeyCharacter(ui.importBtn, QStringLiteral("i"), controlText);
    setButtonKeyCharacter(ui.addFilesBtn, QStringLiteral("f"), controlText);
    setButtonKeyCharacter(ui.addFolderBtn, QStringLiteral("o"), controlText);
    setButtonKeyCharacter(ui.inculdeSubfoldersBtn, QStringLiteral("u"), controlText);
    setButtonKeyCharacter(ui.openFolderAfterConversionBtn, QStringLiteral("p"), controlText);
}

void FolimeterAppDelegate::resetView(bool enable)
{
    const Ui::MainWindow& ui = *m_ui;
    auto hasFiles = [this] { return !m_files.isEmpty(); };
    try {
        ui.removeBtn->setEnabled(enable && hasFiles());
        ui.importBtn->setEnabled(enable);
        ui.addFilesBtn->setEnabled(enable);
        ui.addFolderBtn->setEnabled(enable);
        ui.searchBtn->setEnabled(enable);
        ui.inculdeSubfoldersBtn->setEnabled(enable);
        ui.mainTableView->setEnabled(enable);
        if (ui.mainToolBar) {
            for (QAction* action : ui.mainToolBar->actions())
                action->setEnabled(enable);
        }
        ui.exportToolbarItem->setEnabled(enable && hasFiles());
        // The single-file commands follow the selection rule (exactly one row selected) here
        // too: a refresh after a list command must not enable them for none or several rows.
        const bool oneFile = enable && hasFiles() && selectedRows().size() == 1;
        ui.openFileButton->setEnabled(oneFile);
        ui.getInfoButton->setEnabled(oneFile);
        ui.openEnclosedFolderButton->setEnabled(oneFile);
        ui.selectAllButton->setEnabled(enable && hasFiles());
        ui.deselectAllButton->setEnabled(enable && hasFiles());
        ui.removeSelectedFilesButton->setEnabled(enable && hasFiles());
        ui.removeAllFilesButton->setEnabled(enable && hasFiles());
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(resetView:)"), QString::fromUtf8(e.what()));
    }
    ui.lableDragAndDrop->setHidden(hasFiles());
    m_window->repaint();
}

void FolimeterAppDelegate::updateWindowTitle()
{
    m_window->setWindowTitle(getAppTitle());
}

bool FolimeterAppDelegate::applicationShouldTerminate()
{
    endEditing();
    platform::setUserDefaultBytes(QLatin1String(constants::kWindowGeometryKey), m_window->saveGeometry());
    platform::setUserDefaultBytes(QLatin1String(constants::kColumnsKey),
                                  m_ui->mainTableView->horizontalHeader()->saveState());
    return true;
}

bool FolimeterAppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows)
{
    if (hasVisibleWindows && m_window->isVisible() && !m_window->isMinimized())
        return false;
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
    return true;
}

void FolimeterAppDelegate::endEditing()
{
    // A line edit or an open cell editor commits when it loses the focus.
    if (QWidget* focus = m_window->focusWidget())
        focus->clearFocus();
}

void FolimeterAppDelegate::sortFilesAndReload()
{
    m_tableModel->sortFiles(m_ui->mainTableView->sortDescriptors());
    reloadTable();
}

void FolimeterAppDelegate::reloadTable()
{
    QTableView* table = m_ui->mainTableView;
    QList<int> rows;
    if (table->selectionModel()) {
        for (const QModelIndex& index : table->selectionModel()->selectedRows())
            rows.append(index.row());
    }
    // The keyboard's place in the table, kept like the selection by row number.
    const QModelIndex current = table->currentIndex();
    const int currentRow = current.row();
    const int currentColumn = current.column();
    m_tableModel->reloadData();
    if (!table->selectionModel())
        return;
    QItemSelection selection;
    const int lastColumn = m_tableModel->columnCount() - 1;
    for (const int row : rows) {
        if (row < m_tableModel->rowCount())
            selection.select(m_tableModel->index(row, 0), m_tableModel->index(row, lastColumn));
    }
    table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    if (currentRow >= 0 && currentRow < m_tableModel->rowCount())
        table->selectionModel()->setCurrentIndex(m_tableModel->index(currentRow, currentColumn),
                                                 QItemSelectionModel::NoUpdate);
}
