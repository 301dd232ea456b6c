#include "ListWindowFixture.h"

#include <QApplication>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QtTest>

using namespace listfixture;

namespace {

const QStringList kFive = {"A", "B", "C", "D", "E"};

// Answers the next modal alert with the button titled `answer`; `seen` gets its title, text,
// buttons and default button, one a line.
void answerNextAlert(const QString& answer, QString* seen)
{
    QTimer::singleShot(0, [answer, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        QStringList buttons;
        for (QAbstractButton* button : box->buttons())
            buttons << button->text();
        buttons.sort();
        const QString defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
        *seen = QStringList{box->windowTitle(), box->text(), buttons.join(','), defaultButton}.join('\n');
        for (QAbstractButton* button : box->buttons()) {
            if (button->text() == answer)
                button->click();
        }
    });
}

} // namespace

class ListCommandsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { useScratchSettings(); }
    void buttonsFollowTheSelection();
    void movesCarryTheSelection_data();
    void movesCarryTheSelection();
    void moveScrollsTheMovedRowsIntoView();
    void removeAllAsksFirst();
    void selectAllSelectFirstAndRemoveSelected();
    void checkMarkCommands();
    void passwordProtectedNameCellShowsALock();
    void headerClicksSortByTwoKeysKeepingTheSelection();
    void noListPathChangesTheListDuringAJob();
};

void ListCommandsTest::buttonsFollowTheSelection()
{
    auto delegate = makeWindow({"A", "B", "C"});
    Ui::MainWindow& ui = *delegate->ui();
    // Up, down, and the three single-file buttons, as a string of 0 and 1.
    auto state = [&] {
        QString bits;
        for (QWidget* button :
             {ui.moveUpButton, ui.moveDownButton, ui.openFileButton, ui.getInfoButton, ui.openEnclosedFolderButton})
            bits += button->isEnabled() ? '1' : '0';
        return bits;
    };
    const QList<std::tuple<QList<int>, QString, int>> steps = {
        {{0}, "01111", 1}, {{1, 2}, "10000", 5}, {{0, 2}, "00000", 4}, {{1}, "11111", 2}, {{}, "00000", 0}};
    for (const auto& [rows, expected, pages] : steps) {
        selectRows(*delegate, rows);
        QCOMPARE(state(), expected);
        QCOMPARE(ui.moveUpMenuItem->isEnabled(), expected[0] == '1');
        QCOMPARE(ui.labelTotalFiles->text(), totalsFor(3, int(rows.size()), pages));
    }
    // A reload refreshes the buttons from the selection that survives it.
    selectRows(*delegate, {1});
    delegate->files().removeAt({2});
    delegate->reloadTable();
    QCOMPARE(state(), QString("10111"));
    delegate->files().clear();
    delegate->reloadTable();
    delegate->tableViewSelectionDidChange();
    QCOMPARE(state(), QString("00000"));
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(0, 0, 0));
}

void ListCommandsTest::movesCarryTheSelection_data()
{
    QTest::addColumn<QList<int>>("selected");
    QTest::addColumn<bool>("up");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QList<int>>("selectedAfter");

    QTest::newRow("block up") << QList<int>{2, 3} << true << QStringList{"A", "C", "D", "B", "E"} << QList<int>{1, 2};
    QTest::newRow("gap up") << QList<int>{1, 3} << true << QStringList{"B", "A", "D", "C", "E"} << QList<int>{0, 2};
    QTest::newRow("block down") << QList<int>{1, 2} << false << QStringList{"A", "D", "B", "C", "E"}
                                << QList<int>{2, 3};
    QTest::newRow("down from the last row") << QList<int>{2, 4} << false << kFive << QList<int>{};
}

void ListCommandsTest::movesCarryTheSelection()
{
    QFETCH(QList<int>, selected);
    QFETCH(bool, up);
    QFETCH(QStringList, after);
    QFETCH(QList<int>, selectedAfter);

    auto delegate = makeWindow(kFive);
    Ui::MainWindow& ui = *delegate->ui();
    selectRows(*delegate, selected);
    up ? delegate->moveUp() : delegate->moveDown();
    QCOMPARE(names(*delegate), after);
    QCOMPARE(selectedRows(*delegate), selectedAfter);
    QCOMPARE(delegate->window()->focusWidget(), ui.mainTableView);
    // The selection change refreshed the buttons and the totals line.
    QCOMPARE(ui.moveUpButton->isEnabled(), !selectedAfter.isEmpty() && selectedAfter.first() != 0);
    QCOMPARE(ui.moveDownButton->isEnabled(), !selectedAfter.isEmpty() && selectedAfter.last() != 4);
    int pages = 0;
    for (const int row : selectedAfter)
        pages += delegate->files().at(row)->pages();
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(5, int(selectedAfter.size()), pages));
}

void ListCommandsTest::moveScrollsTheMovedRowsIntoView()
{
    QStringList many;
    for (int i = 0; i < 80; ++i)
        many << QString("f%1").arg(i, 2, 10, QChar('0'));
    auto delegate = makeWindow(many);
    CustomTableView* table = delegate->ui()->mainTableView;
    delegate->window()->resize(900, 400);
    QCoreApplication::processEvents();
    auto visible = [&](int row) {
        return table->viewport()->rect().contains(table->visualRect(delegate->tableModel()->index(row, 1)));
    };
    selectRows(*delegate, {60, 61});
    table->scrollToTop();
    QVERIFY(!visible(62));
    delegate->moveDown();
    QVERIFY(visible(62));

    selectRows(*delegate, {10, 11});
    table->scrollToBottom();
    QVERIFY(!visible(9));
    delegate->moveUp();
    QVERIFY(visible(9));
}

void ListCommandsTest::removeAllAsksFirst()
{
    auto delegate = makeWindow(kFive);
    Ui::MainWindow& ui = *delegate->ui();
    selectRows(*delegate, {1, 2});
    const QString totals = ui.labelTotalFiles->text();

    QString seen;
    answerNextAlert("No", &seen);
    ui.removeAllFilesButton->click();
    QCOMPARE(seen, QString("Folimeter\nAre you sure to remove all file(s)?\nNo,Yes\nYes"));
    QCOMPARE(names(*delegate), kFive);
    QCOMPARE(selectedRows(*delegate), (QList<int>{1, 2}));
    QCOMPARE(ui.labelTotalFiles->text(), totals);

    answerNextAlert("Yes", &seen);
    delegate->selectDeselectRemoveAction(3);
    QVERIFY(delegate->files().isEmpty());
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(0, 0, 0));
    QVERIFY(!ui.lableDragAndDrop->isHidden());
    QVERIFY(!ui.removeAllFilesButton->isEnabled());
}

void ListCommandsTest::selectAllSelectFirstAndRemoveSelected()
{
    auto delegate = makeWindow(kFive);
    Ui::MainWindow& ui = *delegate->ui();
    // Select none selects the first row; select all, every row.
    selectRows(*delegate, {2, 3, 4});
    ui.deselectAllButton->click();
    QCOMPARE(selectedRows(*delegate), QList<int>{0});
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(5, 1, 1));
    ui.selectAllButton->click();
    QCOMPARE(selectedRows(*delegate), (QList<int>{0, 1, 2, 3, 4}));
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(5, 5, 15));

    selectRows(*delegate, {1, 2});
    ui.removeBtn->click();
    QCOMPARE(names(*delegate), (QStringList{"A", "D", "E"}));
    QCOMPARE(selectedRows(*delegate), (QList<int>{1, 2}));
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(3, 2, 4 + 5));

    selectRows(*delegate, {0, 2});
    ui.removeSelectedFilesButton->click();
    QCOMPARE(names(*delegate), QStringList{"D"});
    QCOMPARE(selectedRows(*delegate), QList<int>{0});
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(1, 1, 4));

    // Nothing selected: the remove-selected command still refreshes, the remove command only
    // when the list changed.
    selectRows(*delegate, {});
    ui.labelTotalFiles->setText("stale");
    delegate->selectDeselectRemoveAction(4);
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(1, 0, 0));
    ui.labelTotalFiles->setText("stale");
    delegate->removeAction();
    QCOMPARE(names(*delegate), QStringList{"D"});
    QCOMPARE(ui.labelTotalFiles->text(), QString("stale"));
}

void ListCommandsTest::checkMarkCommands()
{
    auto delegate = makeWindow(kFive);
    Ui::MainWindow& ui = *delegate->ui();
    delegate->files().at(3)->setIsSelected(false);
    selectRows(*delegate, {1, 3});
    const QString totals = ui.labelTotalFiles->text();

    // The context menu's items act on the selected rows, the menu bar's on all.
    QMap<QString, QAction*> items;
    QStringList titles;
    for (QAction* item : delegate->filesContextMenu()->actions()) {
        if (!item->isSeparator())
            titles << item->text();
        items[item->text()] = item;
    }
    QCOMPARE(titles, (QStringList{"Check", "Uncheck", "Invert", "Remove"}));
    items["Invert"]->trigger();
    QCOMPARE(checkMarks(*delegate), (QList<bool>{true, false, true, true, true}));
    QCOMPARE(delegate->tableModel()->index(1, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QCOMPARE(ui.labelTotalFiles->text(), totals);
    items["Check"]->trigger();
    QCOMPARE(checkMarks(*delegate), QList<bool>(5, true));
    items["Uncheck"]->trigger();
    QCOMPARE(checkMarks(*delegate), (QList<bool>{true, false, true, false, true}));

    ui.invertAllMenuItem->trigger();
    QCOMPARE(checkMarks(*delegate), (QList<bool>{false, true, false, true, false}));
    ui.checkAllMenuItem->trigger();
    QCOMPARE(checkMarks(*delegate), QList<bool>(5, true));
    ui.uncheckAllMenuItem->trigger();
    QCOMPARE(checkMarks(*delegate), QList<bool>(5, false));
    QCOMPARE(selectedRows(*delegate), (QList<int>{1, 3}));

    // The check box column edits one item; the other columns take no edit.
    ui.checkAllMenuItem->trigger();
    selectRows(*delegate, {});
    FileTableModel* model = delegate->tableModel();
    const int checkColumn = int(FileTableModel::Column::IsSelected);
    ui.labelTotalFiles->setText("stale");
    QVERIFY(model->setData(model->index(3, checkColumn), Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(checkMarks(*delegate), (QList<bool>{true, true, true, false, true}));
    QCOMPARE(ui.labelTotalFiles->text(), totalsFor(5, 0, 0));
    QVERIFY(!model->setData(model->index(2, 1), Qt::Unchecked, Qt::CheckStateRole));
    QVERIFY(!model->setData(model->index(2, 1), "renamed", Qt::EditRole));
    QCOMPARE(checkMarks(*delegate), (QList<bool>{true, true, true, false, true}));
    QCOMPARE(names(*delegate), kFive);

    // Columns are found by their exact identifiers.
    QCOMPARE(model->index(0, int(FileTableModel::Column::Name)).data().toString(), QString("A.tif"));
    model->setColumnIdentifiers({"ISSELECTED", "SIZEINKB", "nonsense"});
    QVERIFY(!model->setData(model->index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
    QVERIFY(delegate->files().at(0)->isSelected());
    QCOMPARE(model->index(0, 1).data().toString(), QString("1 KB"));
    QVERIFY(!model->index(0, 1).data(Qt::TextAlignmentRole).isValid());
    QCOMPARE(model->index(0, 2).data().toString(), QString());
}

namespace {

// Pixels of the lock's body colour within `rect` of the table's viewport.
int lockPixels(const QImage& image, const QRect& rect)
{
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += qAbs(c.red() - 0xd9) < 24 && qAbs(c.green() - 0xa4) < 24 && c.blue() < 0x60;
        }
    }
    return count;
}

} // namespace

void ListCommandsTest::passwordProtectedNameCellShowsALock()
{
    auto delegate = makeWindow({});
    delegate->files().append(FileItem::makeForTesting("/list/open.pdf", 3, 1024));
    delegate->files().append(FileItem::makeForTesting("/list/locked.pdf", 0, 1024, true));
    delegate->refreshAfterListChange();
    FileTableModel* model = delegate->tableModel();
    const int nameColumn = int(FileTableModel::Column::Name);

    const QModelIndex lockedName = model->index(1, nameColumn);
    const QIcon lock = lockedName.data(Qt::DecorationRole).value<QIcon>();
    QVERIFY(!lock.isNull());
    QCOMPARE(lock.actualSize(QSize(16, 16)), QSize(16, 16));
    QCOMPARE(lockedName.data(Qt::ToolTipRole).toString(), QString("Password protected"));
    QCOMPARE(lockedName.data().toString(), QString("locked.pdf"));
    for (int column = 0; column < model->columnCount(); ++column) {
        const QModelIndex open = model->index(0, column);
        QVERIFY2(!open.data(Qt::DecorationRole).isValid() && !open.data(Qt::ToolTipRole).isValid(),
                 qPrintable(QString::number(column)));
        if (column != nameColumn) {
            QVERIFY(!model->index(1, column).data(Qt::DecorationRole).isValid());
            QVERIFY(!model->index(1, column).data(Qt::ToolTipRole).isValid());
        }
    }

    // The table draws it: the lock's colour in the locked row's name cell, none in the other.
    QTableView* view = delegate->ui()->mainTableView;
    delegate->window()->resize(900, 400);
    delegate->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(delegate->window()));
    const QImage shot = view->viewport()->grab().toImage();
    QVERIFY(lockPixels(shot, view->visualRect(lockedName)) > 10);
    QCOMPARE(lockPixels(shot, view->visualRect(model->index(0, nameColumn))), 0);

    // The mark goes with the item when the list is reordered, and with the name column.
    model->sortFiles({SortDescriptor{QStringLiteral("name"), true}});
    QCOMPARE(names(*delegate), (QStringList{"locked", "open"}));
    QVERIFY(model->index(0, nameColumn).data(Qt::DecorationRole).isValid());
    QVERIFY(!model->index(1, nameColumn).data(Qt::DecorationRole).isValid());
    model->setColumnIdentifiers({"pages", "name"});
    QVERIFY(!model->index(0, 0).data(Qt::DecorationRole).isValid());
    QCOMPARE(model->index(0, 1).data(Qt::ToolTipRole).toString(), QString("Password protected"));
}

void ListCommandsTest::headerClicksSortByTwoKeysKeepingTheSelection()
{
    auto delegate = makeWindow();
    for (const auto& [name, pages] : QList<std::pair<QByteArray, int>>{{"b10", 2}, {"c", 1}, {"a", 2}, {"B2", 1}})
        delegate->files().append(FileItem::makeForTesting("/list/" + name + ".tif", pages, 0));
    delegate->refreshAfterListChange();
    delegate->window()->resize(1000, 500);
    QCoreApplication::processEvents();
    QHeaderView* header = delegate->ui()->mainTableView->horizontalHeader();
    auto clickHeader = [&](FileTableModel::Column column) {
        const int section = int(column);
        QTest::mouseClick(
            header->viewport(), Qt::LeftButton, {},
            QPoint(header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2));
    };
    selectRows(*delegate, {0, 1});

    clickHeader(FileTableModel::Column::Name);
    QCOMPARE(names(*delegate), (QStringList{"a", "B2", "b10", "c"}));
    QCOMPARE(selectedRows(*delegate), (QList<int>{0, 1}));
    clickHeader(FileTableModel::Column::Pages);
    QCOMPARE(names(*delegate), (QStringList{"B2", "c", "a", "b10"}));
    QCOMPARE(header->sortIndicatorSection(), int(FileTableModel::Column::Pages));
    QCOMPARE(selectedRows(*delegate), (QList<int>{0, 1})); // the rows stay selected, not the items
    QCOMPARE(delegate->ui()->labelTotalFiles->text(), totalsFor(4, 2, 2));

    // A move keeps the order; the next sort puts the rows back.
    selectRows(*delegate, {3});
    delegate->moveUp();
    QCOMPARE(names(*delegate), (QStringList{"B2", "c", "b10", "a"}));
    delegate->sortFilesAndReload();
    QCOMPARE(names(*delegate), (QStringList{"B2", "c", "a", "b10"}));
}

void ListCommandsTest::noListPathChangesTheListDuringAJob()
{
    auto delegate = makeWindow(kFive);
    Ui::MainWindow& ui = *delegate->ui();
    selectRows(*delegate, {1, 2});
    // The flag alone holds every path off; the view state (which disables the table and
    // the list buttons, but not the move buttons or the menus) is not relied on.
    delegate->setIsProcessing(true);
    QVERIFY(ui.moveUpButton->isEnabled() && ui.moveDownButton->isEnabled());
    const QList<bool> marks = checkMarks(*delegate);

    ui.moveUpButton->click();
    ui.moveDownButton->click();
    ui.moveUpMenuItem->trigger();
    ui.removeSelectedMenuItem->trigger();
    ui.removeAllMenuItem->trigger(); // would ask first: no alert may open
    ui.invertSelectedMenuItem->trigger();
    ui.invertAllMenuItem->trigger();
    for (QAction* item : delegate->filesContextMenu()->actions())
        item->trigger();
    delegate->removeAction();
    QTest::keyClick(ui.mainTableView, Qt::Key_Delete);
    QTest::keyClick(ui.mainTableView, Qt::Key_Down, Qt::ControlModifier);
    FileTableModel* model = delegate->tableModel();
    QVERIFY(!model->setData(model->index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
    delegate->tableViewHeaderClicked(int(FileTableModel::Column::Pages));
    QCOMPARE(names(*delegate), kFive);
    QCOMPARE(checkMarks(*delegate), marks);
    QVERIFY(ui.mainTableView->sortDescriptors().isEmpty());

    delegate->setIsProcessing(false);
    delegate->resetView(true);
    QTest::keyClick(ui.mainTableView, Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(names(*delegate), (QStringList{"A", "D", "B", "C", "E"}));
}

QTEST_MAIN(ListCommandsTest)
#include "tst_listcommands.moc"
