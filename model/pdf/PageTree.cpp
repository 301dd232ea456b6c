#include "model/pdf/PageTree.h"

#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/pdf/CrossReference.h"
#include "model/pdf/Encryption.h"
#include "model/pdf/FileBytes.h"
#include "model/pdf/Objects.h"
#include "model/pdf/Streams.h"
#include "model/pdf/Workspace.h"

#include <cstring>

namespace pdftree {

namespace {

constexpr quint32 kMaxTreeDepth = 256; // qpdf walks the tree recursively

thread_local Workspace t_workspace;

class Reader {
public:
    Reader(pagecount::FileReader& file, CountingBudget& budget, Workspace& w)
        : m_budget(budget), m_w(w), m_bytes(file, w.whole, w.window), m_streams(m_bytes, w.decoded),
          m_xref(m_bytes, m_streams, budget, w.crossReference, w.nodes),
          m_objects(m_bytes, m_xref, m_streams, w.nodes, w.objectStreams, nullptr)
    {
    }

    std::optional<PageTreeCount> run(const QByteArray& password)
    {
        if (m_bytes.size() < 16 || !m_bytes.load())
            return {};
        const Span head = m_bytes.span(0, 8);
        // qpdf reads offsets from the header on; one not at the start shifts them all.
        if (head.size < 5 || std::memcmp(head.data, "%PDF-", 5) != 0)
            return {};
        // Where the cross-reference data is unusable this reader stops, and the file goes to qpdf.
        if (!m_xref.read())
            return {};
        bool locked = false;
        if (m_xref.trailer().encrypted) {
            // The tree's dictionaries are not encrypted; only object streams need the key.
            m_objects.setEncryption(&m_encryption);
            if (!readEncryption())
                return {};
            m_encryption.open(password);
            locked = m_encryption.isLocked();
        }
        const auto pages = walkTree();
        if (m_encryption.keyMissing())
            return PageTreeCount{0, true}; // the tree lies in object streams the password does not open
        if (!pages)
            return {};
        return PageTreeCount{*pages, locked};
    }

private:
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

    bool markVisited(quint32 number)
    {
        const size_t word = number / 64;
        const quint64 bit = quint64(1) << (number % 64);
        if (word >= m_w.visited.size())
            return false;
        if (m_w.visited[word] & bit)
            return false;
        m_w.visited[word] |= bit;
        return true;
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
    bool takeKids(const Parsed& d, quint32 at, quint32 depth, quint64& pages)
    {
        if (at == 0)
            return true; // qpdf reads no kids from anything but an array
        const quint32 array = at - 1;
        for (quint32 i = array + 1; i < d.at(array).end; i = d.at(i).end) {
            const Node& kid = d.at(i);
            switch (kid.type) {
            case Type::Ref:
                m_w.pending.push_back({quint32(kid.value), kid.extra, depth + 1});
                break;
            case Type::Null:
                return false; // qpdf throws on a null kid written in place
            case Type::Dict: {
                // A page written in place counts; an inner node written in place is left to qpdf.
                bool ok = true;
                const quint32 k = d.find(i, "Kids", ok);
                if (!ok || (k && d.at(k).type != Type::Null))
                    return false;
                ++pages;
                break;
            }
            default:
                ++pages;
                break;
            }
        }
        return true;
    }

    std::optional<quint64> walkTree()
    {
        m_w.visited.assign(size_t(m_xref.objectLimit() / 64 + 1), 0);
        m_w.pending.clear();
        Parsed d;
        bool isStream = false;
        if (m_objects.resolve(m_xref.trailer().rootNumber, m_xref.trailer().rootGeneration, d, isStream) !=
                Resolved::Object ||
            isStream || d.at(0).type != Type::Dict)
            return std::nullopt;
        bool ok = true;
        const quint32 pagesKey = d.find(0, "Pages", ok);
        if (!ok)
            return std::nullopt;
        if (!pagesKey || d.at(pagesKey).type == Type::Null)
            return 0;
        if (d.at(pagesKey).type != Type::Ref)
            return std::nullopt;
        const quint32 rootPages = quint32(d.at(pagesKey).value);
        const Resolved r = m_objects.resolve(rootPages, d.at(pagesKey).extra, d, isStream);
        if (r == Resolved::NotUnderstood || isStream)
            return std::nullopt;
        if (r == Resolved::Null || d.at(0).type != Type::Dict)
            return 0;
        // qpdf climbs /Parent from a /Pages that points into the tree; such files go to it.
        const quint32 parent = d.find(0, "Parent", ok);
        if (!ok || (parent && d.at(parent).type != Type::Null))
            return std::nullopt;
        markVisited(rootPages);
        quint64 pages = 0;
        // The root is an inner node whatever its /Kids holds.
        Parsed list;
        quint32 at = 0;
        const quint32 rootKids = d.find(0, "Kids", ok);
        if (!ok || kidsList(d, rootKids, list, at) == Resolved::NotUnderstood || !takeKids(list, at, 0, pages))
            return std::nullopt;
        while (!m_w.pending.empty()) {
            if (!m_budget.poll())
                return std::nullopt;
            const Pending kid = m_w.pending.back();
            m_w.pending.pop_back();
            const Resolved k = m_objects.resolve(kid.number, kid.generation, d, isStream);
            if (k == Resolved::NotUnderstood)
                return std::nullopt;
            if (k == Resolved::Null || isStream || d.at(0).type != Type::Dict) {
                ++pages;
                continue;
            }
            const quint32 kids = d.find(0, "Kids", ok);
            if (!ok)
                return std::nullopt;
            const Resolved l = kidsList(d, kids, list, at);
            if (l == Resolved::NotUnderstood)
                return std::nullopt;
            if (l == Resolved::Null) {
                ++pages;
                continue;
            }
            // An inner node reached twice makes qpdf report a loop.
            if (kid.depth > kMaxTreeDepth || !markVisited(kid.number))
                return std::nullopt;
            if (!takeKids(list, at, kid.depth, pages))
                return std::nullopt;
        }
        return pages;
    }

    CountingBudget& m_budget;
    Workspace& m_w;
    FileBytes m_bytes;
    Streams m_streams;
    CrossReference m_xref;
    Objects m_objects;
    Encryption m_encryption;
};

} // namespace

std::optional<PageTreeCount> countPages(pagecount::FileReader& file, const QByteArray& password, CountingBudget& budget)
{
    Workspace& workspace = t_workspace;
    std::optional<PageTreeCount> result;
    {
        Reader reader(file, budget, workspace);
        // The security handler takes an empty password as bytes, never as a null pointer.
        result = reader.run(password.isNull() ? QByteArray("") : password);
    }
    workspace.trim();
    return result;
}

} // namespace pdftree
