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

#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

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

// A small tmpfs of its own when the test may mount one (root); unmounted when done.
class ScratchMount {
public:
    explicit ScratchMount(const QString& folder, const char* options)
        : m_folder(QFile::encodeName(folder)),
          m_mounted(::mount("tmpfs", m_folder.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0)
    {
    }
    ~ScratchMount()
    {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    bool makeReadOnly() const
    {
        return ::mount("tmpfs", m_folder.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                       nullptr) == 0;
    }

private:
    QByteArray m_folder;
    bool m_mounted;
};

// Fills what is left of the file system under `folder` with one file.
static void fillUp(const QString& folder)
{
    QFile filler(folder + "/filler");
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return;
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size()) {
    }
    const QByteArray byte(1, 'f');
    while (filler.write(byte) == 1) {
    }
}

static QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
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
    void exportToAFullDiskIsShownAndLeavesTheOldFile();
    void exportToAReadOnlyFolderIsShownAndLeavesTheOldFile();
    void quittingDuringASlowJobEndsPromptly();
    void quittingDuringAnExportEndsPromptly_data();
    void quittingDuringAnExportEndsPromptly();

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

void CollectionJobTest::exportToAFullDiskIsShownAndLeavesTheOldFile()
{
    QTemporaryDir dir;
    FolimeterAppDelegate delegate;
    for (int i = 0; i < 200; ++i)
        delegate.files().append(FileItem::makeForTesting(QByteArray("/x/file") + QByteArray::number(i) + ".tif", i, 0));
    QStringList alerts;
    delegate.showAlert = [&](const QString& message) { alerts << message; };
    const QString target = dir.filePath("list.txt");
    QVERIFY(fixtures::writeBytes(target, "old list\n"));
    ScratchMount disk(dir.path(), "size=64k");
    if (disk.mounted()) {
        // A real full disk: a small file system of its own, filled up.
        QVERIFY(fixtures::writeBytes(target, "old list\n"));
        fillUp(dir.path());
        QVERIFY(!delegate.exportToFile(target));
    } else {
        // No mounting here: a file-size limit makes writes fail the same way (EFBIG for ENOSPC).
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const rlimit small{1024, saved.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const bool exported = delegate.exportToFile(target);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        QVERIFY(!exported);
    }
    QCOMPARE(alerts.size(), 1);
    QVERIFY(alerts.first().contains(target));
    QCOMPARE(fixtures::readBytes(target), QByteArray("old list\n"));
    QVERIFY2(!folderEntries(dir.path()).join(' ').contains("list.txt."),
             qPrintable(folderEntries(dir.path()).join(' ')));
}

void CollectionJobTest::exportToAReadOnlyFolderIsShownAndLeavesTheOldFile()
{
    QTemporaryDir dir;
    FolimeterAppDelegate delegate;
    delegate.files().append(FileItem::makeForTesting("/x/a.tif", 3, 0));
    QStringList alerts;
    delegate.showAlert = [&](const QString& message) { alerts << message; };
    const QString target = dir.filePath("list.txt");
    ScratchMount disk(dir.path(), "size=64k");
    QVERIFY(fixtures::writeBytes(target, "old list\n"));
    if (disk.mounted()) {
        QVERIFY(disk.makeReadOnly()); // a read-only file system: holds for root too
    } else if (::geteuid() != 0) {
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    } else {
        QSKIP("root without mounting: no folder is read-only to this process");
    }
    QVERIFY(!delegate.exportToFile(target));
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(alerts.size(), 1);
    QVERIFY(alerts.first().contains(target));
    QCOMPARE(fixtures::readBytes(target), QByteArray("old list\n"));
    QCOMPARE(folderEntries(dir.path()), QStringList{"list.txt"});
}

// Runs quit_helper with `arguments` and checks that it ends with status 0 within a second of
// printing "quitting". Returns what it printed.
static QByteArray runQuitHelper(const QStringList& arguments)
{
    QProcess helper;
    helper.setProcessChannelMode(QProcess::SeparateChannels);
    helper.start(QCoreApplication::applicationDirPath() + "/quit_helper", arguments);
    if (!helper.waitForStarted())
        return "not started";
    QByteArray out;
    while (!out.contains("quitting\n") && helper.state() == QProcess::Running) {
        helper.waitForReadyRead(100);
        out += helper.readAllStandardOutput();
    }
    QElapsedTimer sinceQuit;
    sinceQuit.start();
    if (helper.state() == QProcess::Running)
        helper.waitForFinished(5000);
    out += helper.readAllStandardOutput();
    const qint64 elapsed = sinceQuit.elapsed();
    if (elapsed >= 1000)
        out += "\ntook " + QByteArray::number(elapsed) + " ms";
    if (helper.exitStatus() != QProcess::NormalExit || helper.exitCode() != 0)
        out += "\nexit " + QByteArray::number(helper.exitCode()) + "\n" + helper.readAllStandardError();
    return out;
}

void CollectionJobTest::quittingDuringAnExportEndsPromptly_data()
{
    QTest::addColumn<QString>("mode");
    QTest::newRow("save dialog open") << "export-dialog";
    QTest::newRow("writing") << "export-write";
}

void CollectionJobTest::quittingDuringAnExportEndsPromptly()
{
    QFETCH(QString, mode);
    QTemporaryDir dir;
    const QString target = dir.filePath("list.txt");
    QVERIFY(fixtures::writeBytes(target, "old list\n"));
    const QByteArray out = runQuitHelper({mode, target});
    QCOMPARE(out, QByteArray("quitting\n"));
    const QByteArray written = fixtures::readBytes(target);
    if (mode == "export-dialog") {
        QCOMPARE(written, QByteArray("old list\n")); // nothing was chosen, nothing written
    } else {
        // The write was under way when the quit came: it completes, whole, first.
        QVERIFY(written.startsWith("Name\tPages\t"));
        QCOMPARE(written.count('\n'), 1001);
    }
    QCOMPARE(folderEntries(dir.path()), QStringList{"list.txt"});
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
