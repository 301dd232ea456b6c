#include "model/pdf/PageTree.h"

#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/pdf/CrossReference.h"
#include "model/pdf/Encryption.h"
#include "model/pdf/FileBytes.h"
#include "model/pdf/Meter.h"
#include "model/pdf/Objects.h"
#include "model/pdf/Repair.h"
#include "model/pdf/Streams.h"
#include "model/pdf/Workspace.h"

#include <QScopeGuard>

#include <algorithm>
#include <string_view>

namespace pdftree {

namespace {

constexpr quint32 kMaxTreeDepth = 256; // qpdf walks the tree recursively
// A kid taken from the list of kids, and one found among the pages seen twice.
constexpr size_t kUnitsPerKid = 16;

// The leaves of a walk: all of them, as qpdf counts them (whatever a kid is), and those that are
// dictionaries, the pages viewers show of a tree they walk themselves.
struct Leaves {
    quint64 all = 0;
    quint64 dictionaries = 0;

    void add(bool isDictionary)
    {
        ++all;
        dictionaries += isDictionary ? 1 : 0;
    }
};

thread_local Workspace t_workspace;

bool testBit(const std::vector<quint64>& bits, quint32 number)
{
    const size_t word = number / 64;
    return word < bits.size() && (bits[word] >> (number % 64) & 1) != 0;
}

// Sets the bit of `number`; false when it was set already or lies past the bits.
bool setBit(std::vector<quint64>& bits, quint32 number)
{
    const size_t word = number / 64;
    const quint64 bit = quint64(1) << (number % 64);
    if (word >= bits.size() || (bits[word] & bit) != 0)
        return false;
    bits[word] |= bit;
    return true;
}

// Kids found to be pages when they were resolved a second time, so that a page listed many
// times is parsed twice at most: an open-addressed hash set of number << 16 | generation, the top
// bit set for a page that is a dictionary (see Leaves); never 0, as no kid is object 0. At most
// half full, its table charged as it grows.
class PageSet {
public:
    PageSet(Charged<quint64>& table, Meter& meter) : m_table(table), m_meter(meter) { clear(); }

    void clear()
    {
        m_table.restart();
        m_count = 0;
    }

    static quint64 key(quint32 number, quint32 generation, bool isDictionary)
    {
        return quint64(number) << 16 | generation | (isDictionary ? quint64(1) << 63 : 0);
    }

    bool contains(quint64 key) const
    {
        const std::vector<quint64>& table = m_table.items;
        if (table.empty())
            return false;
        for (size_t i = slot(key);; i = (i + 1) & (table.size() - 1)) {
            if (table[i] == key)
                return true;
            if (table[i] == 0)
                return false;
        }
    }

    void insert(quint64 key)
    {
        if ((m_count + 1) * 2 > m_table.items.size())
            grow();
        std::vector<quint64>& table = m_table.items;
        size_t i = slot(key);
        while (table[i] != 0 && table[i] != key)
            i = (i + 1) & (table.size() - 1);
        if (table[i] == 0)
            ++m_count;
        table[i] = key;
    }

private:
    size_t slot(quint64 key) const { return size_t((key * 0x9E3779B97F4A7C15ull) >> 20) & (m_table.items.size() - 1); }

    void grow()
    {
        std::vector<quint64> old;
        old.swap(m_table.items);
        m_meter.charge(old.size() * sizeof(quint64)); // held while the keys move over
        const auto discharge = qScopeGuard([&] { m_meter.discharge(old.size() * sizeof(quint64)); });
        const size_t size = old.empty() ? 64 : old.size() * 2;
        m_table.reserve(size, m_meter);
        m_table.items.assign(size, 0);
        m_count = 0;
        for (const quint64 key : old)
            if (key != 0)
                insert(key);
    }

    Charged<quint64>& m_table;
    Meter& m_meter;
    size_t m_count = 0;
};

class Reader {
public:
    Reader(pagecount::FileReader& file, Meter& meter, Workspace& w)
        : m_meter(meter), m_w(w), m_bytes(file, w.whole, w.window, meter), m_streams(m_bytes, w.decoded),
          m_xref(m_bytes, m_streams, w.crossReference, w.nodes),
          m_objects(m_bytes, m_xref, m_streams, w.nodes, w.objectStreams, nullptr), m_repeated(w.repeated, meter)
    {
        w.nodes.restart();
        w.pending.restart();
    }

    std::optional<PageTreeCount> run(const QByteArray& password)
    {
        if (m_bytes.size() < 16 || !m_bytes.load())
            return {};
        // qpdf counts the offsets of a file with bytes before its header from the header; some
        // writers count them from the file's first byte. Whichever reads as cross-reference data
        // is taken; the second is not qpdf's rule, so its answer is marked as a repair's. With no
        // header where qpdf looks for one, qpdf warns and reads the file from its first byte, as
        // repairing viewers do: so does this, and its answer is a repair's too.
        const std::optional<quint64> found = headerOffset();
        const quint64 header = found.value_or(0);
        bool fromStart = !found;
        bool usable = m_xref.read(header);
        if (!usable && header > 0)
            usable = fromStart = m_xref.read(0);
        if (usable) {
            const Trailer& t = m_xref.trailer();
            bool locked = false;
            std::optional<PageTreeCount> count;
            if (openEncryption(password, locked))
                count = counted({true, true, t.rootNumber, t.rootGeneration}, locked);
            if (count)
                count->rebuilt = fromStart;
            if (count || !(m_objects.sawMisplaced() || m_noCatalog))
                return count;
        }
        // The cross-reference data is unusable, names no catalog there is or points where the
        // objects are not: the table is rebuilt from the objects themselves. What the reader
        // does not understand in the rebuilt file still goes to qpdf.
        m_objects.restart();
        m_objects.setEncryption(nullptr);
        m_encryption = Encryption();
        Repair repair(m_bytes, m_xref, m_objects, m_w.nodes, m_w.repair);
        repair.scanFile();
        bool locked = false;
        if (!openEncryption(password, locked))
            return {};
        repair.addStreamObjects();
        const TreeStart start = repair.findTree();
        std::optional<PageTreeCount> count;
        if (m_encryption.keyMissing())
            count = PageTreeCount{0, true};
        else if (start.found)
            count = counted(start, locked);
        // Every answer from here on comes from the rebuilt table, a locked one included.
        if (count)
            count->rebuilt = true;
        return count;
    }

    bool shrank() const { return m_bytes.shrank(); }

private:
    // Where the header "%PDF-" stands: at the start, or, followed by a version ("1.7"), where it
    // starts first within the first 1,024 bytes, as far as qpdf looks for it. None elsewhere.
    std::optional<quint64> headerOffset()
    {
        constexpr size_t kHeaderWindow = 1024;
        const Span head = m_bytes.span(0, kHeaderWindow + 8);
        const std::string_view bytes(head.data, std::min(head.size, kHeaderWindow + 8));
        if (bytes.starts_with("%PDF-"))
            return 0;
        m_meter.work(bytes.size());
        for (size_t at = bytes.find("%PDF-"); at != std::string_view::npos && at + 5 <= kHeaderWindow;
             at = bytes.find("%PDF-", at + 1)) {
            size_t i = at + 5;
            const auto digits = [&] {
                const size_t from = i;
                while (i < bytes.size() && isDigit(bytes[i]))
                    ++i;
                return i > from;
            };
            if (digits() && i < bytes.size() && bytes[i] == '.' && (++i, digits()))
                return at;
        }
        return std::nullopt;
    }

    // Reads the security handler the trailer names, if any, and tries `password`.
    bool openEncryption(const QByteArray& password, bool& locked)
    {
        locked = false;
        if (!m_xref.trailer().encrypted)
            return true;
        // The tree's dictionaries are not encrypted; only object streams need the key.
        m_objects.setEncryption(&m_encryption);
        if (!readEncryption())
            return false;
        m_encryption.open(password);
        locked = m_encryption.isLocked();
        return true;
    }

    std::optional<PageTreeCount> counted(const TreeStart& start, bool locked)
    {
        const auto pages = start.isCatalog ? walkTree(start.number, start.generation)
                                           : walkPages(start.number, start.generation, false);
        if (m_encryption.keyMissing())
            return PageTreeCount{0, true}; // the tree lies in object streams the password does not open
        if (!pages)
            return {};
        return PageTreeCount{*pages, locked};
    }

    bool readEncryption()
    {
        Parsed d;
        bool isStream = false;
        const Trailer& t = m_xref.trailer();
        if (m_objects.resolve(t.encryptNumber, t.encryptGeneration, d, isStream) != Resolved::Object || isStream ||
            d.at(0).type != Type::Dict)
            return false;
        return m_encryption.read(d, t.fileId);
    }

    // The value of /Kids at `kids` in `d`, through a reference: Null when it is null (the node is
    // then a page), otherwise Object with `list` holding it and `at` its array (0: not an array).
    Resolved kidsList(const Parsed& d, quint32 kids, Parsed& list, quint32& at)
    {
        at = 0;
        if (!kids || d.at(kids).type == Type::Null)
            return Resolved::Null;
        if (d.at(kids).type != Type::Ref) {
            list = d;
            if (d.at(kids).type == Type::Array)
                at = kids + 1;
            return Resolved::Object;
        }
        bool isStream = false;
        const Resolved r = m_objects.resolve(quint32(d.at(kids).value), d.at(kids).extra, list, isStream);
        if (r != Resolved::Object)
            return r;
        if (!isStream && list.at(0).type == Type::Null)
            return Resolved::Null;
        if (!isStream && list.at(0).type == Type::Array)
            at = 1; // the array at node 0, see takeKids
        return Resolved::Object;
    }

    // Pushes the kids listed in the array at node `at - 1` of `d`, or counts them when they are
    // pages written in place. False when not understood.
    bool takeKids(const Parsed& d, quint32 at, quint32 depth, Leaves& pages)
    {
        if (at == 0)
            return true; // qpdf reads no kids from anything but an array
        const quint32 array = at - 1;
        for (quint32 i = array + 1; i < d.at(array).end; i = d.at(i).end) {
            const Node& kid = d.at(i);
            switch (kid.type) {
            case Type::Ref:
                m_w.pending.push({quint32(kid.value), kid.extra, depth + 1}, m_meter);
                break;
            case Type::Null:
                return false; // qpdf throws on a null kid written in place
            case Type::Dict: {
                // A page written in place counts; an inner node written in place is left to qpdf.
                bool ok = true;
                const quint32 k = d.find(i, "Kids", ok);
                if (!ok || (k && d.at(k).type != Type::Null))
                    return false;
                pages.add(true);
                break;
            }
            default:
                pages.add(false);
                break;
            }
        }
        return true;
    }

    // A kid that is a page: counted, and remembered (with whether it is a dictionary) when it is
    // resolved for the second time, or at once when it took long to parse.
    void countPage(const Pending& kid, size_t objectBytes, bool isDictionary, Leaves& pages)
    {
        constexpr size_t kLargeObjectBytes = 16 * 1024;
        const bool first = setBit(m_w.seen, kid.number);
        if ((!first && testBit(m_w.seen, kid.number)) || (first && objectBytes > kLargeObjectBytes))
            m_repeated.insert(PageSet::key(kid.number, kid.generation, isDictionary));
        pages.add(isDictionary);
    }

    // The leaves below the /Pages of the catalog (number, generation).
    std::optional<quint64> walkTree(quint32 number, quint32 generation)
    {
        Parsed d;
        bool isStream = false;
        const Resolved catalog = m_objects.resolve(number, generation, d, isStream);
        m_noCatalog = catalog == Resolved::Null;
        if (catalog != Resolved::Object || isStream || d.at(0).type != Type::Dict)
            return std::nullopt;
        bool ok = true;
        const quint32 pagesKey = d.find(0, "Pages", ok);
        if (!ok)
            return std::nullopt;
        if (!pagesKey || d.at(pagesKey).type == Type::Null)
            return 0;
        if (d.at(pagesKey).type != Type::Ref)
            return std::nullopt;
        return walkPages(quint32(d.at(pagesKey).value), d.at(pagesKey).extra, !m_xref.isRebuilt());
    }

    // The leaves below the /Pages node (number, generation); `checkParent`: one with a /Parent is
    // left to qpdf.
    std::optional<quint64> walkPages(quint32 rootPages, quint32 generation, bool checkParent)
    {
        const size_t words = size_t(m_xref.objectLimit() / 64 + 1);
        m_meter.charge(2 * words * sizeof(quint64));
        m_w.visited.assign(words, 0);
        m_w.seen.assign(words, 0);
        m_w.pending.items.clear();
        m_repeated.clear();
        Parsed d;
        bool isStream = false;
        bool ok = true;
        const Resolved r = m_objects.resolve(rootPages, generation, d, isStream);
        if (r == Resolved::NotUnderstood || isStream)
            return std::nullopt;
        if (r == Resolved::Null || d.at(0).type != Type::Dict)
            return 0;
        // qpdf climbs /Parent from a /Pages that points into the tree; such files go to it.
        const quint32 parent = d.find(0, "Parent", ok);
        if (!ok || (checkParent && parent && d.at(parent).type != Type::Null))
            return std::nullopt;
        setBit(m_w.visited, rootPages);
        // The inner nodes from the root down to the node whose kids are being walked: the kids
        // are taken depth first, so a kid at depth d has ancestors[0..d-1] above it.
        quint32 ancestors[kMaxTreeDepth + 1];
        ancestors[0] = rootPages;
        Leaves pages;
        bool loopLeftOut = false;
        // The root is an inner node whatever its /Kids holds.
        Parsed list;
        quint32 at = 0;
        const quint32 rootKids = d.find(0, "Kids", ok);
        if (!ok || kidsList(d, rootKids, list, at) == Resolved::NotUnderstood || !takeKids(list, at, 0, pages))
            return std::nullopt;
        std::vector<Pending>& pending = m_w.pending.items;
        while (!pending.empty()) {
            m_meter.work(kUnitsPerKid);
            const Pending kid = pending.back();
            pending.pop_back();
            if (testBit(m_w.seen, kid.number)) {
                const bool dictionary = m_repeated.contains(PageSet::key(kid.number, kid.generation, true));
                if (dictionary || m_repeated.contains(PageSet::key(kid.number, kid.generation, false))) {
                    pages.add(dictionary);
                    continue;
                }
            }
            const Resolved k = m_objects.resolve(kid.number, kid.generation, d, isStream);
            if (k == Resolved::NotUnderstood)
                return std::nullopt;
            const size_t objectBytes = m_objects.lastObjectBytes();
            if (k == Resolved::Null || isStream || d.at(0).type != Type::Dict) {
                countPage(kid, objectBytes, false, pages);
                continue;
            }
            const quint32 kids = d.find(0, "Kids", ok);
            if (!ok)
                return std::nullopt;
            const Resolved l = kidsList(d, kids, list, at);
            if (l == Resolved::NotUnderstood)
                return std::nullopt;
            if (l == Resolved::Null) {
                countPage(kid, objectBytes, true, pages);
                continue;
            }
            if (kid.depth > kMaxTreeDepth)
                return std::nullopt;
            // An inner node reached twice makes qpdf report a loop and read no page at all.
            // Where it lists one of its own ancestors, viewers leave that kid out and show the
            // pages of the rest of the tree, only those that are dictionaries; so does this walk.
            // An inner node shared by two parents is left to qpdf.
            if (!setBit(m_w.visited, kid.number)) {
                if (std::find(ancestors, ancestors + kid.depth, kid.number) == ancestors + kid.depth)
                    return std::nullopt;
                loopLeftOut = true;
                continue;
            }
            ancestors[kid.depth] = kid.number;
            if (!takeKids(list, at, kid.depth, pages))
                return std::nullopt;
        }
        return loopLeftOut ? pages.dictionaries : pages.all;
    }

    Meter& m_meter;
    Workspace& m_w;
    FileBytes m_bytes;
    Streams m_streams;
    CrossReference m_xref;
    Objects m_objects;
    Encryption m_encryption;
    PageSet m_repeated;
    bool m_noCatalog = false; // the trailer's /Root is not in the table
};

} // namespace

size_t Workspace::bytes() const
{
    size_t total = whole.capacity();
    for (const auto& w : window)
        total += w.capacity();
    total += nodes.items.capacity() * sizeof(Node) + crossReference.bytes() + repair.bytes() +
             decoded.capacity() * sizeof(decoded[0]) + objectStreams.bytes() +
             pending.items.capacity() * sizeof(Pending) +
             (visited.capacity() + seen.capacity() + repeated.items.capacity()) * sizeof(quint64);
    for (const auto& d : decoded)
        total += d.capacity();
    return total;
}

void Workspace::trim() noexcept
{
    // What is kept serves the next count of an ordinary file without allocating.
    keepAtMost(whole, kWholeFileBytes);
    for (auto& w : window)
        keepAtMost(w, 64 * 1024);
    keepAtMost(nodes.items, 16 * 1024);
    crossReference.trim();
    repair.trim();
    constexpr size_t kKeptDecoded = 4;
    if (decoded.size() > kKeptDecoded) {
        decoded.resize(kKeptDecoded);
        decoded.shrink_to_fit();
    }
    for (auto& d : decoded)
        keepAtMost(d, 256 * 1024);
    objectStreams.trim();
    keepAtMost(pending.items, 8 * 1024);
    keepAtMost(visited, 8 * 1024);
    keepAtMost(seen, 8 * 1024);
    keepAtMost(repeated.items, 4 * 1024);
}

std::optional<PageTreeCount> countPages(pagecount::FileReader& file, const QByteArray& password, CountingBudget& budget)
{
    Workspace& workspace = t_workspace;
    const auto trim = qScopeGuard([&] { workspace.trim(); });
    try {
        Meter meter(budget);
        Reader reader(file, meter, workspace);
        // The security handler takes an empty password as bytes, never as a null pointer.
        const auto count = reader.run(password.isNull() ? QByteArray("") : password);
        // A file cut shorter while it was read leaves no answer of its own.
        return reader.shrank() ? std::nullopt : count;
    } catch (const Stopped&) {
        return std::nullopt;
    }
}

size_t workspaceBytes()
{
    return t_workspace.bytes();
}

} // namespace pdftree
