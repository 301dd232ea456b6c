#include "ListWindowFixture.h"
#include "support/Fixtures.h"

#include <QMainWindow>
#include <QProcess>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

using namespace listfixture;

static QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

class CollectionJobTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { useScratchSettings(); }
    void jobFillsTheListAndReloadsOnlyWhenItGrew();
    void busyStateWhileRunningAndCancelKeepsWhatWasAdmitted();
    void includeSubfoldersSettingFollowsTheBox();
    void exportFailureIsShownAndLeavesTheOldFile();
    void quittingWhileBusyEndsCleanly_data();
    void quittingWhileBusyEndsCleanly();
};

void CollectionJobTest::jobFillsTheListAndReloadsOnlyWhenItGrew()
{
    QTemporaryDir dir;
    QVERIFY(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 4}));
    QVERIFY(fixtures::writeTiff(dir.filePath("b.TIFF"), {.pages = 2}));
    QVERIFY(fixtures::writePdf(dir.filePath("c.pdf"), {.pages = 10}));
    QDir().mkpath(dir.filePath("sub"));
    QVERIFY(fixtures::writePdf(dir.filePath("sub/d.pdf"), {.pages = 1}));

    auto delegate = makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    QSignalSpy resets(delegate->tableModel(), &QAbstractItemModel::modelReset);
    for (int round = 0; round < 2; ++round) {
        QVERIFY(delegate->loadURLsInBackground(Arguments{{QUrl::fromLocalFile(dir.path())}, true, false}));
        QVERIFY(delegate->waitForJob(20000));
        QCOMPARE(resets.count(), 1); // the second job over the same folder adds nothing
        QCOMPARE(delegate->tableModel()->rowCount(), 3);
        QCOMPARE(ui.labelTotalTIFFPages->text(), QStringLiteral("Total Pages TIFF : 6 PDF : 10"));
        QCOMPARE(ui.labelTotalFiles->text(), QStringLiteral("3 Total file(s); 0 file selected; Total page count of "
                                                            "selected TIFF file(s) : 0 PDF file(s) : 0"));
        QVERIFY(ui.labelTimeTaken->text().startsWith("Total Time Taken : "));
        QVERIFY(!ui.labelTimeTaken->text().contains("In Process"));
        QVERIFY(!delegate->isProcessing());
        QVERIFY(ui.loadingIndicator->isHidden());
        QVERIFY(ui.addFolderBtn->isEnabled() && ui.removeAllFilesButton->isEnabled());
    }
    QVERIFY(delegate->window()->statusBar()->currentMessage().contains("0 added"));
}

void CollectionJobTest::busyStateWhileRunningAndCancelKeepsWhatWasAdmitted()
{
    QTemporaryDir dir;
    const QString slow = makeSlowTree(dir.path(), 120);
    QVERIFY(!slow.isEmpty());
    auto delegate = makeWindow();
    Ui::MainWindow& ui = *delegate->ui();
    const Arguments arguments{{QUrl::fromLocalFile(slow)}, true, false};
    QVERIFY(delegate->loadURLsInBackground(arguments));
    QVERIFY(!delegate->loadURLsInBackground(arguments)); // one job at a time
    QTRY_VERIFY_WITH_TIMEOUT(delegate->files().size() >= 2, 20000);
    QVERIFY(delegate->isProcessing());
    QVERIFY(ui.loadingIndicator->isVisible());
    QVERIFY(!ui.addFolderBtn->isEnabled() && !ui.mainTableView->isEnabled());
    QCOMPARE(ui.labelTimeTaken->text(), QStringLiteral("Total Time Taken : In Process..."));
    QVERIFY(ui.labelTotalTIFFPages->text().startsWith("Total Pages TIFF : 0 PDF : "));

    delegate->cancelAction();
    QVERIFY(delegate->waitForJob(20000));
    const qsizetype kept = delegate->files().size();
    QVERIFY(kept >= 2 && kept < 120);
    QCOMPARE(delegate->tableModel()->rowCount(), int(kept));
    QCOMPARE(ui.labelTotalTIFFPages->text(), QStringLiteral("Total Pages TIFF : 0 PDF : %1").arg(kept * 2000));
    QVERIFY(ui.addFolderBtn->isEnabled());
    QVERIFY(!ui.labelTimeTaken->text().contains("In Process"));

    // Cancelled before the job has entered the processing state: it must still stop.
    QVERIFY(delegate->loadURLsInBackground(arguments));
    delegate->cancelAction();
    QVERIFY(delegate->waitForJob(20000));
    QVERIFY(!delegate->isProcessing());
    QCOMPARE(delegate->files().size(), kept);
    QVERIFY(delegate->loadURLsInBackground(Arguments{{}, true, false}));
    QVERIFY(delegate->waitForJob(20000));
}

void CollectionJobTest::includeSubfoldersSettingFollowsTheBox()
{
    {
        auto delegate = makeWindow();
        QVERIFY(!delegate->ui()->inculdeSubfoldersBtn->isChecked());
        delegate->ui()->inculdeSubfoldersBtn->setChecked(true);
        QVERIFY(delegate->inculdeSubfolders());
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
    for (int i = 0; i < 200; ++i)
        delegate.files().append(FileItem::makeForTesting("/x/file" + QByteArray::number(i) + ".tif", i, 0));
    QStringList alerts;
    delegate.showAlert = [&](const QString& message) { alerts << message; };
    const QString target = dir.filePath("list.txt");
    QVERIFY(delegate.exportToFile(target));
    QVERIFY(fixtures::readBytes(target).startsWith("Name\tPages"));
    QVERIFY(alerts.isEmpty());
    QVERIFY(!delegate.exportToFile(dir.filePath("missing/list.txt")));
    QCOMPARE(alerts.size(), 1);
    QVERIFY(alerts.first().contains(dir.filePath("missing/list.txt")));

    // A write that runs out of room (a file-size limit stands in for a full disk).
    QVERIFY(fixtures::writeBytes(target, "old list\n"));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const rlimit small{1024, saved.rlim_max};
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
    const bool exported = delegate.exportToFile(target);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    QVERIFY(!exported);
    QCOMPARE(alerts.size(), 2);
    QVERIFY(alerts.last().contains(target));
    QCOMPARE(fixtures::readBytes(target), QByteArray("old list\n"));
    QCOMPARE(folderEntries(dir.path()), QStringList{"list.txt"});
}

void CollectionJobTest::quittingWhileBusyEndsCleanly_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("collection job") << "job";
    QTest::newRow("save dialog open") << "export-dialog";
    QTest::newRow("writing") << "export-write";
}

// quit_helper quits the application while it is busy; it must end normally and leave the
// export target whole.
void CollectionJobTest::quittingWhileBusyEndsCleanly()
{
    QFETCH(QString, mode);
    QTemporaryDir dir;
    const QString target = dir.filePath("list.txt");
    QVERIFY(fixtures::writeBytes(target, "old list\n"));
    const QString slow = mode == "job" ? fixtures::writeStuckTree(dir.path()) : QString();
    QProcess helper;
    helper.start(QCoreApplication::applicationDirPath() + "/quit_helper",
                 mode == "job" ? QStringList{slow} : QStringList{mode, target});
    QVERIFY(helper.waitForFinished(20000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
    QCOMPARE(helper.readAllStandardOutput(), QByteArray(mode == "job" ? "running\nquitting\n" : "quitting\n"));
    const QByteArray written = fixtures::readBytes(target);
    if (mode == "export-write") {
        // The write was under way when the quit came: it completes, whole, first.
        QVERIFY(written.startsWith("Name\tPages\t"));
        QCOMPARE(written.count('\n'), 1001);
    } else {
        QCOMPARE(written, QByteArray("old list\n")); // nothing was chosen, nothing written
    }
    QCOMPARE(folderEntries(dir.path()).filter("list.txt"), QStringList{"list.txt"});
}

QTEST_MAIN(CollectionJobTest)
#include "tst_collectionjob.moc"
