// The controller's table: data source and delegate answers, selection rules, sorting.
#include "app/FolimeterAppDelegate.h"

#include "app/Constants.h"
#include "app/Platform.h"
#include "list/FileSorting.h"
#include "list/FileTableModel.h"
#include "ui_MainWindow.h"

#include <QHeaderView>
#include <QMainWindow>
#include <QStyle>

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

// The widest texts a column usually shows: its width is that of the widest, or of its title.
QStringList widestTexts(FileTableModel::Column column)
{
    switch (column) {
    case FileTableModel::Column::Pages:
        return {QStringLiteral("99999")};
    case FileTableModel::Column::SizeInKB:
        return {QStringLiteral("999.9 MB"), QStringLiteral("999 KB")};
    case FileTableModel::Column::Type:
        return {QStringLiteral("TIFF")};
    case FileTableModel::Column::DateModified:
    case FileTableModel::Column::DateCreated:
    case FileTableModel::Column::DateAccessed: {
        QStringList dates; // month names differ in width
        for (int month = 1; month <= 12; ++month)
            dates << FileItem::displayDate(QDateTime(QDate(2026, month, 28), QTime(12, 59)));
        return dates;
    }
    default:
        return {};
    }
}

// The room Name and Location get at the default window size, in average characters.
constexpr int kNameCharacters = 30;
constexpr int kLocationCharacters = 48;

} // namespace

void FolimeterAppDelegate::setupColumns()
{
    CustomTableView* table = ui()->mainTableView;
    QHeaderView* header = table->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setStretchLastSection(false);
    // A cell's text has the item delegate's margin on each side, and some air.
    const int margin = 2 * (table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1) + 8;
    for (int column = 0; column < m_tableModel->columnCount(); ++column) {
        const auto id = FileTableModel::Column(column);
        int width = header->sectionSizeHint(column); // the title and the sort indicator
        if (id == FileTableModel::Column::IsSelected)
            width = std::max(width, table->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, table) + margin);
        for (const QString& text : widestTexts(id))
            width = std::max(width, table->fontMetrics().horizontalAdvance(text) + margin);
        header->resizeSection(column, width);
    }
    // The widths the user left at the last launch, if any; Name and Location share the rest.
    header->restoreState(platform::userDefaultBytes(QLatin1String(constants::kColumnsKey)));
    for (int column = 0; column < m_tableModel->columnCount(); ++column) {
        const auto id = FileTableModel::Column(column);
        const bool shares = id == FileTableModel::Column::Name || id == FileTableModel::Column::Location;
        header->setSectionResizeMode(column, shares ? QHeaderView::Stretch : QHeaderView::Interactive);
    }
}

QSize FolimeterAppDelegate::defaultWindowSize(const QSize& available) const
{
    const CustomTableView* table = ui()->mainTableView;
    const QHeaderView* header = table->horizontalHeader();
    int columns = (kNameCharacters + kLocationCharacters) * table->fontMetrics().averageCharWidth();
    for (int column = 0; column < header->count(); ++column) {
        if (header->sectionResizeMode(column) != QHeaderView::Stretch)
            columns += header->sectionSize(column);
    }
    // The table as wide as its columns, its frame and a vertical scroll bar; the rest of the
    // window as its layout asks.
    const int tableWidth = columns + 2 * table->frameWidth() + table->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const QSize hint = window()->sizeHint();
    const QSize size(std::max(hint.width(), hint.width() - ui()->tableArea->sizeHint().width() + tableWidth),
                     std::max(hint.height(), 640));
    return size.boundedTo(available);
}

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
