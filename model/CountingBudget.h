#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// Bounds the work of one page count on the calling thread: processor time and stack depth, which
// end the count once passed, and the memory a reader charges for its buffers, which it gives up
// on when a charge is refused. The page counter's readers report their work with pollWork() and
// poll(); once a bound is passed the budget stays exceeded. (libtiff and qpdf do not run in the
// program: see CountingWorker.)
class CountingBudget {
public:
    struct Limits {
        std::int64_t cpuNanoseconds;
        std::int64_t memoryBytes;
        std::size_t stackBytes; // deepest the stack may grow below the point the budget starts
    };

    // Stopped: not a bound of the file's but Cancel or quit (stopAll()).
    enum class Bound { None, Time, Memory, Depth, Stopped };

    // Starts the clock on the calling thread, the one the budget is used on.
    explicit CountingBudget(const Limits& limits);
    CountingBudget(const CountingBudget&) = delete;
    CountingBudget& operator=(const CountingBudget&) = delete;

    // False once the stack is deeper than its bound or another bound is passed. Reads the
    // processor clock only every so many calls (see pollWork()), so it may be called often.
    bool poll() noexcept;

    // Counts `units` of work: about one per byte scanned, kUnitsPerObject per object visited.
    // The processor clock is read once every kUnitsPerClockRead units, about 100 us of work
    // (reading it costs some hundreds of nanoseconds on a virtual machine). False once a
    // bound is passed. A poll() counts as kUnitsPerPoll.
    bool pollWork(std::size_t units) noexcept
    {
        m_work += units;
        if (m_work < kUnitsPerClockRead)
            return m_exceeded == Bound::None;
        return readClock();
    }
    static constexpr std::size_t kUnitsPerClockRead = 32 * 1024;
    static constexpr std::size_t kUnitsPerObject = 512;
    static constexpr std::size_t kUnitsPerPoll = 32;

    // Memory that a reader accounts for itself, for buffers it may give up on. Adds `bytes` and
    // returns true; or returns false and adds nothing when the sum would pass the memory bound.
    // That is no bound passed: the caller gives its work up, and whatever runs after it under
    // the budget is not stopped for it.
    bool charge(std::size_t bytes) noexcept;
    void discharge(std::size_t bytes) noexcept { m_charged -= std::int64_t(bytes); }
    // The most charged at once.
    std::int64_t chargedPeak() const { return m_chargedPeak; }

    // The bound that was passed first; None while within all of them.
    Bound exceeded() const { return m_exceeded; }
    // Why the work was stopped, for the log ("took more than 2 s of processor time").
    QString reason() const { return describe(m_exceeded, m_limits); }
    // The log's words for `bound` under `limits`; empty for None.
    static QString describe(Bound bound, const Limits& limits);

    // Cancel and quit: every budget in use passes Bound::Stopped at its next clock reading, and
    // every one started until resumeAll() at its first (CountingWorker::stopAll() calls these).
    static void stopAll() noexcept;
    static void resumeAll() noexcept;

    // The calling thread's processor time so far, and when the budget started.
    static std::int64_t threadCpuNanoseconds() noexcept;
    std::int64_t cpuStart() const { return m_cpuStart; }

private:
    bool readClock() noexcept;
    void fail(Bound bound) noexcept;

    Limits m_limits;
    std::int64_t m_cpuStart = 0;
    std::uintptr_t m_stackFloor = 0;
    std::size_t m_work = 0; // units since the clock was last read
    std::int64_t m_charged = 0;
    std::int64_t m_chargedPeak = 0;
    Bound m_exceeded = Bound::None;
};
