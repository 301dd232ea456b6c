#include "app/MainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
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
    QMetaObject::invokeMethod(
        app,
        [call, fn] {
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
        },
        Qt::QueuedConnection);

    std::unique_lock lock(call->mutex);
    call->condition.wait(lock, [&] { return call->finished; });
    if (call->error)
        std::rethrow_exception(call->error);
    return call->ran;
}
