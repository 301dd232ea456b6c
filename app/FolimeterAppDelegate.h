#pragma once

#include "gather/Arguments.h"
#include "model/FileList.h"

#include <QDateTime>
#include <QObject>

#include <atomic>
#include <memory>
#include <optional>

class QMainWindow;
class QMenu;
class FileTableModel;

namespace Ui {
class MainWindow;
}

// The application's one controller. It owns the file list and the state of a collection
// job, and holds every view of the main window (the outlets live in ui()).
class FolimeterAppDelegate : public QObject {
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

    // Quitting is never refused or delayed: ends field editing and answers true.
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

    // ---- Collection job ----

    // Starts one collection job with `arguments` on a new background thread, unless a job
    // is already running (then nothing happens and false is returned).
    bool loadURLsInBackground(Arguments arguments);

    // The stored include-subfolders setting ("INCLUDESUBFOLDERS").
    bool inculdeSubfolders() const;
    void setInculdeSubfolders(bool include);

    // Sorts `files` by the table's current sort descriptors and reloads the table.
    void sortFilesAndReload();

    // ---- Totals line ----

    // Both labels: file count, selected rows and their TIFF and PDF pages; whole-list pages.
    void updateTotalLabel();
    // The whole-list page label only.
    void updateTotalPagesLabel();

    // True while a collection job's thread has not yet ended.
    bool hasRunningJob() const { return m_runningJobs.load() > 0; }

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
};
