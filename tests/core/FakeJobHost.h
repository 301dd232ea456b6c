#pragma once

// A collection job's host for the core tests: main-thread steps run inline under a lock, and
// every call the window would see is recorded.

#include "gather/CollectionJob.h"
#include "model/FileList.h"

#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

class FakeHost : public JobHost {
public:
    bool performOnMain(const std::function<void()>& fn) override
    {
        std::lock_guard lock(m_mutex);
        fn();
        return true;
    }
    bool isProcessing() const override { return m_processing; }
    FileList& files() override { return m_files; }
    // Cancel is pressed, or the window fails, while the `cancelAfter`-th or `throwAfter`-th file
    // is admitted.
    void updateTotalPagesLabel() override
    {
        pagesAfterEachAdmission.push_back(m_files.tiffPages() + m_files.pdfPages());
        m_processing = m_processing && qsizetype(pagesAfterEachAdmission.size()) != cancelAfter;
        if (qsizetype(pagesAfterEachAdmission.size()) == throwAfter)
            throw std::runtime_error("boom");
    }
    void pathUnreadable(const QByteArray& path, int error) override { unreadable.emplace_back(path, error); }
    void scanWillVisit(const QByteArray& path) override { onVisit(path); }
    void resetView(bool enable) override { calls << (enable ? "resetView(YES)" : "resetView(NO)"); }
    void startProcess() override { calls << "startProcess", m_processing = true; }
    void stopProcess() override { calls << "stopProcess", m_processing = false; }
    void sortFilesAndReload() override
    {
        calls << "sort";
        if (throwOnSort)
            throw std::runtime_error("sort failed");
    }

    std::atomic_bool m_processing{true};
    qsizetype cancelAfter = 0, throwAfter = 0;
    bool throwOnSort = false;
    std::vector<qint64> pagesAfterEachAdmission;
    std::vector<std::pair<QByteArray, int>> unreadable;                        // path and error
    std::function<void(const QByteArray&)> onVisit = [](const QByteArray&) {}; // on the job's thread
    QStringList calls;

private:
    std::mutex m_mutex;
    FileList m_files;
};
