#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <new>

// Bounds the work of one page count on the calling thread: processor time, memory and stack
// depth. The page counter's readers poll it, and report the memory they take and give back
// through admitAllocation(), recordAllocation() and recordRelease(). Once a bound is passed
// the budget stays exceeded: every later check on the thread throws CountingBudget::Exceeded.
// (libtiff and qpdf do not run in the program: see CountingWorker.)
class CountingBudget {
public:
    struct Limits {
        std::int64_t cpuNanoseconds;
        std::int64_t memoryBytes;
        std::size_t stackBytes; // deepest the stack may grow below the point the budget starts
    };

    enum class Bound { None, Time, Memory, Depth };

    // Thrown once a bound is passed; a std::bad_alloc, as operator new may throw nothing else.
    class Exceeded : public std::bad_alloc {
    public:
        const char* what() const noexcept override { return "page count budget exceeded"; }
    };

    // Puts the budget in force on the calling thread until it is destroyed.
    explicit CountingBudget(const Limits& limits);
    ~CountingBudget();
    CountingBudget(const CountingBudget&) = delete;
    CountingBudget& operator=(const CountingBudget&) = delete;

    // Throws Exceeded when a bound is passed, now or before. Reads the processor clock only
    // every so many calls (see pollWork()), so it may be called for every few bytes read.
    void check();
    // The same without throwing: false once a bound is passed.
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
    QString reason() const;
    // Takes the budget off the thread ahead of its destruction; idempotent.
    void release() noexcept;

    // Called by the readers for the memory they take, on the thread the budget is in force on.
    // Throws Exceeded when `bytes` more would pass the memory bound, or another bound is passed.
    void admitAllocation(std::size_t bytes);
    void recordAllocation(std::size_t bytes) noexcept { m_inUse += std::int64_t(bytes); }
    void recordRelease(std::size_t bytes) noexcept { m_inUse -= std::int64_t(bytes); }

    static CountingBudget* current() noexcept;

private:
    bool readClock() noexcept;
    void fail(Bound bound) noexcept;

    Limits m_limits;
    std::int64_t m_cpuStart = 0;
    std::int64_t m_inUse = 0;
    std::uintptr_t m_stackFloor = 0;
    std::size_t m_work = 0; // units since the clock was last read
    std::int64_t m_charged = 0;
    std::int64_t m_chargedPeak = 0;
    Bound m_exceeded = Bound::None;
    bool m_inForce = false;
    CountingBudget* m_previous = nullptr;
};
