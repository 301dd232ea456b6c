#include "ListWindowFixture.h"

#include "app/MenuTitles.h"

#include <QContextMenuEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QTemporaryDir>
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
    for (const QString& item : items) {
        if (item == "--")
            menu->addSeparator();
        else
            menu->addAction(item);
    }
    return menu;
}

int countAboutItems(const QToolBar* toolbar)
{
    int count = 0;
    for (const QAction* action : toolbar->actions())
        count += action->objectName() == "ABOUT";
    return count;
}

// Sends a context-menu request to the table's rows and answers whether the menu opened.
bool contextMenuOpens(FolimeterAppDelegate& delegate, QContextMenuEvent::Reason reason)
{
    CustomTableView* table = delegate.ui()->mainTableView;
    QMenu* menu = delegate.filesContextMenu();
    menu->hide();
    QContextMenuEvent event(reason, QPoint(10, 10), table->viewport()->mapToGlobal(QPoint(10, 10)));
    QCoreApplication::sendEvent(table->viewport(), &event);
    const bool shown = menu->isVisible();
    menu->hide();
    return shown;
}

} // namespace

class MenusAndKeysTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path())); }
    void productNameInThreeMenus();
    void noWindowMenuSkipsThatPass();
    void windowMenusAndAgreementItem();
    void aboutToolbarItemOnce();
    void menuItemsReachTheirCommands();
    void deleteKeysRemoveWhateverIsSelected();
    void controlArrowsMoveOnlyWhileTheirButtonIsEnabled();
    void contextMenuNeedsARightClickAndASelection();

private:
    QTemporaryDir m_config;
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
}

void MenusAndKeysTest::noWindowMenuSkipsThatPass()
{
    QMenuBar bar;
    QMenu* application = addMenu(bar, "Folimeter", {"About Folimeter"});
    QMenu* windows = addMenu(bar, "Windows", {"Folimeter Window"});
    QMenu* help = addMenu(bar, "Help", {"Folimeter Help"});
    replaceProductNameInMenus(&bar, "Folimeter", "Page Tally");
    QCOMPARE(titlesOf(application), QStringList{"About Page Tally"});
    QCOMPARE(titlesOf(windows), QStringList{"Folimeter Window"});
    QCOMPARE(titlesOf(help), QStringList{"Page Tally Help"});
}

void MenusAndKeysTest::windowMenusAndAgreementItem()
{
    auto delegate = makeWindow({});
    const QList<QAction*> menus = delegate->window()->menuBar()->actions();
    QCOMPARE(menus.first()->text(), QString("Folimeter"));
    QVERIFY(std::any_of(menus.begin(), menus.end(), [](QAction* menu) { return menu->text() == "Window"; }));
    QCOMPARE(menus.last()->menu(), delegate->ui()->helpMenu);

    const QList<QAction*> items = delegate->ui()->applicationMenu->actions();
    QVERIFY(items.size() > 4);
    QVERIFY(items.at(3)->isSeparator());
    QAction* agreement = items.at(4);
    QCOMPARE(agreement->text(), QString("End-User License Agreement..."));
    QCOMPARE(agreement->toolTip(), QString("End-User License Agreement"));
    QCOMPARE(agreement->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    QCOMPARE(agreement->objectName(), QString("licenseAgreementMenuItem"));
    QCOMPARE(items.first(), delegate->ui()->aboutMenuItem);
    QCOMPARE(items.last(), delegate->ui()->quitMenuItem);
}

void MenusAndKeysTest::aboutToolbarItemOnce()
{
    auto delegate = makeWindow({});
    QToolBar* toolbar = delegate->ui()->mainToolBar;
    const QList<QAction*> items = toolbar->actions();
    QAction* about = items.at(0);
    QCOMPARE(about->objectName(), QString("ABOUT"));
    QCOMPARE(about->text(), QString("About"));
    QCOMPARE(about->toolTip(), QString("About Folimeter"));
    QVERIFY(!about->icon().isNull());
    QVERIFY(items.at(1)->isSeparator());
    QCOMPARE(items.at(2), delegate->ui()->addFilesMenuItem);
    QVERIFY(!toolbar->isMovable());
    QVERIFY(!toolbar->isFloatable());
    QCOMPARE(toolbar->contextMenuPolicy(), Qt::PreventContextMenu);

    // Its enabled state is the view state's.
    delegate->resetView(false);
    QVERIFY(!about->isEnabled());
    delegate->resetView(true);
    QVERIFY(about->isEnabled());

    // A toolbar that already has one gets no second item and no second separator.
    const qsizetype count = toolbar->actions().size();
    delegate->setupToolbarAndMenuItems();
    QCOMPARE(toolbar->actions().size(), count);
    QCOMPARE(countAboutItems(toolbar), 1);

    QCOMPARE(delegate->toolbarItemForIdentifier("EXPORT", true), nullptr);
    QAction* fresh = delegate->toolbarItemForIdentifier("ABOUT", false);
    QVERIFY(fresh && fresh->isEnabled());
    delete fresh;
}

void MenusAndKeysTest::menuItemsReachTheirCommands()
{
    auto delegate = makeWindow({});
    QList<QUrl> opened;
    delegate->setUrlOpener([&opened](const QUrl& url) {
        opened << url;
        return true;
    });
    delegate->ui()->websiteMenuItem->trigger();
    delegate->ui()->helpWebsiteMenuItem->trigger();
    QCOMPARE(opened.size(), 2);
    QCOMPARE(opened.first().scheme(), QString("https"));
    QCOMPARE(opened.first(), opened.last());

    delegate->window()->hide();
    delegate->ui()->showMainWindowMenuItem->trigger();
    QVERIFY(delegate->window()->isVisible());
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
    const QModelIndex current = table->currentIndex();
    const int scroll = table->verticalScrollBar()->value();

    QTest::keyClick(table, Qt::Key_Up, Qt::ControlModifier);
    QCOMPARE(names(*delegate), (QStringList{"A", "B", "C"}));
    QCOMPARE(selectedRows(*delegate), QList<int>{0});
    QCOMPARE(table->currentIndex(), current);
    QCOMPARE(table->verticalScrollBar()->value(), scroll);

    QTest::keyClick(table, Qt::Key_Down, Qt::ControlModifier);
    QTest::keyClick(table, Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(names(*delegate), (QStringList{"B", "C", "A"}));
    QCOMPARE(selectedRows(*delegate), QList<int>{2});
    // The last row: the down button is disabled, the key does nothing.
    QTest::keyClick(table, Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(names(*delegate), (QStringList{"B", "C", "A"}));
    QCOMPARE(selectedRows(*delegate), QList<int>{2});

    QTest::keyClick(table, Qt::Key_Up, Qt::ControlModifier);
    QCOMPARE(names(*delegate), (QStringList{"B", "A", "C"}));
    QCOMPARE(selectedRows(*delegate), QList<int>{1});

    // Without Control the arrows move the selection only, on from the moved row.
    QCOMPARE(table->currentIndex().row(), 1);
    QTest::keyClick(table, Qt::Key_Down);
    QCOMPARE(names(*delegate), (QStringList{"B", "A", "C"}));
    QCOMPARE(selectedRows(*delegate), QList<int>{2});
}

void MenusAndKeysTest::contextMenuNeedsARightClickAndASelection()
{
    auto delegate = makeWindow({"A", "B"});
    QCOMPARE(delegate->ui()->mainTableView->contextMenu(), delegate->filesContextMenu());
    selectRows(*delegate, {});
    QVERIFY(!contextMenuOpens(*delegate, QContextMenuEvent::Mouse));
    selectRows(*delegate, {1});
    QVERIFY(!contextMenuOpens(*delegate, QContextMenuEvent::Keyboard));
    QVERIFY(contextMenuOpens(*delegate, QContextMenuEvent::Mouse));
}

QTEST_MAIN(MenusAndKeysTest)
#include "tst_menuskeys.moc"
