#include "app/FolimeterAppDelegate.h"
#include "list/FileTableModel.h"
#include "support/Fixtures.h"
#include "ui_MainWindow.h"

#include <QMainWindow>
#include <QProcess>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

// A folder of copies of one long PDF: slow enough that a job is still running when the
// test acts on it.
static QString makeSlowTree(const QTemporaryDir& dir, int copies)
{
    const QString folder = dir.filePath("slow");
    QDir().mkpath(folder);
    const QString first = folder + "/copy0000.pdf";
    if (!fixtures::writePdf(first, {.pages = 2000}))
        return {};
    for (int i = 1; i < copies; ++i)
        QFile::copy(first, folder + QString("/copy%1.pdf").arg(i, 4, 10, QChar('0')));
    return folder;
}

class CollectionJobTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void jobFillsTheListAndRestoresTheWindow();
    void secondJobOverTheSameFolderNeitherSortsNorReloads();
    void busyStateWhileRunningAndCancelKeepsWhatWasAdmitted();
    void oneJobAtATime();
    void includeSubfoldersSettingFollowsTheBox();
    void exportFailureIsShownAndLeavesTheOldFile();
    void quittingDuringASlowJobEndsPromptly();

private:
    QTemporaryDir m_config;
};

void CollectionJobTest::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

void CollectionJobTest::jobFillsTheListAndRestoresTheWindow()
{
    QTemporaryDir dir;
    QVERIFY(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 4}));
    QVERIFY(fixtures::writeTiff(dir.filePath("b.TIFF"), {.pages = 2}));
    QVERIFY(fixtures::writePdf(dir.filePath("c.pdf"), {.pages = 10}));
    QDir().mkpath(dir.filePath("sub"));
    QVERIFY(fixtures::writePdf(dir.filePath("sub/d.pdf"), {.pages = 1}));

    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();
    QSignalSpy resets(delegate.tableModel(), &QAbstractItemModel::modelReset);
    QVERIFY(delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(dir.path())}, true, false}));
    QVERIFY(delegate.waitForJob(20000));

    QCOMPARE(delegate.files().size(), 3);
    QCOMPARE(delegate.tableModel()->rowCount(), 3);
    QCOMPARE(resets.count(), 1);
    QCOMPARE(ui.labelTotalTIFFPages->text(), QStringLiteral("Total Pages TIFF : 6 PDF : 10"));
    QCOMPARE(ui.labelTotalFiles->text(),
             QStringLiteral(
                 "3 Total file(s); 0 file selected; Total page count of selected TIFF file(s) : 0 PDF file(s) : 0"));
    QVERIFY(ui.labelTimeTaken->text().startsWith("Total Time Taken : "));
    QVERIFY(!ui.labelTimeTaken->text().contains("In Process"));
    QVERIFY(!delegate.isProcessing());
    QVERIFY(ui.loadingIndicator->isHidden());
    QVERIFY(ui.addFolderBtn->isEnabled());
    QVERIFY(ui.removeAllFilesButton->isEnabled());
    QVERIFY(ui.lableDragAndDrop->isHidden());
    QVERIFY(delegate.endTime() >= delegate.startTime());
    QVERIFY(delegate.window()->statusBar()->currentMessage().contains("3 added"));
}

void CollectionJobTest::secondJobOverTheSameFolderNeitherSortsNorReloads()
{
    QTemporaryDir dir;
    QVERIFY(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 1}));
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    QVERIFY(delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(dir.path())}, true, false}));
    QVERIFY(delegate.waitForJob(20000));
    QSignalSpy resets(delegate.tableModel(), &QAbstractItemModel::modelReset);
    QVERIFY(delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(dir.path())}, true, false}));
    QVERIFY(delegate.waitForJob(20000));
    QCOMPARE(resets.count(), 0);
    QCOMPARE(delegate.files().size(), 1);
    QVERIFY(delegate.ui()->labelTimeTaken->text().startsWith("Total Time Taken : "));
}

void CollectionJobTest::busyStateWhileRunningAndCancelKeepsWhatWasAdmitted()
{
    QTemporaryDir dir;
    const QString slow = makeSlowTree(dir, 120);
    QVERIFY(!slow.isEmpty());
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    Ui::MainWindow& ui = *delegate.ui();
    QVERIFY(delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(slow)}, true, false}));
    QTRY_VERIFY_WITH_TIMEOUT(delegate.files().size() >= 2, 20000);
    QVERIFY(delegate.isProcessing());
    QVERIFY(ui.loadingIndicator->isVisible());
    QVERIFY(!ui.addFolderBtn->isEnabled());
    QVERIFY(!ui.mainTableView->isEnabled());
    QCOMPARE(ui.labelTimeTaken->text(), QStringLiteral("Total Time Taken : In Process..."));
    QVERIFY(ui.labelTotalTIFFPages->text().startsWith("Total Pages TIFF : 0 PDF : "));

    delegate.cancelAction();
    QVERIFY(delegate.waitForJob(20000));
    const qsizetype kept = delegate.files().size();
    QVERIFY(kept >= 2);
    QVERIFY(kept < 120);
    QCOMPARE(delegate.tableModel()->rowCount(), int(kept));
    QCOMPARE(ui.labelTotalTIFFPages->text(), QStringLiteral("Total Pages TIFF : 0 PDF : %1").arg(kept * 2000));
    QVERIFY(ui.addFolderBtn->isEnabled());
    QVERIFY(!ui.labelTimeTaken->text().contains("In Process"));
}

void CollectionJobTest::oneJobAtATime()
{
    QTemporaryDir dir;
    const QString slow = makeSlowTree(dir, 60);
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    QVERIFY(delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(slow)}, true, false}));
    QVERIFY(!delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(slow)}, true, false}));
    // Cancelled before the job has entered the processing state: it must still stop.
    delegate.cancelAction();
    QVERIFY(delegate.waitForJob(20000));
    QVERIFY(delegate.files().isEmpty());
    QVERIFY(!delegate.isProcessing());
    QVERIFY(delegate.loadURLsInBackground(Arguments{{}, true, false}));
    QVERIFY(delegate.waitForJob(20000));
}

void CollectionJobTest::includeSubfoldersSettingFollowsTheBox()
{
    {
        FolimeterAppDelegate delegate;
        delegate.awakeFromNib();
        QVERIFY(!delegate.ui()->inculdeSubfoldersBtn->isChecked());
        delegate.ui()->inculdeSubfoldersBtn->setChecked(true);
        QVERIFY(delegate.inculdeSubfolders());
    }
    FolimeterAppDelegate again;
    QVERIFY(again.ui()->inculdeSubfoldersBtn->isChecked());
    again.ui()->inculdeSubfoldersBtn->setChecked(false);
    QVERIFY(!again.inculdeSubfolders());
}

void CollectionJobTest::exportFailureIsShownAndLeavesTheOldFile()
{
    QTemporaryDir dir;
    FolimeterAppDelegate delegate;
    delegate.files().append(FileItem::makeForTesting("/x/a.tif", 3, 0));
    QStringList alerts;
    delegate.showAlert = [&](const QString& message) { alerts << message; };
    const QString target = dir.filePath("list.txt");
    QVERIFY(delegate.exportToFile(target));
    QVERIFY(fixtures::readBytes(target).startsWith("Name\tPages"));
    QVERIFY(alerts.isEmpty());
    const QString blocked = dir.filePath("missing/list.txt");
    QVERIFY(!delegate.exportToFile(blocked));
    QCOMPARE(alerts.size(), 1);
    QVERIFY(alerts.first().contains(blocked));
}

void CollectionJobTest::quittingDuringASlowJobEndsPromptly()
{
    QTemporaryDir dir;
    const QString slow = fixtures::writeStuckTree(dir.path());
    QVERIFY(!slow.isEmpty());
    QProcess helper;
    helper.setProcessChannelMode(QProcess::SeparateChannels);
    helper.start(QCoreApplication::applicationDirPath() + "/quit_helper", {slow});
    QVERIFY(helper.waitForStarted());
    QByteArray out;
    while (!out.contains("quitting\n") && helper.state() == QProcess::Running) {
        helper.waitForReadyRead(100);
        out += helper.readAllStandardOutput();
    }
    QElapsedTimer sinceQuit;
    sinceQuit.start();
    QVERIFY2(out.contains("running\nquitting\n"), out.constData());
    if (helper.state() == QProcess::Running)
        QVERIFY(helper.waitForFinished(5000));
    QVERIFY2(sinceQuit.elapsed() < 1000, qPrintable(QString::number(sinceQuit.elapsed())));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
}

QTEST_MAIN(CollectionJobTest)
#include "tst_collectionjob.moc"
