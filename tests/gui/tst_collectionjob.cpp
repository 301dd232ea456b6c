// Gathering files in the window: the choosers and the import-list dialog, drops onto the list,
// the collection job's busy state, Cancel, one job at a time, and quitting while busy.

#include "ListWindowFixture.h"

#include "app/SingleInstance.h"
#include "gather/ImportFilesWindowController.h"
#include "ui_ImportFiles.h"

#include <QClipboard>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

using namespace listfixture;

namespace {

// Drags `urls` over the list and, when `release` is set, drops them there. Answers whether the
// list offered to take them (showing so), or took them.
bool drag(FolimeterAppDelegate& delegate, const QList<QUrl>& urls, bool release = false, QPoint at = {20, 20})
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(delegate.ui()->mainTableView->viewport(), &enter);
    if (!release)
        return enter.isAccepted() && enter.dropAction() == Qt::CopyAction &&
               delegate.ui()->mainTableView->isDropHighlighted();
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(delegate.ui()->mainTableView->viewport(), &drop);
    return drop.isAccepted();
}

} // namespace

class CollectionJobTest : public QObject {
    Q_OBJECT
private slots:
    void choosersStartAJobOrWrite();
    void importAlertsKeepTheDialogOpen_data();
    void importAlertsKeepTheDialogOpen();
    void importHandsOverOnceCancelNothing();
    void dropStartsOneJobOverTheLocalUrls();
    void busyStateCancelAndOneJobAtATime();
    void namedFilesWaitForTheRunningJob();
    void quittingWhileBusyEndsAtOnce();
};

void CollectionJobTest::choosersStartAJobOrWrite()
{
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("f/sub")) && fixtures::writeTiff(dir.filePath("a.Tif")) &&
            fixtures::writePdf(dir.filePath("f/b.pdf")) && fixtures::writePdf(dir.filePath("f/sub/c.pdf")));
    auto delegate = makeWindow();
    // The chooser, what is chosen, whether it is confirmed, and the list after it. A file chosen
    // is taken as it is ("Tif" too); a folder is scanned.
    const QList<std::tuple<QAction*, QString, bool, QString>> steps = {
        {delegate->ui()->addFilesMenuItem, "a.Tif", false, ""},
        {delegate->ui()->addFilesMenuItem, "a.Tif", true, "a"},
        {delegate->ui()->addFolderMenuItem, "f", true, "a b"},
        {delegate->ui()->exportToolbarItem, "list.txt", false, "a b"},
        {delegate->ui()->exportToolbarItem, "list.txt", true, "a b"}};
    for (const auto& [item, chosen, confirmed, after] : steps) {
        item->trigger();
        auto* chooser = delegate->window()->findChild<QFileDialog*>();
        QVERIFY(chooser && chooser->windowModality() == Qt::WindowModal);
        chooser->setDirectory(dir.path());
        chooser->selectFile(dir.filePath(chosen));
        confirmed ? static_cast<QDialog*>(chooser)->accept() : chooser->reject();
        QTRY_VERIFY(!delegate->window()->findChild<QFileDialog*>());
        QVERIFY(delegate->waitForJob(20000));
        QCOMPARE(names(*delegate, " "), after);
        QCOMPARE(QFile::exists(dir.filePath("list.txt")), item == delegate->ui()->exportToolbarItem && confirmed);
    }
    // A failed export is shown, naming the file.
    QStringList alerts;
    delegate->showAlert = [&](const QString& message) { alerts << message; };
    QVERIFY(!delegate->exportToFile(dir.filePath("missing/list.txt")));
    QVERIFY(alerts.size() == 1 && alerts.first().contains(dir.filePath("missing/list.txt")));
}

void CollectionJobTest::importAlertsKeepTheDialogOpen_data()
{
    // The mode, what is given, and the alert.
    QTest::addColumn<QStringList>("given");
    QTest::newRow("no file") << QStringList{"file", "", "Please select file to import!"};
    QTest::newRow("no entry in the file") << QStringList{"file", "list.txt", "No File(s) Found!"};
    QTest::newRow("no text") << QStringList{"text", "", "Please paste file(s) path to import!"};
    QTest::newRow("no entry in the text") << QStringList{"text", "/a/x.pdf \n/b/y", "No File(s) Found!"};
}

void CollectionJobTest::importAlertsKeepTheDialogOpen()
{
    QFETCH(QStringList, given);
    const bool textMode = given[0] == "text";
    const QString &input = given[1], &alert = given[2];
    QTemporaryDir dir;
    QVERIFY(fixtures::writeBytes(dir.filePath("list.txt"), "/a/notes.doc\n"));
    auto delegate = makeWindow();
    delegate->ui()->importBtn->click();
    ImportFilesWindowController* dialog = delegate->importFilesPanel();
    Ui::ImportFiles& ui = *dialog->ui();
    QTest::mouseClick(textMode ? ui.importFromTextBtn : ui.importFromFileBtn, Qt::LeftButton, {}, {6, 6});
    // Each mode enables its own widgets only.
    QCOMPARE(ui.importFile->isEnabled() + 2 * ui.browseBtn->isEnabled() + 4 * ui.pasteFromClipboardBtn->isEnabled(),
             textMode ? 4 : 3);
    textMode ? ui.importText->setPlainText(input) : ui.importFile->setText(input.isEmpty() ? "" : dir.filePath(input));
    ui.importBtn->click();
    QMessageBox* box = nullptr;
    QTRY_VERIFY((box = dialog->findChild<QMessageBox*>()) && box->isVisible());
    QCOMPARE(box->windowTitle() + ": " + box->text(), "Folimeter: " + alert);
    QVERIFY(dialog->isVisible() && !delegate->hasRunningJob());
}

void CollectionJobTest::importHandsOverOnceCancelNothing()
{
    QTemporaryDir dir;
    QVERIFY(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 3}) && fixtures::writePdf(dir.filePath("b.PDF")));
    auto delegate = makeWindow();
    delegate->ui()->inculdeSubfoldersBtn->setChecked(true); // files only all the same
    // Cancel while a parse is under way, Escape after it: nothing is handed over, and the next
    // opening starts empty.
    for (const bool escape : {false, true}) {
        delegate->ui()->importMenuItem->trigger();
        ImportFilesWindowController* dialog = delegate->importFilesPanel();
        QVERIFY(dialog->windowModality() == Qt::WindowModal && dialog->files().isEmpty());
        dialog->importMethodChanged(dialog->ui()->importFromTextBtn);
        QGuiApplication::clipboard()->setText(dir.filePath("a.tif"));
        dialog->pasetFromClipboardAction();
        QVERIFY(escape || dialog->isParsing()); // its result comes through this thread's events
        QTRY_VERIFY(!escape || dialog->files().size() == 1);
        escape ? QTest::keyClick(dialog, Qt::Key_Escape) : dialog->ui()->cancelBtn->click();
        QVERIFY(!dialog->isVisible() && !dialog->isParsing());
    }
    // Import: the text as it reads when Import is pressed, handed over in one job.
    delegate->importAction();
    ImportFilesWindowController* dialog = delegate->importFilesPanel();
    QVERIFY(dialog->ui()->importText->toPlainText().isEmpty());
    dialog->ui()->importText->setPlainText(dir.filePath("b.PDF") + "\n" + dir.filePath("a.tif") + "\nx.txt\n" +
                                           dir.filePath("b.PDF"));
    dialog->ui()->importBtn->click();
    QTRY_VERIFY(!dialog->isVisible());
    QVERIFY(delegate->waitForJob(20000));
    QCOMPARE(names(*delegate, " ") + " " + QString::number(delegate->jobProgress().admitted), "b a 2");
}

void CollectionJobTest::dropStartsOneJobOverTheLocalUrls()
{
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("f/sub")) && fixtures::writeTiff(dir.filePath("f/a.tif"), {.pages = 4}) &&
            fixtures::writePdf(dir.filePath("f/sub/b.pdf")) &&
            fixtures::writePdf(dir.filePath("c.pdf"), {.pages = 10}) &&
            fixtures::writeBytes(dir.filePath("d.txt"), "text"));
    const QList<QUrl> urls = {QUrl::fromLocalFile(dir.filePath("f")), QUrl::fromLocalFile(dir.filePath("c.pdf")),
                              QUrl::fromLocalFile(dir.filePath("d.txt")), QUrl("https://example.invalid/e.pdf")};
    auto delegate = makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    QSignalSpy resets(delegate->tableModel(), &QAbstractItemModel::modelReset);
    // Nothing to take: no local URL, or a drag from the list itself.
    QVERIFY(!drag(*delegate, urls.mid(3)) && drag(*delegate, urls));
    QMimeData own;
    own.setUrls(urls);
    QVERIFY(!delegate->tableViewValidateDrop(&own, ui.mainTableView->viewport()));
    // Each drop one job; only what is new is added, and the table reloaded only then. The box
    // counts as it stood at the drop; a drop onto a row is a drop onto the list.
    for (const bool subfolders : {false, true, true}) {
        ui.inculdeSubfoldersBtn->setChecked(subfolders);
        QVERIFY(drag(*delegate, urls, true, QPoint(5, resets.size() * 10)) && !ui.mainTableView->isDropHighlighted());
        ui.inculdeSubfoldersBtn->setChecked(!subfolders);
        QVERIFY(delegate->waitForJob(20000));
        QCOMPARE(names(*delegate, " "), subfolders ? "a c b" : "a c");
    }
    QCOMPARE(resets.size(), 2);
    QCOMPARE(ui.labelTotalTIFFPages->text(), QStringLiteral("Total Pages TIFF : 4 PDF : 11"));
    QVERIFY(ui.labelTimeTaken->text().startsWith("Total Time Taken : ") && ui.loadingIndicator->isHidden());
}

void CollectionJobTest::busyStateCancelAndOneJobAtATime()
{
    QTemporaryDir dir;
    const QString stuck = fixtures::writeStuckTree(dir.path()); // a quick file, then one taking seconds
    QVERIFY(!stuck.isEmpty() && fixtures::writeTiff(dir.filePath("c.tif")));
    const QList<QUrl> dropped = {QUrl::fromLocalFile(dir.filePath("c.tif"))};
    const Arguments arguments{{QUrl::fromLocalFile(stuck)}, true, false};
    auto delegate = makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    // Where the parts of the window are: nothing may move when a job starts or ends.
    const auto places = [&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QList<QRect> rects;
        for (const QWidget* part :
             QWidgetList{ui.leftBox, ui.tableArea, ui.rightBox, ui.cancelBtn, ui.loadingIndicator})
            rects << part->geometry();
        return rects;
    };
    const QList<QRect> idle = places();
    QVERIFY(delegate->loadURLsInBackground(arguments));
    QTRY_VERIFY_WITH_TIMEOUT(delegate->files().size() == 1, 20000);
    QCOMPARE(places(), idle);
    QVERIFY(delegate->isProcessing() && ui.loadingIndicator->isVisible());
    QVERIFY(!ui.addFolderBtn->isEnabled() && !ui.mainTableView->isEnabled());
    QCOMPARE(ui.labelTimeTaken->text(), QStringLiteral("Total Time Taken : In Process..."));
    QCOMPARE(ui.labelTotalTIFFPages->text(), QStringLiteral("Total Pages TIFF : 0 PDF : 1"));
    QVERIFY(!delegate->loadURLsInBackground(arguments) && !drag(*delegate, dropped));
    // Cancelled while it counts the slow file: until its thread has ended, no job starts and
    // drops are refused; the file whose count was cut off is left out.
    delegate->cancelAction();
    QVERIFY(delegate->hasRunningJob() && !delegate->isProcessing());
    QVERIFY(!delegate->loadURLsInBackground(arguments) && !drag(*delegate, dropped, true));
    QVERIFY(delegate->waitForJob(20000));
    QCOMPARE(names(*delegate, " "), QString("a-quick"));
    QVERIFY(ui.addFolderBtn->isEnabled() && !ui.labelTimeTaken->text().contains("In Process"));
    QCOMPARE(places(), idle);
    QVERIFY(drag(*delegate, dropped));
    // Cancelled before the job has entered the processing state: it stops all the same.
    QVERIFY(delegate->loadURLsInBackground(Arguments{{QUrl::fromLocalFile(dir.path())}, true, true}));
    delegate->cancelAction();
    QVERIFY(delegate->waitForJob(20000));
    QCOMPARE(delegate->files().size(), 1);
}

void CollectionJobTest::namedFilesWaitForTheRunningJob()
{
    // A later launch hands its paths (any bytes but NUL) to the running program.
    qputenv("WAYLAND_DISPLAY", "test-" + QByteArray::number(QCoreApplication::applicationPid()));
    SingleInstance first;
    SingleInstance later;
    QSignalSpy reopened(&first, &SingleInstance::reopenRequested);
    QSignalSpy named(&first, &SingleInstance::filesRequested);
    QVERIFY(!first.forwardToRunningInstance({"/not/sent"}));
    const QList<QByteArray> paths = {"/a/new\nline.pdf", "/b/caf\xe9 .tif", "//Scans"};
    QVERIFY(later.forwardToRunningInstance(paths));
    QTRY_COMPARE(named.size(), 1);
    QCOMPARE(reopened.size(), 1);
    QCOMPARE(named.first().first().value<QList<QByteArray>>(), paths);
    // Named while a job runs: they wait, then one job adds them, a folder scanned; "//" at the
    // start of a path counts as one "/".
    QTemporaryDir dir;
    const QString stuck = fixtures::writeStuckTree(dir.path());
    QVERIFY(!stuck.isEmpty() && QDir().mkpath(dir.filePath("named")) &&
            fixtures::writeTiff(dir.filePath("named/c.tif")));
    auto delegate = makeWindow();
    QVERIFY(delegate->loadURLsInBackground(Arguments{{QUrl::fromLocalFile(stuck)}, true, false}));
    QTRY_VERIFY_WITH_TIMEOUT(delegate->files().size() == 1, 20000);
    delegate->addNamedFiles({"/" + QFile::encodeName(dir.filePath("named"))});
    delegate->cancelAction();
    QTRY_COMPARE_WITH_TIMEOUT(names(*delegate, " "), QString("a-quick c"), 20000);
    QCOMPARE(delegate->files().at(1)->path(), dir.filePath("named/c.tif"));
}

// The application quits while a job counts a file that takes seconds: it ends at once, normally.
void CollectionJobTest::quittingWhileBusyEndsAtOnce()
{
    QTemporaryDir dir;
    QProcess helper;
    helper.start(QCoreApplication::applicationDirPath() + "/quit_helper", {fixtures::writeStuckTree(dir.path())});
    QVERIFY(helper.waitForFinished(20000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
    QCOMPARE(helper.readAllStandardOutput(), QByteArray("running\nquitting\n"));
}

QTEST_MAIN(CollectionJobTest)
#include "tst_collectionjob.moc"
