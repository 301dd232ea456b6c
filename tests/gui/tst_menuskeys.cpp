#include "ListWindowFixture.h"

#include "app/MenuTitles.h"

#include <QContextMenuEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QToolBar>
#include <QtTest>

using namespace listfixture;

namespace {

QStringList titlesOf(const QMenu* menu)
{
    QStringList titles;
    for (const QAction* item : menu->actions())
        titles << (item->isSeparator() ? QString("--") : item->text());
    return titles;
}

QMenu* addMenu(QMenuBar& bar, const QString& title, const QStringList& items)
{
    QMenu* menu = bar.addMenu(title);
    for (const QString& item : items)
        item == "--" ? menu->addSeparator() : menu->addAction(item);
    return menu;
}

} // namespace

class MenusAndKeysTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { useScratchSettings(); }
    void productNameInThreeMenus();
    void windowMenusToolbarAndTheirCommands();
    void deleteKeysRemoveWhateverIsSelected();
    void controlArrowsMoveOnlyWhileTheirButtonIsEnabled();
    void contextMenuNeedsARightClickAndASelection();
};

void MenusAndKeysTest::productNameInThreeMenus()
{
    QMenuBar bar;
    QMenu* application = addMenu(bar, "Folimeter", {"About Folimeter", "Folimeter Website", "--", "Quit Folimeter"});
    application->addMenu("More Folimeter")->addAction("Nested Folimeter");
    QMenu* edit = addMenu(bar, "Edit", {"Folimeter Edit"});
    QMenu* window = addMenu(bar, "Window", {"Folimeter Folimeter", "Minimize Folimeter"});
    QMenu* help = addMenu(bar, "Help", {"Folimeter Help", "Help Folimeter"});
    replaceProductNameInMenus(&bar, "Folimeter", "Page Tally");
    // Application menu: titles ending with the name; every occurrence in them.
    QCOMPARE(titlesOf(application),
             (QStringList{"About Page Tally", "Folimeter Website", "--", "Quit Page Tally", "More Page Tally"}));
    QCOMPARE(titlesOf(application->actions().last()->menu()), QStringList{"Nested Folimeter"});
    // Window and last menus: titles beginning with it.
    QCOMPARE(titlesOf(window), (QStringList{"Page Tally Page Tally", "Minimize Folimeter"}));
    QCOMPARE(titlesOf(help), (QStringList{"Page Tally Help", "Help Folimeter"}));
    // Other menus and the menus' own titles are not visited.
    QCOMPARE(titlesOf(edit), QStringList{"Folimeter Edit"});
    QCOMPARE(bar.actions().first()->text(), QString("Folimeter"));

    // Without a menu titled "Window" that pass is skipped; the last menu is still visited.
    QMenuBar other;
    QMenu* windows = addMenu(other, "Windows", {"Folimeter Window"});
    QMenu* last = addMenu(other, "Help", {"Folimeter Help"});
    replaceProductNameInMenus(&other, "Folimeter", "Page Tally");
    QCOMPARE(titlesOf(windows), QStringList{"Folimeter Window"});
    QCOMPARE(titlesOf(last), QStringList{"Page Tally Help"});
}

void MenusAndKeysTest::windowMenusToolbarAndTheirCommands()
{
    auto delegate = makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    const QList<QAction*> menus = delegate->window()->menuBar()->actions();
    QCOMPARE(menus.first()->text(), QString("Folimeter"));
    QVERIFY(std::any_of(menus.begin(), menus.end(), [](QAction* menu) { return menu->text() == "Window"; }));
    QCOMPARE(menus.last()->menu(), ui.helpMenu);

    // The agreement item follows the first separator of the application menu.
    const QList<QAction*> items = ui.applicationMenu->actions();
    QVERIFY(items.size() > 4 && items.at(3)->isSeparator());
    QCOMPARE(items.at(4)->text(), QString("End-User License Agreement..."));
    QCOMPARE(items.at(4)->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));

    // The website items open the one address; the window item shows the window.
    QList<QUrl> opened;
    delegate->setUrlOpener([&opened](const QUrl& url) {
        opened << url;
        return true;
    });
    ui.websiteMenuItem->trigger();
    ui.helpWebsiteMenuItem->trigger();
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened.first().scheme(), QString("https"));
    QCOMPARE(opened.first(), opened.last());
    delegate->window()->hide();
    ui.showMainWindowMenuItem->trigger();
    QVERIFY(delegate->window()->isVisible());

    // The About item leads the toolbar, once, however often the toolbar is set up.
    QToolBar* toolbar = ui.mainToolBar;
    QAction* about = toolbar->actions().at(0);
    QCOMPARE(about->text(), QString("About"));
    QCOMPARE(about->toolTip(), QString("About Folimeter"));
    QVERIFY(toolbar->actions().at(1)->isSeparator());
    const QList<QAction*> before = toolbar->actions();
    delegate->setupToolbarAndMenuItems();
    QCOMPARE(toolbar->actions(), before);
}

void MenusAndKeysTest::deleteKeysRemoveWhateverIsSelected()
{
    auto delegate = makeWindow({"A", "B", "C", "D"});
    CustomTableView* table = delegate->ui()->mainTableView;
    selectRows(*delegate, {});
    QTest::keyClick(table, Qt::Key_Delete);
    QTest::keyClick(table, Qt::Key_Backspace);
    QCOMPARE(names(*delegate), (QStringList{"A", "B", "C", "D"}));

    selectRows(*delegate, {1});
    QTest::keyClick(table, Qt::Key_Backspace, Qt::ShiftModifier | Qt::ControlModifier);
    QCOMPARE(names(*delegate), (QStringList{"A", "C", "D"}));
    selectRows(*delegate, {0, 2});
    QTest::keyClick(table, Qt::Key_Delete);
    QCOMPARE(names(*delegate), QStringList{"C"});
    // Space keeps the table's own handling: no removal.
    selectRows(*delegate, {0});
    QTest::keyClick(table, Qt::Key_Space);
    QCOMPARE(names(*delegate), QStringList{"C"});
}

void MenusAndKeysTest::controlArrowsMoveOnlyWhileTheirButtonIsEnabled()
{
    auto delegate = makeWindow({"A", "B", "C"});
    CustomTableView* table = delegate->ui()->mainTableView;
    table->setFocus();
    table->setCurrentIndex(delegate->tableModel()->index(0, 1));
    selectRows(*delegate, {0});
    const int scroll = table->verticalScrollBar()->value();
    // Each key, and the list and the selected row after it. Up from the first row and down
    // from the last change nothing; without Control the arrow moves the selection only.
    const QList<std::tuple<Qt::Key, Qt::KeyboardModifiers, QStringList, int>> steps = {
        {Qt::Key_Up, Qt::ControlModifier, {"A", "B", "C"}, 0},
        {Qt::Key_Down, Qt::ControlModifier, {"B", "A", "C"}, 1},
        {Qt::Key_Down, Qt::ControlModifier, {"B", "C", "A"}, 2},
        {Qt::Key_Down, Qt::ControlModifier, {"B", "C", "A"}, 2},
        {Qt::Key_Up, Qt::ControlModifier, {"B", "A", "C"}, 1},
        {Qt::Key_Down, Qt::NoModifier, {"B", "A", "C"}, 2}};
    for (const auto& [key, modifiers, after, row] : steps) {
        QTest::keyClick(table, key, modifiers);
        QCOMPARE(names(*delegate), after);
        QCOMPARE(selectedRows(*delegate), QList<int>{row});
        QCOMPARE(table->currentIndex().row(), row);
    }
    QCOMPARE(table->verticalScrollBar()->value(), scroll);
}

void MenusAndKeysTest::contextMenuNeedsARightClickAndASelection()
{
    auto delegate = makeWindow({"A", "B"});
    CustomTableView* table = delegate->ui()->mainTableView;
    QMenu* menu = delegate->filesContextMenu();
    auto opens = [&](QContextMenuEvent::Reason reason) {
        menu->hide();
        QContextMenuEvent event(reason, QPoint(10, 10), table->viewport()->mapToGlobal(QPoint(10, 10)));
        QCoreApplication::sendEvent(table->viewport(), &event);
        const bool shown = menu->isVisible();
        menu->hide();
        return shown;
    };
    selectRows(*delegate, {});
    QVERIFY(!opens(QContextMenuEvent::Mouse));
    selectRows(*delegate, {1});
    QVERIFY(!opens(QContextMenuEvent::Keyboard));
    QVERIFY(opens(QContextMenuEvent::Mouse));
}

QTEST_MAIN(MenusAndKeysTest)
#include "tst_menuskeys.moc"
