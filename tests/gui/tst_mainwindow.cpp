#include "app/FolimeterAppDelegate.h"
#include "ui_MainWindow.h"

#include <QMainWindow>
#include <QtTest>

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void startsWithTitleAndEmptyList();
    void resetViewOnEmptyListEnabled();
    void resetViewOnFullListDisabled();
    void windowWithoutToolbar();
};

void MainWindowTest::startsWithTitleAndEmptyList()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    QCOMPARE(delegate.window()->windowTitle(), QStringLiteral("Folimeter"));
    QVERIFY(delegate.files().isEmpty());
    QVERIFY(!delegate.isProcessing());
    QCOMPARE(delegate.ui()->mainTableView->contextMenu(), delegate.filesContextMenu());
    QVERIFY(delegate.ui()->mainTableView->acceptDrops());
}

void MainWindowTest::resetViewOnEmptyListEnabled()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();
    delegate.resetView(true);
    for (QWidget* enabled : {static_cast<QWidget*>(ui.importBtn), static_cast<QWidget*>(ui.addFilesBtn),
                             static_cast<QWidget*>(ui.addFolderBtn), static_cast<QWidget*>(ui.searchBtn),
                             static_cast<QWidget*>(ui.inculdeSubfoldersBtn), static_cast<QWidget*>(ui.mainTableView)})
        QVERIFY2(enabled->isEnabled(), qPrintable(enabled->objectName()));
    for (QWidget* disabled :
         {ui.removeBtn, ui.openFileButton, ui.getInfoButton, ui.openEnclosedFolderButton, ui.selectAllButton,
          ui.deselectAllButton, ui.removeSelectedFilesButton, ui.removeAllFilesButton})
        QVERIFY2(!disabled->isEnabled(), qPrintable(disabled->objectName()));
    for (QAction* action : ui.mainToolBar->actions()) {
        if (action == ui.exportToolbarItem)
            QVERIFY(!action->isEnabled());
        else
            QVERIFY2(action->isEnabled(), qPrintable(action->objectName()));
    }
    QVERIFY(!ui.lableDragAndDrop->isHidden());
}

void MainWindowTest::resetViewOnFullListDisabled()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();
    delegate.files().append(FileItem::makeForTesting("/x/a.tif", 1, 0));
    delegate.resetView(false);
    for (QWidget* w : {static_cast<QWidget*>(ui.removeBtn), static_cast<QWidget*>(ui.importBtn),
                       static_cast<QWidget*>(ui.addFilesBtn), static_cast<QWidget*>(ui.addFolderBtn),
                       static_cast<QWidget*>(ui.searchBtn), static_cast<QWidget*>(ui.inculdeSubfoldersBtn),
                       static_cast<QWidget*>(ui.mainTableView), static_cast<QWidget*>(ui.openFileButton),
                       static_cast<QWidget*>(ui.removeAllFilesButton)})
        QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    for (QAction* action : ui.mainToolBar->actions())
        QVERIFY2(!action->isEnabled(), qPrintable(action->objectName()));
    QVERIFY(ui.lableDragAndDrop->isHidden());

    delegate.resetView(true);
    for (QWidget* w : {ui.removeBtn, ui.openFileButton, ui.getInfoButton, ui.openEnclosedFolderButton,
                       ui.selectAllButton, ui.deselectAllButton, ui.removeSelectedFilesButton, ui.removeAllFilesButton})
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    QVERIFY(ui.exportToolbarItem->isEnabled());
    QVERIFY(ui.lableDragAndDrop->isHidden());
}

void MainWindowTest::windowWithoutToolbar()
{
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();
    delete ui.mainToolBar;
    ui.mainToolBar = nullptr;
    delegate.files().append(FileItem::makeForTesting("/x/a.tif", 1, 0));
    delegate.resetView(true);
    QVERIFY(ui.exportToolbarItem->isEnabled());
    delegate.resetView(false);
    QVERIFY(!ui.exportToolbarItem->isEnabled());
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
