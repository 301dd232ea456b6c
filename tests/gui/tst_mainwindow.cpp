// The main window: its view state, the list commands by every route, sorting, the table's
// cells, the actions on the selected files, the agreement viewer and the marked key characters.
// The file actions talk to a stand-in file manager on a private session bus: ctest runs this
// test under dbus-run-session, and a second connection of this process plays
// org.freedesktop.FileManager1.

#include "ListWindowFixture.h"

#include "app/ButtonKeyCharacter.h"
#include "list/Exporter.h"
#include "list/FileManagerClient.h"
#include "list/FilePropertiesDialog.h"
#include "windows/AboutWindowController.h"
#include "windows/EULAWindowController.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QHeaderView>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>
#include <QToolBar>
#include <QtTest>

using namespace listfixture;

// Records each call as its method and URIs.
class FakeFileManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList calls;

public slots:
    void ShowItems(const QStringList& uris, const QString&) { record("ShowItems ", uris); }
    void ShowItemProperties(const QStringList& uris, const QString&) { record("ShowItemProperties ", uris); }

private:
    void record(const QString& method, const QStringList& uris) { calls << method + uris.join(' '); }
};

namespace {

// Which of the window's widgets and actions named in `names` are enabled, as a string of 0 and 1;
// with no names, which of the toolbar's items.
QString enabled(const FolimeterAppDelegate& delegate, const QString& names = {})
{
    QList<const QObject*> items;
    for (const QString& name : names.split(' ', Qt::SkipEmptyParts))
        items << delegate.window()->findChild<QObject*>(name);
    for (const QAction* action : names.isEmpty() ? delegate.ui()->mainToolBar->actions() : QList<QAction*>())
        items << action;
    QString bits;
    for (const QObject* item : items)
        bits += item->property("enabled").toBool() ? '1' : '0';
    return bits;
}

QString marks(const FolimeterAppDelegate& delegate)
{
    QString bits;
    for (const FileItemPtr& item : delegate.files())
        bits += item->isSelected() ? '1' : '0';
    return bits;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void viewStateFollowsTheListAndTheJob();
    void buttonsFollowTheSelection();
    void commands_data();
    void commands();
    void cellsCheckBoxesAndCopy();
    void windowAtItsDefaultSizeShowsEveryColumn();
    void fileActions_data();
    void fileActions();
    void aboutAndAgreement();
    void keyCharacterMarking();
};

void MainWindowTest::viewStateFollowsTheListAndTheJob()
{
    auto delegate = makeWindow();
    const QString controls =
        "importBtn addFilesBtn addFolderBtn searchBtn inculdeSubfoldersBtn mainTableView "
        "removeBtn selectAllButton deselectAllButton removeAllFilesButton removeSelectedFilesButton";
    // Idle with an empty list, busy with a list, idle with a list: the controls, the toolbar
    // (About, a separator, add files and folder, import, export) and the drop hint.
    QCOMPARE(enabled(*delegate, controls) + enabled(*delegate), QString("11111100000111110"));
    QVERIFY(delegate->ui()->lableDragAndDrop->isVisible());
    delegate->files().append(FileItem::makeForTesting("/x/a.tif", 1, 0));
    delegate->resetView(false);
    QCOMPARE(enabled(*delegate, controls) + enabled(*delegate), QString(17, '0'));
    QVERIFY(delegate->ui()->lableDragAndDrop->isHidden());
    delegate->resetView(true);
    QCOMPARE(enabled(*delegate, controls) + enabled(*delegate), QString(17, '1'));
}

void MainWindowTest::buttonsFollowTheSelection()
{
    auto delegate = makeWindow({"A", "B", "C"});
    // The rows selected, then up, down, the three single-file buttons and the Move Up item.
    for (const auto& [rows, expected] : QList<std::pair<QString, QString>>{
             {"0", "011110"}, {"12", "100001"}, {"02", "000000"}, {"1", "111111"}, {"", "000000"}}) {
        selectRows(*delegate, rows);
        QCOMPARE(enabled(*delegate, "moveUpButton moveDownButton openFileButton getInfoButton "
                                    "openEnclosedFolderButton moveUpMenuItem"),
                 expected);
        QCOMPARE(delegate->ui()->labelTotalFiles->text(), totalsOf(*delegate, rows));
    }
}

void MainWindowTest::commands_data()
{
    // Each command by one of its routes (a button, a menu item, a context menu item, a key; and
    // the answer to its alert) over A..E with D unchecked: the rows selected, then the list, its
    // check marks and the rows selected after it.
    QTest::addColumn<QStringList>("state");
    QTest::newRow("button selectAllButton") << QStringList{"2", "ABCDE", "11101", "01234"};
    QTest::newRow("button deselectAllButton") << QStringList{"23", "ABCDE", "11101", "0"};
    QTest::newRow("button removeBtn") << QStringList{"12", "ADE", "101", "12"};
    QTest::newRow("item removeSelectedMenuItem") << QStringList{"04", "BCD", "110", "0"};
    QTest::newRow("key Ctrl+Shift+Backspace") << QStringList{"3", "ABCE", "1111", "3"};
    QTest::newRow("button removeAllFilesButton No") << QStringList{"12", "ABCDE", "11101", "12"};
    QTest::newRow("item removeAllMenuItem Yes") << QStringList{"12", "", "", ""};
    QTest::newRow("button moveUpButton") << QStringList{"23", "ACDBE", "11011", "12"};
    QTest::newRow("key Ctrl+Up") << QStringList{"13", "BADCE", "11011", "02"};
    QTest::newRow("item moveDownMenuItem") << QStringList{"12", "ADBCE", "10111", "23"};
    QTest::newRow("key Ctrl+Down") << QStringList{"24", "ABCDE", "11101", "24"};
    QTest::newRow("context Invert") << QStringList{"13", "ABCDE", "10111", "13"};
    QTest::newRow("item uncheckSelectedMenuItem") << QStringList{"03", "ABCDE", "01101", "03"};
    QTest::newRow("item invertAllMenuItem") << QStringList{"1", "ABCDE", "00010", "1"};
}

void MainWindowTest::commands()
{
    QFETCH(QStringList, state);
    const QString &selected = state[0], &after = state[1], &checks = state[2], &selectedAfter = state[3];
    auto delegate = makeWindow({"A", "B", "C", "D", "E"});
    delegate->files().at(3)->setIsSelected(false);
    selectRows(*delegate, selected);
    const QStringList route = QString(QTest::currentDataTag()).split(' ');
    QString alert;
    const auto run = [&] {
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                alert = box->windowTitle() + ": " + box->text();
                for (QAbstractButton* button : box->buttons())
                    button->text() == route.value(2) ? button->click() : void();
            }
        });
        if (route[0] == "button")
            delegate->window()->findChild<QAbstractButton*>(route[1])->click();
        else if (route[0] == "item")
            delegate->window()->findChild<QAction*>(route[1])->trigger();
        for (QAction* item : delegate->filesContextMenu()->actions())
            route[0] == "context" && item->text() == route[1] ? item->trigger() : void();
        if (route[0] == "key")
            QTest::keyClick(delegate->ui()->mainTableView, QKeySequence(route[1])[0].key(),
                            QKeySequence(route[1])[0].keyboardModifiers());
        QCoreApplication::processEvents();
    };
    // While a job runs, the flag alone holds every route off, and no alert opens: the view state
    // leaves the move buttons and the menus enabled.
    delegate->setIsProcessing(true);
    run();
    QCOMPARE(names(*delegate) + " " + marks(*delegate) + " " + selectedRows(*delegate) + alert,
             "ABCDE 11101 " + selected);
    delegate->setIsProcessing(false);
    run();
    QCOMPARE(names(*delegate) + " " + marks(*delegate) + " " + selectedRows(*delegate),
             after + " " + checks + " " + selectedAfter);
    QCOMPARE(delegate->ui()->labelTotalFiles->text(), totalsOf(*delegate, selectedAfter));
    // After the refresh, as after a selection change: the single-file commands need one row.
    QCOMPARE(enabled(*delegate, "openFileButton getInfoButton openEnclosedFolderButton"),
             QString(3, selectedAfter.size() == 1 ? '1' : '0'));
    QCOMPARE(alert, route.size() > 2 ? "Folimeter: Are you sure to remove all file(s)?" : "");
    QCOMPARE(delegate->ui()->lableDragAndDrop->isVisible(), after.isEmpty());
}

void MainWindowTest::cellsCheckBoxesAndCopy()
{
    auto delegate = makeWindow({"A", "B"});
    delegate->files().append(FileItem::makeForTesting("/list/locked.pdf", 0, 1024, true));
    delegate->files().append(FileItem::makeForTesting("/a\tb/new\nline.tif", 5, 0));
    delegate->refreshAfterListChange();
    FileTableModel* model = delegate->tableModel();
    // The check box column edits its item alone and refreshes the totals; no other column edits.
    delegate->ui()->labelTotalFiles->setText("stale");
    QVERIFY(model->setData(model->index(1, 0), Qt::Unchecked, Qt::CheckStateRole));
    QVERIFY(!model->setData(model->index(0, 1), Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(marks(*delegate), QString("1011"));
    QCOMPARE(delegate->ui()->labelTotalFiles->text(), totalsOf(*delegate, ""));
    // Control characters show as symbols; the name's and the folder's tool tips hold the whole
    // text. The lock marks the name of a protected file only.
    const auto cell = [&](int row, int column, int role) { return model->index(row, column).data(role).toString(); };
    QCOMPARE(cell(3, 1, Qt::DisplayRole) + " " + cell(3, 1, Qt::ToolTipRole) + " " + cell(3, 8, Qt::ToolTipRole),
             QString("new\u21B5line.tif new\u21B5line.tif /a\u21E5b"));
    QCOMPARE(cell(2, 1, Qt::ToolTipRole), QString("locked.pdf\nPassword protected"));
    QVERIFY(!model->index(2, 1).data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!model->index(1, 1).data(Qt::DecorationRole).isValid());
    // Copy (Ctrl+C, or the Edit menu's item): the selected rows as plain text in the export's
    // form, header first.
    selectRows(*delegate, "31");
    const QString copied =
        exporter::headerLine() + exporter::line(*delegate->files().at(1)) + exporter::line(*delegate->files().at(3));
    QTest::keyClick(delegate->ui()->mainTableView, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), copied);
    QGuiApplication::clipboard()->clear();
    delegate->ui()->copyMenuItem->trigger();
    QCOMPARE(QGuiApplication::clipboard()->mimeData()->data("text/plain"), copied.toUtf8());
    // A click on a column's header sorts by it (not while a job runs); the same rows stay
    // selected, not the same items.
    selectRows(*delegate, "12");
    delegate->setIsProcessing(true);
    QVERIFY(!model->setData(model->index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
    delegate->tableViewHeaderClicked(int(FileTableModel::Column::Pages));
    delegate->setIsProcessing(false);
    QCOMPARE(names(*delegate, " "), QString("A B locked new\nline"));
    delegate->tableViewHeaderClicked(int(FileTableModel::Column::Name));
    delegate->tableViewHeaderClicked(int(FileTableModel::Column::Pages));
    QCOMPARE(names(*delegate, " ") + " " + selectedRows(*delegate), QString("locked A B new\nline 12"));
    QCOMPARE(delegate->ui()->labelTotalFiles->text(), totalsOf(*delegate, "12"));
    // Columns are told apart by their exact identifiers.
    model->setColumnIdentifiers({"ISSELECTED", "SIZEINKB", "sizeInKB"});
    QVERIFY(!model->setData(model->index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
    QVERIFY(!model->index(0, 1).data(Qt::TextAlignmentRole).isValid());
    QCOMPARE(model->headerData(2, Qt::Horizontal).toString() + model->index(0, 2).data().toString(), "Size1 KB");
}

void MainWindowTest::windowAtItsDefaultSizeShowsEveryColumn()
{
    auto delegate = makeWindow({QString(80, 'n')});
    QMainWindow* window = delegate->window();
    const CustomTableView* table = delegate->ui()->mainTableView;
    const QHeaderView* header = table->horizontalHeader();
    window->resize(delegate->defaultWindowSize({1366, 768}));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    // Each column whole, with its title and sort indicator, a date whole; no horizontal scroll.
    QString whole;
    for (int column = 0; column < header->count(); ++column)
        whole +=
            header->sectionSize(column) >= header->sectionSizeHint(column) &&
                    header->sectionViewportPosition(column) + header->sectionSize(column) <= table->viewport()->width()
                ? '1'
                : '0';
    QCOMPARE(whole, QString(header->count(), '1'));
    QVERIFY(!table->horizontalScrollBar()->isVisible());
    QVERIFY(table->fontMetrics().horizontalAdvance(FileItem::displayDate(QDateTime::currentDateTime())) <
            header->sectionSize(int(FileTableModel::Column::DateAccessed)));
    // Spare width goes to Name and Location; a smaller screen gives its own size.
    QList<int> before;
    for (int column = 0; column < header->count(); ++column)
        before << header->sectionSize(column);
    window->resize(window->size() + QSize(300, 0));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    for (int column = 0; column < header->count(); ++column)
        whole[column] = header->sectionSize(column) > before[column] ? '1' : '0';
    QCOMPARE(whole, QString("010000001"));
    QCOMPARE(delegate->defaultWindowSize({640, 480}), QSize(640, 480));
    // The geometry and the column widths are kept for the next launch.
    window->resize(700, 500);
    delegate->ui()->mainTableView->horizontalHeader()->resizeSection(2, 90);
    delegate->applicationShouldTerminate();
    auto next = makeWindow();
    QCOMPARE(next->window()->size(), QSize(700, 500));
    QCOMPARE(next->ui()->mainTableView->horizontalHeader()->sectionSize(2), 90);
}

void MainWindowTest::fileActions_data()
{
    QTest::addColumn<bool>("fileManager");
    QTest::newRow("file manager") << true;
    QTest::newRow("no file manager") << false;
}

void MainWindowTest::fileActions()
{
    QFETCH(bool, fileManager);
    FakeFileManager fake;
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake");
    QVERIFY2(bus.isConnected(), "no session bus: run under dbus-run-session");
    QVERIFY(!fileManager || (bus.registerObject(FileManagerClient::kPath, &fake, QDBusConnection::ExportAllSlots) &&
                             bus.registerService(FileManagerClient::kService)));
    QTemporaryDir dir;
    QStringList uris;
    auto delegate = makeWindow();
    for (const char* name : {"a.pdf", "sub dir/b #2 \u00e9.pdf", "c.pdf"}) {
        QVERIFY(QDir().mkpath(dir.filePath("sub dir")) && fixtures::writePdf(dir.filePath(name), {.pages = 3}));
        delegate->files().append(FileItem::initWithURL(QUrl::fromLocalFile(dir.filePath(name))));
        uris << QUrl::fromLocalFile(dir.filePath(name)).toString(QUrl::FullyEncoded);
    }
    delegate->refreshAfterListChange();
    QStringList opened;
    delegate->setUrlOpener([&](const QUrl& url) { return opened << url.toString(QUrl::FullyEncoded), true; });
    QSignalSpy finished(delegate->fileManager(), &FileManagerClient::callFinished);
    // Open: each selected file, in row order.
    selectRows(*delegate, "201");
    delegate->openFiles();
    QCOMPARE(opened, uris);
    opened.clear();
    // Show in Folder, then Properties: one call each with every selected file; the window does
    // not wait for the answer.
    selectRows(*delegate, "012");
    delegate->openEnclodingFolder();
    QVERIFY(fake.calls.isEmpty());
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.first().at(1).toBool(), fileManager);
    selectRows(*delegate, "12");
    delegate->getInfo();
    delegate->files().clear(); // the properties need no listed file
    delegate->refreshAfterListChange();
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(fake.calls.join('\n'),
             fileManager ? "ShowItems " + uris.join(' ') + "\nShowItemProperties " + uris.mid(1).join(' ') : "");
    // Without an answer: each folder opened once, and a properties window of the program's own.
    const QString folder = QUrl::fromLocalFile(dir.path()).toString(QUrl::FullyEncoded);
    QCOMPARE(opened.join(' '), fileManager ? "" : folder + " " + folder + "/sub%20dir");
    QCOMPARE(delegate->window()->findChildren<FilePropertiesDialog*>().size(), fileManager ? 0 : 2);
    bus.unregisterService(FileManagerClient::kService);
    QDBusConnection::disconnectFromBus("fake");
    QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(FileManagerClient::kService));
}

void MainWindowTest::aboutAndAgreement()
{
    auto delegate = makeWindow();
    // About: a fixed-size dialog without minimise and maximise buttons.
    delegate->ui()->aboutMenuItem->trigger();
    QWidget* about = delegate->aboutWindowController();
    QVERIFY(about->isVisible() && about->minimumSize() == about->maximumSize());
    QVERIFY(!(about->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    about->close();
    delegate->window()->findChild<QAction*>("licenseAgreementMenuItem")->trigger();
    EULAWindowController* viewer = delegate->eulaWindowController();
    QVERIFY(viewer->isVisible());
    // Anything but OK writes nothing; ".pdf" is added to a name without it.
    QTemporaryDir dir;
    QVERIFY(!viewer->savePanelDidEnd(dir.filePath("cancelled.pdf"), QDialog::Rejected));
    QVERIFY(!viewer->savePanelDidEnd(dir.filePath("missing/agreement.pdf"), QDialog::Accepted));
    QVERIFY(viewer->savePanelDidEnd(dir.filePath("agreement"), QDialog::Accepted));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"agreement.pdf"});
    QVERIFY(fixtures::readBytes(dir.filePath("agreement.pdf")).startsWith("%PDF-"));
}

void MainWindowTest::keyCharacterMarking()
{
    // Title, character, occurrence (1 first in any case, 2 last in exact case), and the title
    // after it, unchanged when nothing is marked.
    const QList<std::tuple<QString, QString, int, QString>> cases = {
        {"Open Folder", "o", 1, "&Open Folder"},          {"Import From File", "F", 2, "Import From &File"},
        {"Import From File", "f", 2, "Import From File"}, {"Cancel & Close", "z", 1, "Cancel & Close"},
        {"Cancel & Close", "", 1, "Cancel & Close"},      {"Save && Close", "c", 1, "Save && &Close"}};
    for (const auto& [title, keyChar, occurrence, marked] : cases) {
        QPushButton button(title);
        setButtonKeyCharacter(&button, keyChar, Qt::red, occurrence);
        QCOMPARE(button.text(), marked);
        QCOMPARE(markedKeyCharacter(&button).has_value(), marked != title);
    }
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
