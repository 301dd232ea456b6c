#include "model/pdf/Repair.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace pdftree {

namespace {

// Bytes searched between two reports to the meter.
constexpr size_t kChunkBytes = 64 * 1024;
// How far before "obj" its header may start.
constexpr quint64 kHeaderBytes = 40;
constexpr quint64 kMaxGeneration = 65535;
constexpr int kMaxObjectsRunOut = 16;

bool testBit(const std::vector<quint64>& bits, quint64 i)
{
    return i / 64 < bits.size() && (bits[size_t(i / 64)] >> (i % 64) & 1) != 0;
}

void setBit(std::vector<quint64>& bits, quint64 i)
{
    if (i / 64 < bits.size())
        bits[size_t(i / 64)] |= quint64(1) << (i % 64);
}

// The dictionary of a standard security handler, known by its keys.
bool isSecurityHandler(const Parsed& d)
{
    bool ok = true;
    const auto isString = [&](std::string_view key) {
        const quint32 v = d.find(0, key, ok);
        return v && (d.at(v).type == Type::String || d.at(v).type == Type::HexString);
    };
    return d.isName(d.find(0, "Filter", ok), "Standard") && isString("O") && isString("U");
}

} // namespace

size_t RepairBuffers::bytes() const
{
    return objectStreams.items.capacity() * sizeof(objectStreams.items[0]) + added.items.capacity() * sizeof(Rebuilt) +
           (catalogs.items.capacity() + pagesNodes.items.capacity() + kids.items.capacity()) * sizeof(quint32) +
           bits.capacity() * sizeof(quint64);
}

void RepairBuffers::trim() noexcept
{
    keepAtMost(objectStreams.items, 512);
    keepAtMost(added.items, 1024);
    keepAtMost(catalogs.items, 1024);
    keepAtMost(pagesNodes.items, 1024);
    keepAtMost(kids.items, 8 * 1024);
    keepAtMost(bits, 8 * 1024);
}

Repair::Repair(FileBytes& bytes, CrossReference& xref, Objects& objects, Nodes& nodes, RepairBuffers& buffers)
    : m_bytes(bytes), m_meter(bytes.meter()), m_xref(xref), m_table(xref.buffers().rebuilt), m_objects(objects),
      m_nodes(nodes), m_b(buffers)
{
    m_table.restart();
    m_b.objectStreams.restart();
    m_b.added.restart();
    m_b.catalogs.restart();
    m_b.pagesNodes.restart();
    m_b.kids.restart();
}

// The offset of the first `search.word` at or after `from`, or the file's size. A hit found
// before that still lies ahead is reused, so that each byte is searched at most once for a word.
// The bytes are taken as the file's windows hold them, so that a search rereads nothing.
quint64 Repair::next(Search& search, quint64 from)
{
    if (search.known && search.hit >= from)
        return search.hit;
    const quint64 size = m_bytes.size();
    const size_t n = search.word.size();
    search.known = true;
    search.hit = size;
    for (quint64 at = from; at < size;) {
        const Span s = m_bytes.span(at, n);
        const size_t length = std::min(s.size, kChunkBytes);
        if (length < n)
            break;
        const size_t i = std::string_view(s.data, length).find(search.word);
        m_meter.work(i != std::string_view::npos ? i + n : length);
        if (i != std::string_view::npos) {
            search.hit = at + i;
            break;
        }
        // A hole of a sparse file reads as zero bytes, which hold no word: past a zero byte the
        // file system is asked where the data goes on.
        at += length - (n - 1);
        if (s.data[length - 1] == '\0')
            at = m_bytes.dataFrom(at);
    }
    return search.hit;
}

void Repair::scanFile()
{
    const quint64 size = m_bytes.size();
    for (quint64 pos = 0; pos < size;) {
        const quint64 object = next(m_objWord, pos), trailer = next(m_trailerWord, pos);
        if (object >= size && trailer >= size)
            break;
        pos = trailer < object ? trailerAt(trailer) : objectAt(object);
    }
    install();
}

// The object whose "obj" keyword stands at `at`, when a header "N G obj" ends there: entered in
// the table, and looked into for what the repair needs. Returns where the scan goes on: past the
// object and its stream data.
quint64 Repair::objectAt(quint64 at)
{
    const quint64 from = at > kHeaderBytes ? at - kHeaderBytes : 0;
    const Span s = m_bytes.span(from, size_t(at - from + 4));
    size_t j = size_t(at - from);
    if (!s.data || s.size < j + 3 || (s.size > j + 3 && isRegular(s.data[j + 3])))
        return at + 3;
    const auto spaceBefore = [&] {
        const size_t end = j;
        while (j > 0 && isSpace(s.data[j - 1]))
            --j;
        return j != end;
    };
    const auto digitsBefore = [&](quint64& value) {
        const size_t end = j;
        while (j > 0 && end - j < 11 && isDigit(s.data[j - 1]))
            --j;
        return Parser::digitsValue(std::string_view(s.data + j, end - j), value);
    };
    quint64 number = 0, generation = 0;
    if (!spaceBefore() || !digitsBefore(generation) || !spaceBefore() || !digitsBefore(number) ||
        (j > 0 && isRegular(s.data[j - 1])) || (j == 0 && from > 0) || number == 0 || number > kMaxObjectNumber ||
        generation > kMaxGeneration)
        return at + 3;
    const quint64 header = from + j;
    m_table.push({quint32(number), header, Entry{Entry::InFile, header, generation}}, m_meter);
    m_limit = std::max(m_limit, number + 1);

    quint64 end = at + 3, data = 0;
    qint64 length = -1;
    bool isStream = false;
    bool ranOut = false;
    const bool parsed = m_bytes.parseAt(at + 3, m_nodes, [&](Parser& p, const Span& o) {
        if (const Parse r = p.object(0); r != Parse::Ok) {
            ranOut = r == Parse::Short;
            return r;
        }
        end = at + 3 + p.pos;
        std::string_view w;
        if (const Parse r = p.word(w); r != Parse::Ok && !o.atEnd)
            return r;
        if (w == "stream") {
            isStream = true;
            data = at + 3 + p.pos;
            p.moveTo(size_t(end - at - 3));
            const Parse r = streamKeyword(p, o);
            if (r == Parse::Short && !o.atEnd)
                return r;
            if (r == Parse::Ok)
                data = at + 3 + p.pos;
        }
        const Parsed d{&m_nodes.items, o.data};
        if (d.at(0).type != Type::Dict)
            return Parse::Ok;
        if (!isStream)
            classify(quint32(number), d);
        if (!isStream && isSecurityHandler(d)) {
            m_handlerNumber = quint32(number);
            m_handlerGeneration = quint32(generation);
        }
        bool ok = true;
        const quint32 type = d.find(0, "Type", ok), len = d.find(0, "Length", ok);
        if (len && d.at(len).type == Type::Int)
            length = d.at(len).value;
        if (isStream && d.isName(type, "ObjStm"))
            m_b.objectStreams.push({quint32(number), header}, m_meter);
        else if (isStream && d.isName(type, "XRef"))
            readTrailerKeys(d);
        return Parse::Ok;
    });
    if (!parsed) {
        // An object that the file ends inside (an unclosed string, say) cost the rest of the
        // file to parse; a few are taken, then the scan ends there, as a repairing viewer's
        // lexer ends in the first.
        if (ranOut && ++m_objectsRunOut > kMaxObjectsRunOut)
            return m_bytes.size();
        return at + 3;
    }
    return isStream ? afterStream(data, length) : end;
}

// A "trailer" at `at`: the keys of its dictionary, when it has one. Returns where the scan goes on.
quint64 Repair::trailerAt(quint64 at)
{
    const quint64 from = at > 0 ? at - 1 : 0;
    const Span s = m_bytes.span(from, 9);
    const size_t i = size_t(at - from);
    if (!s.data || (i > 0 && isRegular(s.data[0])) || (s.size > i + 7 && isRegular(s.data[i + 7])))
        return at + 7;
    m_bytes.parseAt(at + 7, m_nodes, [&](Parser& p, const Span& o) {
        if (const Parse r = p.object(0); r != Parse::Ok)
            return r;
        const Parsed d{&m_nodes.items, o.data};
        if (d.at(0).type == Type::Dict)
            readTrailerKeys(d);
        return Parse::Ok;
    });
    return at + 7;
}

// Notes a dictionary that may be where the page tree starts: a catalog, or a /Pages node and the
// kids it lists.
void Repair::classify(quint32 number, const Parsed& d)
{
    bool ok = true;
    const quint32 type = d.find(0, "Type", ok);
    if (d.isName(type, "Catalog")) {
        m_b.catalogs.push(number, m_meter);
    } else if (d.isName(type, "Pages")) {
        m_b.pagesNodes.push(number, m_meter);
        if (const quint32 kids = d.find(0, "Kids", ok); kids && d.at(kids).type == Type::Array) {
            for (quint32 k = kids + 1; k < d.at(kids).end; k = d.at(k).end)
                if (d.at(k).type == Type::Ref && d.at(k).value > 0 && d.at(k).value <= qint64(kMaxObjectNumber))
                    m_b.kids.push(quint32(d.at(k).value), m_meter);
        }
    }
}

// The keys of a trailer or a cross-reference stream's dictionary; each taken from the last that has it.
void Repair::readTrailerKeys(const Parsed& d)
{
    bool ok = true;
    if (const quint32 root = d.find(0, "Root", ok); root && d.at(root).type == Type::Ref && d.at(root).value > 0) {
        m_trailer.rootNumber = quint32(d.at(root).value);
        m_trailer.rootGeneration = d.at(root).extra;
        m_hasRoot = true;
    }
    if (const quint32 e = d.find(0, "Encrypt", ok); e && d.at(e).type == Type::Ref && d.at(e).value > 0) {
        m_trailer.encrypted = true;
        m_trailer.encryptNumber = quint32(d.at(e).value);
        m_trailer.encryptGeneration = d.at(e).extra;
    }
    const quint32 id = d.find(0, "ID", ok);
    if (id && d.at(id).type == Type::Array && d.at(id).end > id + 1 &&
        (d.at(id + 1).type == Type::String || d.at(id + 1).type == Type::HexString)) {
        m_meter.charge(d.at(id + 1).extra);
        m_meter.work(d.at(id + 1).extra);
        m_trailer.fileId = stringValue(d, id + 1);
    }
}

// Where the scan goes on after a stream whose data starts at `data`: past the "endstream" that
// follows `length` bytes of data, else past the next "endstream" in the file, as repairing
// viewers skip stream data, else from the data on.
quint64 Repair::afterStream(quint64 data, qint64 length)
{
    const quint64 size = m_bytes.size();
    if (length >= 0 && data <= size && quint64(length) < size - data) {
        const quint64 end = data + quint64(length);
        const Span s = m_bytes.span(end, 32);
        size_t i = 0;
        while (i < s.size && isSpace(s.data[i]))
            ++i;
        if (s.size >= i + 9 && std::memcmp(s.data + i, "endstream", 9) == 0)
            return end + i + 9;
    }
    const quint64 hit = next(m_endstreamWord, data);
    return hit < size ? hit + 9 : data;
}

// Sorts the table by number, keeps the last definition of each, and hands it over.
void Repair::install()
{
    std::vector<Rebuilt>& table = m_table.items;
    m_meter.work(table.size() * 16);
    std::sort(table.begin(), table.end(), [](const Rebuilt& a, const Rebuilt& b) {
        return a.number != b.number ? a.number < b.number : a.position < b.position;
    });
    size_t kept = 0;
    for (const Rebuilt& r : table) {
        if (kept > 0 && table[kept - 1].number == r.number)
            table[kept - 1] = r;
        else
            table[kept++] = r;
    }
    table.resize(kept);
    if (!m_trailer.encrypted && m_handlerNumber != 0) {
        m_trailer.encrypted = true;
        m_trailer.encryptNumber = m_handlerNumber;
        m_trailer.encryptGeneration = m_handlerGeneration;
    }
    m_xref.useRebuilt(m_trailer, m_limit);
}

void Repair::addStreamObjects()
{
    for (const auto& [number, header] : m_b.objectStreams.items) {
        // A stream that a later object of its number replaces is not read.
        Entry own;
        m_xref.lookup(number, own);
        if (own.kind != Entry::InFile || own.field1 != header)
            continue;
        const ObjectStream* stream = m_objects.objectStreamAt(number);
        if (!stream)
            continue;
        m_meter.work(stream->pairs.size() * 4);
        for (size_t k = 0; k < stream->pairs.size(); ++k) {
            const quint32 n = stream->pairs[k].first;
            if (n == 0 || n == number)
                continue;
            m_b.added.push({n, header, Entry{Entry::Compressed, number, k}}, m_meter);
            m_limit = std::max<quint64>(m_limit, quint64(n) + 1);
        }
    }
    if (m_b.added.items.empty())
        return;
    for (const Rebuilt& r : m_b.added.items)
        m_table.push(r, m_meter);
    install();
    Parsed d;
    for (const Rebuilt& r : m_b.added.items)
        if (isDictionary(r.number, 0, d))
            classify(r.number, d);
}

bool Repair::isDictionary(quint32 number, quint32 generation, Parsed& d)
{
    bool isStream = false;
    return m_objects.resolve(number, generation, d, isStream) == Resolved::Object && !isStream &&
           d.at(0).type == Type::Dict;
}

// A catalog whose /Pages is a dictionary.
bool Repair::usableCatalog(quint32 number)
{
    Parsed d;
    bool ok = true;
    if (!isDictionary(number, 0, d) || !d.isName(d.find(0, "Type", ok), "Catalog"))
        return false;
    const quint32 pages = d.find(0, "Pages", ok);
    return pages && d.at(pages).type == Type::Ref && isDictionary(quint32(d.at(pages).value), 0, d);
}

TreeStart Repair::findTree()
{
    Parsed d;
    if (m_hasRoot && isDictionary(m_trailer.rootNumber, m_trailer.rootGeneration, d))
        return {true, true, m_trailer.rootNumber, m_trailer.rootGeneration};
    // The catalog with the highest number, the newest most often.
    std::vector<quint32>& catalogs = m_b.catalogs.items;
    std::vector<quint32>& nodes = m_b.pagesNodes.items;
    m_meter.work((catalogs.size() + nodes.size() + m_b.kids.items.size()) * 16);
    std::sort(catalogs.begin(), catalogs.end(), std::greater<>());
    for (const quint32 number : catalogs)
        if (usableCatalog(number))
            return {true, true, number, 0};
    // Else the /Pages node of the highest number that no node lists as a kid.
    m_meter.charge((m_limit / 64 + 1) * sizeof(quint64));
    m_b.bits.assign(size_t(m_limit / 64 + 1), 0);
    for (const quint32 kid : m_b.kids.items)
        setBit(m_b.bits, kid);
    std::sort(nodes.begin(), nodes.end(), std::greater<>());
    for (const quint32 number : nodes) {
        bool ok = true;
        if (!testBit(m_b.bits, number) && isDictionary(number, 0, d) && d.isName(d.find(0, "Type", ok), "Pages"))
            return {true, false, number, 0};
    }
    return {};
}

} // namespace pdftree
