#pragma once

#include "gather/GatherHost.h"
#include "model/FileItem.h"

#include <QSet>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Measures files ahead on worker threads and admits them to the host's list in submission
// order, in batches, each batch one call on the host's main thread.
class AdmissionQueue {
public:
    AdmissionQueue(GatherHost& host, int threads, JobProgress* progress);
    ~AdmissionQueue();
    AdmissionQueue(const AdmissionQueue&) = delete;
    AdmissionQueue& operator=(const AdmissionQueue&) = delete;

    // Queues a file for measuring and admission. Returns false once the job has stopped
    // (Cancel seen at an admission, or the host quitting); nothing more is taken then.
    bool submit(const QByteArray& nativePath);

    // Admits everything queued (until a stop). Returns the number of files appended in all.
    qint64 finish();

    // Drops everything not yet admitted and stops the workers.
    void abandon();

    bool stopped() const { return m_stopped; }
    qint64 appended() const { return m_appended; }

private:
    struct Slot {
        QByteArray path;
        FileItemPtr item;
        bool done = false;
    };

    void workerLoop();
    // Admits the measured files at the head of the window, after waiting until at least
    // `minimum` of them (or the whole window, when smaller) are measured.
    void admitReady(size_t minimum);
    void admitBatch(std::vector<std::shared_ptr<Slot>> batch);

    GatherHost& m_host;
    JobProgress* m_progress;
    const size_t m_maxAhead;
    const bool m_keepDates;

    std::mutex m_mutex;
    std::condition_variable m_workAvailable;
    std::condition_variable m_slotDone;
    std::deque<std::shared_ptr<Slot>> m_pending; // waiting for a worker
    const Slot* m_awaited = nullptr;             // the file the job thread waits for
    bool m_shutdown = false;
    std::atomic_bool m_stopMeasuring{false};
    std::vector<std::thread> m_workers;

    // Job thread only.
    std::deque<std::shared_ptr<Slot>> m_window; // submitted, not yet admitted, in order
    QSet<QByteArray> m_submitted;               // a path found twice in one job is measured once
    bool m_stopped = false;
    qint64 m_appended = 0;
    std::chrono::steady_clock::time_point m_lastAdmission; // the first file is admitted at once
};
