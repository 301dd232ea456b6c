#include "ListWindowFixture.h"

#include <QMainWindow>
#include <QtTest>

using namespace listfixture;

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { useScratchSettings(); }
    void viewStateFollowsTheListAndTheJob();
};

void MainWindowTest::viewStateFollowsTheListAndTheJob()
{
    auto delegate = makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    QCOMPARE(delegate->window()->windowTitle(), QStringLiteral("Folimeter"));
    const QList<QWidget*> adding = {ui.importBtn, ui.addFilesBtn,          ui.addFolderBtn,
                                    ui.searchBtn, ui.inculdeSubfoldersBtn, ui.mainTableView};
    QList<QWidget*> listButtons = {ui.removeBtn, ui.openFileButton, ui.getInfoButton, ui.openEnclosedFolderButton};
    listButtons << ui.selectAllButton << ui.deselectAllButton << ui.removeSelectedFilesButton
                << ui.removeAllFilesButton;
    // Which of the widgets and toolbar items are enabled, as a string of 0 and 1.
    auto state = [&](const QList<QWidget*>& widgets) {
        QString bits;
        for (QWidget* widget : widgets)
            bits += widget->isEnabled() ? '1' : '0';
        return bits;
    };
    auto toolbar = [&] {
        QString bits;
        for (QAction* action : ui.mainToolBar->actions())
            bits += action->isSeparator() ? '-' : action->isEnabled() ? '1' : '0';
        return bits;
    };

    // Idle with an empty list: adding on, the list's commands and the export off.
    delegate->resetView(true);
    QCOMPARE(state(adding), QString(6, '1'));
    QCOMPARE(state(listButtons), QString(8, '0'));
    QVERIFY(!ui.exportToolbarItem->isEnabled());
    QCOMPARE(toolbar().count('0'), 1);
    QVERIFY(!ui.lableDragAndDrop->isHidden());

    // Busy: everything off, the drop hint hidden.
    delegate->files().append(FileItem::makeForTesting("/x/a.tif", 1, 0));
    delegate->resetView(false);
    QCOMPARE(state(adding + listButtons), QString(14, '0'));
    QCOMPARE(toolbar().count('1'), 0);
    QVERIFY(ui.lableDragAndDrop->isHidden());

    // Idle with a list: all on.
    delegate->resetView(true);
    QCOMPARE(state(adding + listButtons), QString(14, '1'));
    QCOMPARE(toolbar().count('0'), 0);
    QVERIFY(ui.lableDragAndDrop->isHidden());

    // The export item follows the view state without a toolbar too.
    delete ui.mainToolBar;
    ui.mainToolBar = nullptr;
    delegate->resetView(false);
    QVERIFY(!ui.exportToolbarItem->isEnabled());
    delegate->resetView(true);
    QVERIFY(ui.exportToolbarItem->isEnabled());
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
