#pragma once

#include "gather/CollectionJob.h"
#include "model/FileList.h"

#include <QByteArray>

#include <atomic>
#include <mutex>
#include <vector>

// A collection job's host without a window: the list lives here, "main-thread" steps run on
// the job's own thread under a lock, and there is no view to disable, sort or reload (the
// list keeps the order in which files were found, as the window's does with no sort chosen).
class HeadlessJobHost : public JobHost {
public:
    struct UnreadablePath {
        QByteArray nativePath;
        int error = 0;
    };

    bool performOnMain(const std::function<void()>& fn) override;
    bool isProcessing() const override { return m_isProcessing; }
    FileList& files() override { return m_files; }
    void updateTotalPagesLabel() override {}
    void pathUnreadable(const QByteArray& nativePath, int error) override;

    void resetView(bool) override {}
    void startProcess() override {}
    void stopProcess() override {}
    void sortFilesAndReload() override {}
    // The list is written out as soon as the job ends.
    bool keepsDatesOfCount() const override { return true; }

    // Asks the running job to stop at its next check. Any thread.
    void cancel() { m_isProcessing = false; }

    // The paths reported unreadable since the last call, in the order reported. Any thread.
    std::vector<UnreadablePath> takeUnreadable();

private:
    std::mutex m_listMutex;
    FileList m_files;
    std::atomic_bool m_isProcessing{true};
    std::mutex m_unreadableMutex;
    std::vector<UnreadablePath> m_unreadable;
};
