#pragma once

// A collection job's host for the core tests: main-thread steps run inline under a lock, and
// every call the window would see is recorded.

#include "gather/CollectionJob.h"
#include "model/FileList.h"

#include <QFile>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <vector>

// Runs main-thread steps inline and records what the window would see.
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
    void updateTotalPagesLabel() override
    {
        ++labelUpdates;
        pagesAfterEachAdmission.push_back(m_files.tiffPages() + m_files.pdfPages());
        if (cancelAfter > 0 && labelUpdates == cancelAfter)
            m_processing = false; // Cancel pressed while this file was being admitted
        if (throwAfter > 0 && labelUpdates == throwAfter)
            throw std::runtime_error("boom");
    }
    void pathUnreadable(const QByteArray& path, int error) override
    {
        unreadable.push_back(path);
        unreadableErrors.push_back(error);
    }
    void scanWillVisit(const QByteArray& path) override
    {
        if (onVisit)
            onVisit(path);
    }
    void resetView(bool enable) override { calls << (enable ? "resetView(YES)" : "resetView(NO)"); }
    void startProcess() override
    {
        calls << "startProcess";
        m_processing = true;
    }
    void stopProcess() override
    {
        calls << "stopProcess";
        m_processing = false;
    }
    void sortFilesAndReload() override
    {
        calls << "sort";
        if (throwOnSort)
            throw std::runtime_error("sort failed");
    }

    QStringList names() const
    {
        QStringList out;
        for (const auto& item : m_files)
            out << QFile::decodeName(item->nativePath()).section('/', -2);
        return out;
    }

    std::atomic_bool m_processing{true};
    int cancelAfter = 0;
    int throwAfter = 0;
    bool throwOnSort = false;
    int labelUpdates = 0;
    std::vector<qint64> pagesAfterEachAdmission;
    std::vector<QByteArray> unreadable;
    std::vector<int> unreadableErrors;
    std::function<void(const QByteArray&)> onVisit; // runs on the job's thread
    QStringList calls;

private:
    std::mutex m_mutex;
    FileList m_files;
};
