// The controller's side of gathering: the choosers, the job's thread and processing state,
// Cancel, and the include-subfolders setting.

#include "app/FolimeterAppDelegate.h"

#include "app/Constants.h"
#include "app/MainThread.h"
#include "app/Platform.h"
#include "app/Utilities.h"
#include "gather/CollectionJob.h"
#include "gather/LocalPath.h"
#include "list/Totals.h"
#include "model/CountingWorker.h"
#include "ui_MainWindow.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMainWindow>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <thread>

namespace {

// The controller as the window side of a job running on another thread.
class ControllerJobHost : public JobHost {
public:
    explicit ControllerJobHost(FolimeterAppDelegate& controller) : m_controller(controller) {}

    bool performOnMain(const std::function<void()>& fn) override { return performOnMainThread(fn); }
    bool isProcessing() const override { return m_controller.isProcessing(); }
    FileList& files() override { return m_controller.files(); }
    void updateTotalPagesLabel() override { m_controller.updateTotalPagesLabel(); }
    void resetView(bool enable) override { m_controller.resetView(enable); }
    void startProcess() override { m_controller.startProcess(); }
    void stopProcess() override { m_controller.stopProcess(); }
    void sortFilesAndReload() override { m_controller.sortFilesAndReload(); }

private:
    FolimeterAppDelegate& m_controller;
};

QString fileTypeFilter()
{
    QStringList patterns;
    for (const QString& type : allowedFileTypes())
        patterns << QStringLiteral("*.") + type;
    return QStringLiteral("TIFF and PDF files (%1)").arg(patterns.join(QLatin1Char(' ')));
}

} // namespace

void FolimeterAppDelegate::setupGathering()
{
    Ui::MainWindow& ui = *m_ui;
    ui.inculdeSubfoldersBtn->setChecked(inculdeSubfolders());
    connect(ui.inculdeSubfoldersBtn, &QAbstractButton::toggled, this,
            [this](bool checked) { setInculdeSubfolders(checked); });
    connect(ui.addFilesBtn, &QAbstractButton::clicked, this, [this] { addFiles(); });
    connect(ui.addFolderBtn, &QAbstractButton::clicked, this, [this] { addFolder(); });
    connect(ui.addFilesMenuItem, &QAction::triggered, this, [this] { addFiles(); });
    connect(ui.addFolderMenuItem, &QAction::triggered, this, [this] { addFolder(); });
    connect(ui.cancelBtn, &QAbstractButton::clicked, this, [this] { cancelAction(); });
    connect(ui.exportToolbarItem, &QAction::triggered, this, [this] { exportAction(); });
    ui.loadingIndicator->setVisible(false);
    // The busy bar keeps its place while hidden, and takes the width the buttons give it (its
    // policy in the layout ignores its own hint), so nothing moves when a job starts or ends.
    QSizePolicy barPolicy = ui.loadingIndicator->sizePolicy();
    barPolicy.setRetainSizeWhenHidden(true);
    ui.loadingIndicator->setSizePolicy(barPolicy);
    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(100); // at most ten refreshes a second
    connect(m_progressTimer, &QTimer::timeout, this, [this] { showJobProgress(); });
}

bool FolimeterAppDelegate::inculdeSubfolders() const
{
    return platform::userDefaultBool(QLatin1String(constants::kIncludeSubfoldersKey));
}

void FolimeterAppDelegate::setInculdeSubfolders(bool include)
{
    platform::setUserDefaultBool(QLatin1String(constants::kIncludeSubfoldersKey), include);
}

void FolimeterAppDelegate::addFiles()
{
    endEditing();
    auto* dialog = new QFileDialog(m_window.get(), QStringLiteral("Select TIFF and PDF File(s):"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilter(fileTypeFilter());
    connect(dialog, &QFileDialog::finished, this, [this, dialog](int result) {
        openPanelDidEnd(result == QDialog::Accepted, dialog->selectedUrls(), false);
    });
    dialog->open();
}

void FolimeterAppDelegate::addFolder()
{
    endEditing();
    auto* dialog = new QFileDialog(m_window.get(), QStringLiteral("Select folder(s) contains TIFF and PDF File(s):"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setNameFilter(fileTypeFilter());
    // Qt's own dialog, so that several folders can be chosen at once (the portal and the
    // native dialogs take one folder only).
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    for (auto* view : dialog->findChildren<QAbstractItemView*>())
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    connect(dialog, &QFileDialog::finished, this,
            [this, dialog](int result) { openPanelDidEnd(result == QDialog::Accepted, dialog->selectedUrls(), true); });
    dialog->open();
}

void FolimeterAppDelegate::openPanelDidEnd(bool accepted, const QList<QUrl>& urls, bool isFolders)
{
    if (!accepted)
        return;
    loadURLsInBackground(Arguments{urls, isFolders, m_ui->inculdeSubfoldersBtn->isChecked()});
}

bool FolimeterAppDelegate::loadURLsInBackground(Arguments arguments)
{
    // One job at a time, whatever route asks: the list is appended to without a lock.
    if (isProcessing() || hasRunningJob())
        return false;
    ++m_runningJobs;
    m_cancelRequested = false;
    // The helpers a Cancel ended before start again for this job's files, on first need.
    CountingWorker::resume();
    m_jobProgress.found = 0;
    m_jobProgress.admitted = 0;
    m_jobProgress.pages = 0;
    const int threads = std::max(1, QThread::idealThreadCount());
    std::thread([this, arguments = std::move(arguments), threads] {
        ControllerJobHost host(*this);
        ::loadURLs(host, &arguments, threads, &m_jobProgress);
        // Named files that arrived during the job start now. Posted while the count still holds
        // this object alive (the destructor waits for it); a post to a destroyed object is dropped.
        QMetaObject::invokeMethod(this, &FolimeterAppDelegate::startNamedFiles, Qt::QueuedConnection);
        --m_runningJobs;
    }).detach();
    return true;
}

void FolimeterAppDelegate::addNamedFiles(const QList<QByteArray>& paths)
{
    const QByteArray currentFolder = localpath::currentFolder();
    for (const QByteArray& path : paths) {
        const QUrl url = localpath::fileUrl(path, currentFolder);
        if (!url.isEmpty() && !m_namedFiles.contains(url))
            m_namedFiles.append(url);
    }
    startNamedFiles();
}

void FolimeterAppDelegate::startNamedFiles()
{
    if (m_namedFiles.isEmpty() || isProcessing())
        return; // none wait, or the running job's thread asks again as it ends
    if (hasRunningJob()) {
        // A job's thread in its last step, or a cancelled job still ending: ask again shortly.
        QTimer::singleShot(10, this, &FolimeterAppDelegate::startNamedFiles);
        return;
    }
    loadURLsInBackground(Arguments{std::exchange(m_namedFiles, {}), true, m_ui->inculdeSubfoldersBtn->isChecked()});
}

bool FolimeterAppDelegate::waitForJob(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (hasRunningJob() && timer.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return !hasRunningJob();
}

void FolimeterAppDelegate::startProcess()
{
    // A Cancel that came after the job was started but before it got here still counts:
    // raising the flag regardless would lose it and let the whole job run.
    setIsProcessing(!m_cancelRequested.load());
    m_ui->loadingIndicator->setVisible(true);
    m_startTime = QDateTime::currentDateTime();
    updateTimeTakenLabel(QStringLiteral("Total Time Taken : In Process..."));
    m_ui->lableDragAndDrop->setHidden(!m_files.isEmpty());
    showJobProgress();
    m_progressTimer->start();
}

void FolimeterAppDelegate::stopProcess()
{
    setIsProcessing(false);
    m_ui->lableDragAndDrop->setHidden(!m_files.isEmpty());
    m_ui->loadingIndicator->setVisible(false);
    m_endTime = QDateTime::currentDateTime();
    updateTotalLabel();
    updateTimeTakenLabel(timeTakenString(m_startTime, m_endTime));
    m_progressTimer->stop();
    showJobProgress();
}

void FolimeterAppDelegate::showJobProgress()
{
    const QString text = tr("%1 file(s) found, %2 added, %3 page(s)")
                             .arg(m_jobProgress.found.load())
                             .arg(m_jobProgress.admitted.load())
                             .arg(m_jobProgress.pages.load());
    m_window->statusBar()->showMessage(text, isProcessing() ? 0 : 10000);
}

void FolimeterAppDelegate::updateTimeTakenLabel(const std::optional<QString>& text)
{
    try {
        m_ui->labelTimeTaken->setText(text ? *text : QStringLiteral("Total Time Taken : %1").arg("0 sec(s)"));
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(updateTimeTakenLabel:)"), QString::fromUtf8(e.what()));
    }
    m_ui->labelTimeTaken->repaint();
}

void FolimeterAppDelegate::cancelAction()
{
    m_cancelRequested = true;
    setIsProcessing(false);
    // A file the libraries are counting would hold the job up to the count's time bound; its
    // helper is ended instead, and the file is left out of the list.
    CountingWorker::stopAll();
}
