#pragma once

#include "gather/Arguments.h"
#include "gather/GatherHost.h"
#include "gather/ImportFilesWindowControllerDelegate.h"
#include "model/FileList.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QUrl>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QKeyEvent;
class QMainWindow;
class QMenu;
class QMimeData;
class FileManagerClient;
class FileTableModel;
class AboutWindowController;
class EULAWindowController;

namespace Ui {
class MainWindow;
}

// The application's one controller. It owns the file list and the state of a collection
// job, and holds every view of the main window (the outlets live in ui()).
class FolimeterAppDelegate : public QObject, public ImportFilesWindowControllerDelegate {
    Q_OBJECT
public:
    explicit FolimeterAppDelegate(QObject* parent = nullptr);
    ~FolimeterAppDelegate() override;

    // The main window and its outlets, under their own names (ui()->removeBtn, ...).
    QMainWindow* window() const { return m_window.get(); }
    Ui::MainWindow* ui() const { return m_ui.get(); }
    QMenu* filesContextMenu() const { return m_filesContextMenu; }
    FileTableModel* tableModel() const { return m_tableModel; }

    // Start-up sequence: title, empty list, context menu, marked key characters, view state,
    // toolbar and menus, drops, window to the front. Runs once.
    void awakeFromNib();

    // Sets which controls are enabled: `enable` true means the list is open to the user,
    // false that a collection job runs. Hides the drop hint exactly when the list has items.
    void resetView(bool enable);

    void updateWindowTitle();

    // Marks the key characters of the six main-window buttons (removeBtn "r", importBtn "i",
    // addFilesBtn "f", addFolderBtn "o", inculdeSubfoldersBtn "u",
    // openFolderAfterConversionBtn "p"), each in the control-text colour. Part of start-up.
    void markKeyCharacters();

    // Quitting is never refused or delayed: ends field editing, keeps the window's geometry and
    // column widths for the next launch, and answers true.
    bool applicationShouldTerminate();
    // A reopen request (a second launch): brings the window back unless it is already shown.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

    FileList& files() { return m_files; }
    const FileList& files() const { return m_files; }

    std::optional<QDateTime> startTime() const { return m_startTime; }
    void setStartTime(std::optional<QDateTime> time) { m_startTime = std::move(time); }
    std::optional<QDateTime> endTime() const { return m_endTime; }
    void setEndTime(std::optional<QDateTime> time) { m_endTime = std::move(time); }

    bool isProcessing() const { return m_isProcessing.load(); }
    void setIsProcessing(bool isProcessing) { m_isProcessing.store(isProcessing); }
    // The flag itself, polled by a collection job's thread.
    const std::atomic_bool& processingFlag() const { return m_isProcessing; }

    // Reloads the table from the list, keeping the selected row numbers that are still rows.
    void reloadTable();

    // Makes the main window end any field editing in progress.
    void endEditing();

    // The window's size at first launch on a screen whose available size is `available`: every
    // column shows with its title, and Name and Location share the spare width; the available
    // size when it is smaller.
    QSize defaultWindowSize(const QSize& available) const;

    // ---- Collection job ----

    // Starts one collection job with `arguments` on a new background thread, unless a job
    // is already running (then nothing happens and false is returned).
    bool loadURLsInBackground(Arguments arguments);
    // Files and folders named at launch or by a later launch (paths in their bytes, relative
    // ones against the current folder): one collection job, as a drop of them starts, with the
    // include-subfolders setting. While a job runs they wait, and start when it has ended.
    void addNamedFiles(const QList<QByteArray>& paths);

    // The stored include-subfolders setting ("INCLUDESUBFOLDERS").
    bool inculdeSubfolders() const;
    void setInculdeSubfolders(bool include);

    // Sorts `files` by the table's current sort descriptors and reloads the table.
    void sortFilesAndReload();

    // The Add Files and Add Folder choosers (window-modal); a confirmed choice starts a job.
    void addFiles();
    void addFolder();
    void openPanelDidEnd(bool accepted, const QList<QUrl>& urls, bool isFolders);
    // Processing state of a job, on the main thread.
    void startProcess();
    void stopProcess();
    // Sets the time-taken label; none gives "Total Time Taken : 0 sec(s)".
    void updateTimeTakenLabel(const std::optional<QString>& text);
    // Asks a running job to stop.
    void cancelAction();
    // Counters of the running (or last) job, for the status bar.
    const JobProgress& jobProgress() const { return m_jobProgress; }
    // Waits, handling events, until no job runs or `timeoutMs` has passed; true when none runs.
    bool waitForJob(int timeoutMs);

    // ---- Export ----

    // Asks for a destination (window-modal save dialog) and writes the list there.
    void exportAction();
    // Writes the list to `path`; a failure is shown in an alert naming the path and reason.
    bool exportToFile(const QString& path);
    // Puts the selected rows on the clipboard as plain text in the export format, header first.
    void copyAction();
    // Shows a modal alert titled with the application title (tests may replace it).
    std::function<void(const QString& message)> showAlert;

    // ---- Totals line ----

    // Both labels: file count, selected rows and their TIFF and PDF pages; whole-list pages.
    void updateTotalLabel();
    // The whole-list page label only.
    void updateTotalPagesLabel();

    // True while a collection job's thread has not yet ended.
    bool hasRunningJob() const { return m_runningJobs.load() > 0; }

    // ---- Table presentation and sorting (list/ViewHelper.cpp) ----

    // Connects the table's model, selection, header and check boxes to the rules below.
    void setupTableView();
    // The row count. Refreshes the move buttons from the table's selection first; runs on
    // every reload.
    int numberOfRowsInTableView();
    // The selection rules: move buttons, the three single-file buttons, the totals line.
    void tableViewSelectionDidChange();
    // A click on a column's header: its key becomes the primary sort key, then the list
    // is re-sorted and reloaded. Ignored while the list is locked.
    void tableViewHeaderClicked(int column);
    // Re-sorts the list by the table's current sort descriptors and reloads the table.
    void tableViewSortDescriptorsDidChange();
    // Ends field editing in the main window; nothing else.
    void searchAction();
    // The table's selected row numbers, ascending.
    std::vector<qsizetype> selectedRows() const;
    // True while `files` must not change on the main thread: a collection job runs, or a
    // cancelled one has not yet ended.
    bool isListLocked() const { return isProcessing() || hasRunningJob(); }

    // ---- List commands (list/ListCommands.cpp) ----

    // Builds the list's context menu (check, uncheck, invert, remove) and connects the
    // buttons and menu items of the list commands with their tags.
    void setupListCommands();
    // Tag 1 select all rows, 2 select row 0 alone, 3 ask then remove all, 4 remove the
    // selected rows; other tags nothing.
    void selectDeselectRemoveAction(int tag);
    void selectDeselectRemoveAll(int tag);
    // Tag 1 check, 2 uncheck, 3 invert the selected rows' items; then refresh.
    void checkUncheckInvertSelectionAction(int tag);
    void checkUncheckInvertSelection(int tag);
    // The same over every item.
    void checkUncheckInvertAction(int tag);
    void checkUncheckInvertAll(int tag);
    // Ends field editing, then removeFiles().
    void removeAction();
    // Removes the selected rows' items; refreshes only when the list changed.
    void removeFiles();
    // Move the selected items one place; the selection follows them.
    void moveUp();
    void moveDown();
    // Reload, resetView(true), updateTotalLabel(): the refresh after a list command.
    void refreshAfterListChange();

    // ---- File actions (list/FileActions.cpp) ----

    void openFileWithFinder();
    void openFileEnclosingFolder();
    void getInfoFile();
    // Opens each selected file with its default application, in row order.
    void openFiles();
    // Shows all selected files in the file manager in one call; without a file manager,
    // opens each containing folder.
    void openEnclodingFolder();
    // Opens the file manager's properties window for the selected files; without a file
    // manager, an in-app properties window for each.
    void getInfo();
    // Opens a URL with the desktop (default: QDesktopServices::openUrl).
    using UrlOpener = std::function<bool(const QUrl&)>;
    void setUrlOpener(UrlOpener opener);
    // The file manager's D-Bus client, made on first use.
    FileManagerClient* fileManager();

    // ---- Toolbar, menus and keys (app/FolimeterAppDelegateHelper.cpp) ----

    // Puts the application title into the menus in place of the product name.
    void setupVersion();
    // Window title, the toolbar's About item (once), the agreement menu item
    // ("licenseAgreementMenuItem", index 4 of the application menu, Ctrl+L).
    void setupToolbarAndMenuItems();
    // A new toolbar item for "ABOUT" (object name "ABOUT"), null for any other identifier.
    QAction* toolbarItemForIdentifier(const QString& identifier, bool willBeInserted);
    // Ctrl+Up / Ctrl+Down on the list: the move command, while its button is enabled.
    void keyDownTableView(QKeyEvent* event);
    void openAppAction();
    void websiteAction();

    // ---- Drops onto the list (gather/DragAndDrop.cpp) ----

    // Makes the table a drop target for file and folder URLs.
    void registerForDraggedTypes();
    // Whether a drag carrying `data` from `source` may be dropped on the list.
    bool tableViewValidateDrop(const QMimeData* data, const QObject* source) const;
    // Takes a drop: starts one collection job over its local URLs; false when none started.
    bool tableViewAcceptDrop(const QMimeData* data);

private:
    std::unique_ptr<QMainWindow> m_window;
    std::unique_ptr<Ui::MainWindow> m_ui;
    QMenu* m_filesContextMenu = nullptr;
    FileTableModel* m_tableModel = nullptr;

    FileList m_files;
    std::optional<QDateTime> m_startTime;
    std::optional<QDateTime> m_endTime;
    std::atomic_bool m_isProcessing{false};
    std::atomic_int m_runningJobs{0};
    std::atomic_bool m_cancelRequested{false}; // Cancel since the last job was started
    JobProgress m_jobProgress;
    class QTimer* m_progressTimer = nullptr;

    UrlOpener m_urlOpener;
    FileManagerClient* m_fileManager = nullptr;

    void setupGathering();
    void setupColumns();
    void showJobProgress();
    // Starts the named files that wait, once no job runs.
    void startNamedFiles();
    QList<QUrl> m_namedFiles;

    // ---- Import-list dialog and auxiliary windows (gather/ImportFilesPanel.cpp,
    //      windows/AuxiliaryWindows.cpp) ----
public:
    // Connects the Import button and menu item and the About menu item. Run once, at start-up.
    void setupImportAndWindowActions();
    // Connects the toolbar's About item and the agreement menu item, once they exist.
    void connectAboutAndAgreementItems();

    // The Import command: ends editing in the main window, then opens the import dialog.
    void importAction();
    // Makes the import dialog on first use, resets it and shows it window-modal.
    void openImportFilesPanel();
    // Starts one collection job (files only) for the dialog's files, if it has any.
    void ImportFilesWindowControllerDidFinish(ImportFilesWindowController* controller) override;
    ImportFilesWindowController* importFilesPanel() const;

    // A freshly made About window / agreement viewer, window-modal on the main window; the
    // previous one is released first.
    void aboutAction();
    void showLicenseAgreement();
    AboutWindowController* aboutWindowController() const;
    EULAWindowController* eulaWindowController() const;

private:
    QPointer<ImportFilesWindowController> m_importFilesPanel;
    QPointer<AboutWindowController> m_aboutWindowController;
    QPointer<EULAWindowController> m_eulaWindowController;
};
