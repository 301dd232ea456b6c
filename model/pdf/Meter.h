#pragma once

// What one count spends, as the reader's pieces report it: work (bytes scanned, objects
// visited), which reads the processor clock every so often, and the memory of the reader's
// buffers, charged as they are sized. Charges follow the sizes a file asks for, never what an
// earlier count left in the thread's buffers, so the same bytes cost the same on any thread
// after any file. Past a bound the meter throws Stopped and the count gives up: past the
// processor time the budget stays exceeded (the file has had its time); past the memory bound
// it does not, and the file goes to the reader behind this one.

#include "model/CountingBudget.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pdftree {

struct Stopped {};

class Meter {
public:
    explicit Meter(CountingBudget& budget) : m_budget(budget) {}
    ~Meter() { m_budget.discharge(m_charged); }
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    void work(std::size_t units)
    {
        if (!m_budget.pollWork(units))
            throw Stopped{};
    }
    void object() { work(CountingBudget::kUnitsPerObject); }
    // The same, for a destructor: a bound passed throws at the next work().
    void note(std::size_t units) noexcept { m_budget.pollWork(units); }

    void charge(std::size_t bytes)
    {
        if (!m_budget.charge(bytes))
            throw Stopped{};
        m_charged += bytes;
    }
    void discharge(std::size_t bytes)
    {
        m_budget.discharge(bytes);
        m_charged -= bytes;
    }

private:
    CountingBudget& m_budget;
    std::size_t m_charged = 0;
};

// A buffer whose charge follows the size asked of it, in steps that double.
template <typename T> struct Charged {
    std::vector<T> items;
    std::size_t charged = 0; // elements charged in this count

    // Makes room for `n` elements in all, charging what was not charged yet.
    [[gnu::noinline]] void reserve(std::size_t n, Meter& meter)
    {
        if (n <= charged)
            return;
        const std::size_t grown = n > charged * 2 ? n : charged * 2;
        meter.charge((grown - charged) * sizeof(T));
        charged = grown;
        items.reserve(grown);
    }
    [[gnu::always_inline]] void push(const T& value, Meter& meter)
    {
        if (items.size() == charged) [[unlikely]]
            reserve(items.size() + 1 < 64 ? 64 : items.size() + 1, meter);
        items.push_back(value);
    }
    // Starts a count: nothing charged, nothing held.
    void restart()
    {
        items.clear();
        charged = 0;
    }
};

// Gives back the memory of `v` when it has room for more than `most` elements.
template <typename T> void keepAtMost(std::vector<T>& v, std::size_t most) noexcept
{
    if (v.capacity() > most)
        std::vector<T>().swap(v);
}

} // namespace pdftree
