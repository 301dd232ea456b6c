#include "app/MainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// One pending call. The worker waits on `done`; the main thread or the quit hook sets it.
struct PendingCall {
    std::mutex mutex;
    std::condition_variable condition;
    bool finished = false;
    bool ran = false;
    std::exception_ptr error;
};

std::mutex g_registryMutex;
std::mutex g_handoffMutex;
std::atomic_bool g_quitting{false};

// Every call in flight, so that quitting can release their waiters.
std::vector<std::weak_ptr<PendingCall>>& pendingCalls()
{
    static std::vector<std::weak_ptr<PendingCall>> calls;
    return calls;
}

void releaseAllWaiters()
{
    g_quitting.store(true);
    std::lock_guard registryLock(g_registryMutex);
    for (auto& weak : pendingCalls()) {
        if (auto call = weak.lock()) {
            std::lock_guard lock(call->mutex);
            call->finished = true;
            call->condition.notify_all();
        }
    }
    pendingCalls().clear();
}

// Hooks quitting once per application object: aboutToQuit releases every waiting worker,
// so a worker blocked on the main thread never holds the process back.
void ensureQuitHook(QCoreApplication* app)
{
    static QCoreApplication* hooked = nullptr;
    std::lock_guard registryLock(g_registryMutex);
    if (hooked == app)
        return;
    hooked = app;
    g_quitting.store(false);
    QObject::connect(
        app, &QCoreApplication::aboutToQuit, app, [] { releaseAllWaiters(); }, Qt::DirectConnection);
    QObject::connect(app, &QObject::destroyed, [] { releaseAllWaiters(); });
}

// What travels through Qt's event queue to the main thread. Qt hands it over under locks of
// its own; its fields are touched only under g_handoffMutex as well, so that the hand-over
// is ordered by the program's own synchronisation too (which ThreadSanitizer can see, and
// which holds whatever the event queue does inside). Dropped unrun at quitting, it only
// releases its references.
class PostedCall {
public:
    PostedCall(std::shared_ptr<PendingCall> call, std::function<void()> fn)
    {
        std::lock_guard lock(g_handoffMutex);
        m_call = std::move(call);
        m_fn = std::move(fn);
    }
    PostedCall(const PostedCall& other)
    {
        std::lock_guard lock(g_handoffMutex);
        m_call = other.m_call;
        m_fn = other.m_fn;
    }
    PostedCall(PostedCall&& other) noexcept
    {
        std::lock_guard lock(g_handoffMutex);
        m_call = std::move(other.m_call);
        m_fn = std::move(other.m_fn);
    }
    PostedCall& operator=(const PostedCall&) = delete;
    PostedCall& operator=(PostedCall&&) = delete;
    ~PostedCall()
    {
        std::lock_guard lock(g_handoffMutex);
        m_call.reset();
        m_fn = nullptr;
    }

    void operator()()
    {
        std::shared_ptr<PendingCall> call;
        std::function<void()> fn;
        {
            std::lock_guard lock(g_handoffMutex);
            call = std::exchange(m_call, nullptr);
            fn = std::exchange(m_fn, nullptr);
        }
        if (!call)
            return;
        {
            std::lock_guard lock(call->mutex);
            if (call->finished)
                return; // released by quitting before it could run
        }
        std::exception_ptr error;
        try {
            fn();
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard lock(call->mutex);
        call->error = error;
        call->ran = true;
        call->finished = true;
        call->condition.notify_all();
    }

private:
    std::shared_ptr<PendingCall> m_call;
    std::function<void()> m_fn;
};

} // namespace

bool isApplicationQuitting()
{
    return g_quitting.load() || QCoreApplication::instance() == nullptr || QCoreApplication::closingDown();
}

bool performOnMainThread(const std::function<void()>& fn)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    if (QThread::currentThread() == app->thread()) {
        fn();
        return true;
    }
    ensureQuitHook(app);
    if (isApplicationQuitting())
        return false;

    auto call = std::make_shared<PendingCall>();
    {
        std::lock_guard registryLock(g_registryMutex);
        auto& calls = pendingCalls();
        std::erase_if(calls, [](const std::weak_ptr<PendingCall>& weak) { return weak.expired(); });
        calls.push_back(call);
    }
    QMetaObject::invokeMethod(app, PostedCall(call, fn), Qt::QueuedConnection);

    std::unique_lock lock(call->mutex);
    call->condition.wait(lock, [&] { return call->finished; });
    if (call->error)
        std::rethrow_exception(call->error);
    return call->ran;
}
