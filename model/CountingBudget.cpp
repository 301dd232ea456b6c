#include "model/CountingBudget.h"

#include <pthread.h>
#include <time.h>

#include <atomic>

namespace {

std::atomic_bool g_stopped{false};

// Stack kept free below the floor for the frames that run after the bound is hit.
constexpr std::size_t kStackReserve = 256 * 1024;

std::uintptr_t stackPointer() noexcept
{
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// The lowest address the calling thread's stack may reach; 0 when unknown. Asked once per
// thread: on the main thread glibc answers by reading /proc/self/maps.
std::uintptr_t stackLowEnd() noexcept
{
    thread_local bool asked = false;
    thread_local std::uintptr_t lowEnd = 0;
    if (asked)
        return lowEnd;
    asked = true;
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) != 0)
        return 0;
    void* low = nullptr;
    std::size_t size = 0;
    if (::pthread_attr_getstack(&attributes, &low, &size) == 0)
        lowEnd = reinterpret_cast<std::uintptr_t>(low);
    ::pthread_attr_destroy(&attributes);
    return lowEnd;
}

} // namespace

std::int64_t CountingBudget::threadCpuNanoseconds() noexcept
{
    timespec now{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0)
        return 0;
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

CountingBudget::CountingBudget(const Limits& limits) : m_limits(limits), m_cpuStart(threadCpuNanoseconds())
{
    const std::uintptr_t here = stackPointer();
    m_stackFloor = here > m_limits.stackBytes ? here - m_limits.stackBytes : 0;
    if (const std::uintptr_t low = stackLowEnd(); low != 0 && low < here) {
        const std::uintptr_t safe = here - low > kStackReserve ? low + kStackReserve : here;
        if (safe > m_stackFloor)
            m_stackFloor = safe;
    }
}

void CountingBudget::fail(Bound bound) noexcept
{
    if (m_exceeded == Bound::None)
        m_exceeded = bound;
}

void CountingBudget::stopAll() noexcept
{
    g_stopped = true;
}

void CountingBudget::resumeAll() noexcept
{
    g_stopped = false;
}

bool CountingBudget::readClock() noexcept
{
    m_work = 0;
    if (g_stopped.load(std::memory_order_relaxed))
        fail(Bound::Stopped);
    else if (threadCpuNanoseconds() - m_cpuStart > m_limits.cpuNanoseconds)
        fail(Bound::Time);
    return m_exceeded == Bound::None;
}

bool CountingBudget::poll() noexcept
{
    if (m_exceeded != Bound::None)
        return false;
    if (stackPointer() < m_stackFloor)
        fail(Bound::Depth);
    return pollWork(kUnitsPerPoll);
}

bool CountingBudget::charge(std::size_t bytes) noexcept
{
    if (m_charged + std::int64_t(bytes) > m_limits.memoryBytes)
        return false;
    m_charged += std::int64_t(bytes);
    if (m_charged > m_chargedPeak)
        m_chargedPeak = m_charged;
    return true;
}

QString CountingBudget::describe(Bound bound, const Limits& limits)
{
    switch (bound) {
    case Bound::Time:
        return QStringLiteral("counting took more than %1 s of processor time")
            .arg(double(limits.cpuNanoseconds) / 1e9);
    case Bound::Memory:
        return QStringLiteral("counting needed more than %1 MB of memory").arg(limits.memoryBytes / (1024 * 1024));
    case Bound::Depth:
        return QStringLiteral("the file nests its structures too deeply");
    case Bound::Stopped:
        return QStringLiteral("counting was stopped");
    case Bound::None:
        break;
    }
    return {};
}
