#include "gather/AdmissionQueue.h"

#include "model/FileList.h"

#include <algorithm>

namespace {
// How far measuring may run ahead of admission, per worker, and the most files one
// main-thread call admits (a few microseconds each, so a call stays short).
constexpr size_t kAheadPerWorker = 256;
constexpr size_t kMaxBatch = 512;
// Each main-thread call is a round trip between threads during which the job thread measures
// nothing (on one thread nothing is measured at all): measured files are admitted together,
// at this interval (and whenever the window of files measured ahead is full), rather than
// one call per file. Twenty calls a second keep the totals line moving with the files.
constexpr auto kAdmissionInterval = std::chrono::milliseconds(50);
// How often a wait for measured files looks at the job's stop flag.
constexpr auto kStopCheckInterval = std::chrono::milliseconds(10);
} // namespace

AdmissionQueue::AdmissionQueue(GatherHost& host, int threads, JobProgress* progress)
    : m_host(host), m_progress(progress), m_maxAhead(kAheadPerWorker * size_t(std::max(threads, 1))),
      m_keepDates(host.keepsDatesOfCount())
{
    // One thread means no workers: each file is measured on the job's own thread.
    if (threads > 1) {
        for (int i = 0; i < threads; ++i)
            m_workers.emplace_back([this] { workerLoop(); });
    }
}

AdmissionQueue::~AdmissionQueue()
{
    abandon();
}

void AdmissionQueue::workerLoop()
{
    for (;;) {
        std::shared_ptr<Slot> slot;
        {
            std::unique_lock lock(m_mutex);
            m_workAvailable.wait(lock, [this] { return m_shutdown || !m_pending.empty(); });
            if (m_shutdown)
                return;
            slot = std::move(m_pending.front());
            m_pending.pop_front();
        }
        FileItemPtr item = m_stopMeasuring ? nullptr : FileItem::fromNativePath(slot->path, m_keepDates);
        bool awaited = false;
        {
            std::lock_guard lock(m_mutex);
            slot->item = std::move(item);
            slot->done = true;
            awaited = slot.get() == m_awaited;
        }
        // Only the file the job thread waits for wakes it: a wake-up per measured file would
        // cost a switch between threads per file, taken from the measuring.
        if (awaited)
            m_slotDone.notify_all();
    }
}

bool AdmissionQueue::submit(const QByteArray& nativePath)
{
    if (m_stopped)
        return false;
    const qsizetype submitted = m_submitted.size();
    m_submitted.insert(nativePath);
    if (m_submitted.size() == submitted)
        return true; // found before in this job
    if (m_progress)
        ++m_progress->found;

    auto slot = std::make_shared<Slot>();
    slot->path = nativePath;
    m_window.push_back(slot);
    if (m_workers.empty()) {
        slot->item = FileItem::fromNativePath(nativePath, m_keepDates);
        slot->done = true;
    } else {
        {
            std::lock_guard lock(m_mutex);
            m_pending.push_back(slot);
        }
        m_workAvailable.notify_one();
    }

    if (std::chrono::steady_clock::now() - m_lastAdmission >= kAdmissionInterval)
        admitReady(0);
    // A full window waits until half of it is measured, so that one call admits many files
    // while the workers go on with the other half.
    while (!m_stopped && m_window.size() >= m_maxAhead)
        admitReady(m_maxAhead / 2);
    return !m_stopped;
}

qint64 AdmissionQueue::finish()
{
    while (!m_stopped && !m_window.empty())
        admitReady(1);
    abandon();
    return m_appended;
}

void AdmissionQueue::abandon()
{
    m_stopMeasuring = true;
    {
        std::lock_guard lock(m_mutex);
        m_shutdown = true;
        m_pending.clear();
    }
    m_workAvailable.notify_all();
    for (auto& worker : m_workers)
        worker.join();
    m_workers.clear();
    m_window.clear();
    m_submitted.clear();
}

void AdmissionQueue::admitReady(size_t minimum)
{
    std::vector<std::shared_ptr<Slot>> batch;
    {
        std::unique_lock lock(m_mutex);
        if (m_window.empty())
            return;
        minimum = std::min(minimum, m_window.size());
        if (minimum > 0) {
            // Waits for `minimum` measured files, or only for the head once the job is told to
            // stop: Cancel (or quitting) must not wait for a window of slow files to be measured.
            // The flag has no signal of its own, so it is looked at every few milliseconds.
            // It waits for the last file not yet measured among those it needs: the workers take
            // files in order, so by then the others are measured or nearly so.
            for (;;) {
                size_t done = 0;
                while (done < minimum && m_window[done]->done)
                    ++done;
                if (done == minimum || (done > 0 && !m_host.isProcessing()))
                    break;
                size_t last = minimum - 1;
                while (m_window[last]->done)
                    --last;
                m_awaited = m_window[last].get();
                m_slotDone.wait_for(lock, kStopCheckInterval);
            }
            m_awaited = nullptr;
        }
        while (!m_window.empty() && m_window.front()->done && batch.size() < kMaxBatch) {
            batch.push_back(std::move(m_window.front()));
            m_window.pop_front();
        }
    }
    if (!batch.empty())
        admitBatch(std::move(batch));
}

void AdmissionQueue::admitBatch(std::vector<std::shared_ptr<Slot>> batch)
{
    m_lastAdmission = std::chrono::steady_clock::now();
    // Each file is admitted, then Cancel is looked at: the head is always admitted, and once
    // the flag is down everything behind it is dropped.
    const bool ran = m_host.performOnMain([&] {
        FileList& files = m_host.files();
        for (const auto& slot : batch) {
            if (slot->item && files.append(slot->item)) {
                ++m_appended;
                if (m_progress) {
                    ++m_progress->admitted;
                    m_progress->pages += slot->item->pages();
                }
                m_host.updateTotalPagesLabel();
            }
            if (!m_host.isProcessing()) {
                m_stopped = true;
                return;
            }
        }
    });
    if (!ran)
        m_stopped = true;
    if (m_stopped)
        abandon();
}
