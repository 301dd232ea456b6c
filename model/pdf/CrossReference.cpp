#include "model/pdf/CrossReference.h"

#include "model/CountingBudget.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace pdftree {

namespace {

constexpr size_t kMaxSections = 256;
// qpdf looks for "startxref" this far from the end.
constexpr quint64 kStartxrefWindow = 1054;

// "oooooooooo ggggg n" and an end of line of two bytes: one entry of a classic table.
bool isTableEntry(const char* x)
{
    unsigned bad = 0;
    for (int i = 0; i < 10; ++i)
        bad |= unsigned(quint8(x[i] - '0')) > 9 ? 1u : 0u;
    for (int i = 11; i < 16; ++i)
        bad |= unsigned(quint8(x[i] - '0')) > 9 ? 1u : 0u;
    const bool eol = (x[18] == ' ' && (x[19] == '\n' || x[19] == '\r')) || (x[18] == '\r' && x[19] == '\n');
    return !bad && x[10] == ' ' && x[16] == ' ' && (x[17] == 'n' || x[17] == 'f') && eol;
}

quint64 field(const char* p, int width)
{
    quint64 v = 0;
    for (int i = 0; i < width; ++i)
        v = (v << 8) | quint8(p[i]);
    return v;
}

} // namespace

void CrossReferenceBuffers::restart()
{
    rebuilt.restart();
    subsections.restart();
    sections.restart();
    offsets.restart();
    ranges.restart();
    streams.restart();
}

size_t CrossReferenceBuffers::bytes() const
{
    return subsections.items.capacity() * sizeof(Subsection) + sections.items.capacity() * sizeof(Section) +
           offsets.items.capacity() * sizeof(quint64) + ranges.items.capacity() * sizeof(ranges.items[0]) +
           streams.items.capacity() * sizeof(streams.items[0]) + rebuilt.items.capacity() * sizeof(Rebuilt);
}

void CrossReferenceBuffers::trim() noexcept
{
    keepAtMost(subsections.items, 4096);
    keepAtMost(sections.items, 512);
    keepAtMost(offsets.items, 512);
    keepAtMost(ranges.items, 1024);
    keepAtMost(streams.items, 512);
    keepAtMost(rebuilt.items, 1024);
}

CrossReference::CrossReference(FileBytes& bytes, Streams& streams, CrossReferenceBuffers& buffers, Nodes& nodes)
    : m_bytes(bytes), m_meter(bytes.meter()), m_streams(streams), m_b(buffers), m_nodes(nodes)
{
    m_b.restart();
}

// The value of "startxref" as qpdf finds it: the last one in the final bytes followed by
// an integer.
bool CrossReference::findStartxref(quint64& offset)
{
    const quint64 from = m_bytes.size() > kStartxrefWindow ? m_bytes.size() - kStartxrefWindow : 0;
    const Span s = m_bytes.span(from, size_t(m_bytes.size() - from));
    if (s.size != m_bytes.size() - from)
        return false;
    const std::string_view tail(s.data, s.size);
    constexpr std::string_view kKeyword = "startxref";
    for (size_t at = tail.rfind(kKeyword); at != std::string_view::npos;
         at = at ? tail.rfind(kKeyword, at - 1) : std::string_view::npos) {
        Parser p(s.data, s.size, true, nullptr, m_meter);
        p.moveTo(at + kKeyword.size());
        if (p.pos < s.size && isRegular(s.data[p.pos]))
            continue;
        // The first integer after it, with a sign or not; qpdf rebuilds the table from
        // one that is not a positive offset.
        std::string_view w;
        if (p.word(w) != Parse::Ok || w.empty())
            continue;
        const bool sign = w[0] == '+' || w[0] == '-';
        quint64 value = 0;
        if (!Parser::digitsValue(w.substr(sign ? 1 : 0), value)) {
            if (w.size() > 1 && std::all_of(w.begin() + 1, w.end(), isDigit))
                return false; // an integer too long to be an offset
            continue;
        }
        offset = value;
        return value != 0 && w[0] != '-';
    }
    return false;
}

bool CrossReference::read(quint64 base)
{
    m_b.restart();
    m_trailer = Trailer();
    m_maxObject = 0;
    m_rebuilt = false;
    m_base = base;
    quint64 offset = 0;
    if (base >= m_bytes.size() || !findStartxref(offset))
        return false;
    bool newest = true;
    while (offset != 0) {
        m_meter.object();
        if (m_b.sections.items.size() >= kMaxSections || offset >= m_bytes.size() - base)
            return false;
        offset += base;
        const auto& offsets = m_b.offsets.items;
        if (std::find(offsets.begin(), offsets.end(), offset) != offsets.end())
            return false; // qpdf stops at a loop and rebuilds the table
        m_b.offsets.push(offset, m_meter);
        // "xref" right at the offset starts a table (qpdf skips nothing before it); anything
        // else must be a cross-reference stream.
        const Span s = m_bytes.span(offset, 64);
        qint64 previous = 0;
        bool ok = false;
        if (s.size >= 5 && std::memcmp(s.data, "xref", 4) == 0 && isXrefSpace(s.data[4]))
            ok = readTable(offset + 4, newest, previous);
        else
            ok = readStreamSection(offset, newest, previous, false);
        if (!ok || previous < 0)
            return false;
        newest = false;
        offset = quint64(previous);
    }
    return !m_b.sections.items.empty() && m_trailer.rootNumber != 0;
}

// A classic table from just after "xref": its subsections and trailer. The entries are read
// when looked up; here only their layout is checked.
bool CrossReference::readTable(quint64 offset, bool newest, qint64& previous)
{
    Section section;
    section.subBegin = quint32(m_b.subsections.items.size());
    quint64 pos = offset;
    for (;;) {
        m_meter.object();
        quint64 first = 0, count = 0;
        bool trailer = false;
        quint64 entries = 0;
        const bool parsed = m_bytes.parseAt(pos, m_nodes, [&](Parser& p, const Span&) {
            std::string_view w;
            if (const Parse r = p.word(w); r != Parse::Ok)
                return r;
            if (w == "trailer") {
                trailer = true;
                entries = pos + p.pos;
                return Parse::Ok;
            }
            if (!Parser::digitsValue(w, first))
                return Parse::Bad;
            if (const Parse r = p.unsignedInt(count); r != Parse::Ok)
                return r;
            if (const Parse r = p.skipSpace(); r != Parse::Ok)
                return r;
            entries = pos + p.pos;
            return Parse::Ok;
        });
        if (!parsed)
            return false;
        if (trailer) {
            pos = entries;
            break;
        }
        if (first + count > kMaxObjectNumber || count * 20 > kMaxObjectBytes ||
            count * 20 > m_bytes.size() - std::min(m_bytes.size(), entries))
            return false;
        if (count > 0) {
            const Span e = m_bytes.span(entries, size_t(count * 20));
            if (e.size < count * 20)
                return false;
            // qpdf rebuilds the whole table from the objects in the file at one malformed entry.
            for (quint64 i = 0; i < count; ++i) {
                if (i % 256 == 0)
                    m_meter.work(256 * 20);
                if (!isTableEntry(e.data + i * 20))
                    return false;
            }
        }
        m_b.subsections.push({quint32(first), quint32(count), entries}, m_meter);
        m_maxObject = std::max<quint64>(m_maxObject, first + count);
        pos = entries + count * 20;
    }
    section.subEnd = quint32(m_b.subsections.items.size());
    const size_t index = m_b.sections.items.size();
    m_b.sections.push(section, m_meter);

    qint64 xrefStream = -1;
    const bool parsed = m_bytes.parseAt(pos, m_nodes, [&](Parser& p, const Span& s) {
        if (const Parse r = p.object(0); r != Parse::Ok)
            return r;
        const Parsed d{&m_nodes.items, s.data};
        if (d.at(0).type != Type::Dict)
            return Parse::Bad;
        if (!readTrailer(d, newest, previous))
            return Parse::Bad;
        bool ok = true;
        // qpdf rebuilds the table when a trailer lacks /Size or its /Size is not an integer.
        if (const quint32 size = d.find(0, "Size", ok); !size || d.at(size).type != Type::Int)
            return Parse::Bad;
        if (const quint32 x = d.find(0, "XRefStm", ok)) {
            if (d.at(x).type != Type::Int || d.at(x).value <= 0)
                return Parse::Bad;
            xrefStream = d.at(x).value;
        }
        return ok ? Parse::Ok : Parse::Bad;
    });
    if (!parsed)
        return false;
    if (xrefStream > 0) {
        qint64 ignored = 0;
        const int companion = int(m_b.sections.items.size());
        if (!readStreamSection(m_base + quint64(xrefStream), false, ignored, true))
            return false;
        m_b.sections.items[index].companion = companion;
    }
    return true;
}

// The keys of a trailer (or of a cross-reference stream's dictionary) this reader uses.
bool CrossReference::readTrailer(const Parsed& d, bool newest, qint64& previous)
{
    bool ok = true;
    if (const quint32 prev = d.find(0, "Prev", ok)) {
        if (d.at(prev).type != Type::Int || d.at(prev).value < 0)
            return false;
        previous = d.at(prev).value;
    }
    if (newest) {
        const quint32 root = d.find(0, "Root", ok);
        if (!root || d.at(root).type != Type::Ref)
            return false;
        m_trailer.rootNumber = quint32(d.at(root).value);
        m_trailer.rootGeneration = d.at(root).extra;
        const quint32 encrypt = d.find(0, "Encrypt", ok);
        m_trailer.encrypted = encrypt && d.at(encrypt).type != Type::Null;
        if (m_trailer.encrypted) {
            if (d.at(encrypt).type != Type::Ref)
                return false;
            m_trailer.encryptNumber = quint32(d.at(encrypt).value);
            m_trailer.encryptGeneration = d.at(encrypt).extra;
            const quint32 id = d.find(0, "ID", ok);
            if (!id || d.at(id).type != Type::Array || d.at(id).end == id + 1)
                return false;
            const Type first = d.at(id + 1).type;
            if (first != Type::String && first != Type::HexString)
                return false;
            m_meter.charge(d.at(id + 1).extra);
            m_meter.work(d.at(id + 1).extra);
            m_trailer.fileId = stringValue(d, id + 1);
        }
    }
    return ok;
}

// A cross-reference stream at `offset`. A hybrid file's stream (`companion`) adds entries to
// its table's section and its trailer keys are not read. A stream read before, as the /XRefStm
// of another table, is not decoded again: the new section shares its rows.
bool CrossReference::readStreamSection(quint64 offset, bool newest, qint64& previous, bool companion)
{
    std::optional<Section> known;
    for (const Section& section : m_b.sections.items) {
        if (section.isStream && section.offset == offset) {
            known = section;
            break;
        }
    }
    if (known && companion) {
        known->isCompanion = true;
        m_b.sections.push(*known, m_meter);
        return true;
    }
    StreamFormat format;
    quint64 length = 0;
    quint64 dataOffset = 0;
    quint64 widths[3] = {0, 0, 0};
    quint64 size = 0;
    quint32 streamNumber = 0;
    auto& ranges = m_b.ranges;
    ranges.items.clear();
    const bool parsed = m_bytes.parseAt(offset, m_nodes, [&](Parser& p, const Span& s) {
        quint64 number = 0, generation = 0;
        std::string_view w;
        if (const Parse r = p.unsignedInt(number); r != Parse::Ok)
            return r;
        if (const Parse r = p.unsignedInt(generation); r != Parse::Ok)
            return r;
        if (const Parse r = p.word(w); r != Parse::Ok || w != "obj")
            return r == Parse::Short ? r : Parse::Bad;
        if (number == 0 || number > kMaxObjectNumber)
            return Parse::Bad;
        streamNumber = quint32(number);
        if (const Parse r = p.object(0); r != Parse::Ok)
            return r;
        if (const Parse r = streamKeyword(p, s); r != Parse::Ok)
            return r;
        dataOffset = offset + p.pos;
        const Parsed d{&m_nodes.items, s.data};
        bool ok = true;
        if (d.at(0).type != Type::Dict || !d.isName(d.find(0, "Type", ok), "XRef"))
            return Parse::Bad;
        const quint32 len = d.find(0, "Length", ok);
        if (!len || d.at(len).type != Type::Int || d.at(len).value < 0)
            return Parse::Bad;
        length = quint64(d.at(len).value);
        if (!readStreamFormat(d, 0, format))
            return Parse::Bad;
        const quint32 sz = d.find(0, "Size", ok);
        if (!sz || d.at(sz).type != Type::Int || d.at(sz).value < 0)
            return Parse::Bad;
        size = quint64(d.at(sz).value);
        const quint32 wArray = d.find(0, "W", ok);
        if (!wArray || d.at(wArray).type != Type::Array || d.at(wArray).end != wArray + 4)
            return Parse::Bad;
        for (int i = 0; i < 3; ++i) {
            const Node& n = d.at(wArray + 1 + quint32(i));
            if (n.type != Type::Int || n.value < 0 || n.value > 8)
                return Parse::Bad;
            widths[i] = quint64(n.value);
        }
        if (const quint32 index = d.find(0, "Index", ok)) {
            if (d.at(index).type != Type::Array)
                return Parse::Bad;
            for (quint32 i = index + 1; i < d.at(index).end; i += 2) {
                if (i + 1 >= d.at(index).end || d.at(i).type != Type::Int || d.at(i + 1).type != Type::Int ||
                    d.at(i).value < 0 || d.at(i + 1).value < 0)
                    return Parse::Bad;
                ranges.push({quint64(d.at(i).value), quint64(d.at(i + 1).value)}, m_meter);
            }
        } else {
            ranges.push({0, size}, m_meter);
        }
        if (!companion && !readTrailer(d, newest, previous))
            return Parse::Bad;
        return ok ? Parse::Ok : Parse::Bad;
    });
    if (!parsed || length > kMaxObjectBytes || dataOffset + length > m_bytes.size())
        return false;
    if (known) {
        // The chain reaches a stream read as an /XRefStm: its trailer keys are read, its rows shared.
        known->isCompanion = false;
        m_b.sections.push(*known, m_meter);
        return true;
    }
    // qpdf keeps the stream as the object its header names, whatever the entries say.
    m_b.streams.push({streamNumber, offset}, m_meter);
    Section section;
    section.isStream = true;
    section.offset = offset;
    section.isCompanion = companion;
    for (int i = 0; i < 3; ++i)
        section.width[i] = quint8(widths[i]);
    section.rowBytes = quint32(widths[0] + widths[1] + widths[2]);
    if (section.rowBytes == 0 ||
        !decodeSection(section, dataOffset, length, format, ranges.items.data(), ranges.items.size()))
        return false;
    m_b.sections.push(section, m_meter);
    return true;
}

// The rows of a stream section, decoded and checked; its subsections are added.
bool CrossReference::decodeSection(Section& section, quint64 dataOffset, quint64 length, const StreamFormat& format,
                                   const std::pair<quint64, quint64>* ranges, size_t rangeCount)
{
    std::vector<char>* rows = nullptr;
    if (!m_streams.read(dataOffset, length, format, rows))
        return false;
    section.data = quint32(m_streams.lastBuffer());
    section.subBegin = quint32(m_b.subsections.items.size());
    quint64 row = 0;
    for (size_t r = 0; r < rangeCount; ++r) {
        const auto [first, count] = ranges[r];
        if (first + count > kMaxObjectNumber)
            return false;
        m_b.subsections.push({quint32(first), quint32(count), row * section.rowBytes}, m_meter);
        m_maxObject = std::max<quint64>(m_maxObject, first + count);
        row += count;
    }
    section.subEnd = quint32(m_b.subsections.items.size());
    if (row * section.rowBytes > rows->size())
        return false;
    // qpdf gives up on the whole section at an entry type it does not know.
    if (section.width[0] > 0) {
        for (quint64 r = 0; r < row; ++r) {
            if (r % 1024 == 0)
                m_meter.work(1024 * section.rowBytes);
            if (field(rows->data() + r * section.rowBytes, section.width[0]) > 2)
                return false;
        }
    }
    return true;
}

bool CrossReference::streamEntry(const Section& section, quint32 number, Entry& entry)
{
    for (quint32 i = section.subBegin; i < section.subEnd; ++i) {
        const Subsection& sub = m_b.subsections.items[i];
        if (number < sub.first || number - sub.first >= sub.count)
            continue;
        const char* row =
            m_streams.bufferAt(section.data).data() + sub.pos + quint64(number - sub.first) * section.rowBytes;
        const quint64 type = section.width[0] ? field(row, section.width[0]) : 1;
        const quint64 f1 = field(row + section.width[0], section.width[1]);
        const quint64 f2 = field(row + section.width[0] + section.width[1], section.width[2]);
        entry.kind = type == 0 ? Entry::Free : type == 1 ? Entry::InFile : Entry::Compressed;
        // An offset past any file stays past it rather than wrap round to a small one.
        entry.field1 = type != 1 ? f1 : f1 > ~quint64(0) - m_base ? ~quint64(0) : f1 + m_base;
        entry.field2 = f2;
        return true;
    }
    return false;
}

void CrossReference::useRebuilt(const Trailer& trailer, quint64 objectLimit)
{
    m_rebuilt = true;
    m_trailer = trailer;
    m_maxObject = objectLimit;
}

bool CrossReference::lookup(quint32 number, Entry& entry)
{
    entry = Entry{};
    if (m_rebuilt) {
        const auto& table = m_b.rebuilt.items;
        m_meter.work(32);
        const auto it = std::lower_bound(table.begin(), table.end(), number,
                                         [](const Rebuilt& r, quint32 n) { return r.number < n; });
        if (it != table.end() && it->number == number)
            entry = it->entry;
        return true;
    }
    m_meter.work(m_b.subsections.items.size());
    for (const Section& section : m_b.sections.items) {
        if (section.isStream) {
            if (!section.isCompanion && streamEntry(section, number, entry))
                return true;
            continue;
        }
        bool free = false;
        for (quint32 i = section.subBegin; i < section.subEnd; ++i) {
            const Subsection& sub = m_b.subsections.items[i];
            if (number < sub.first || number - sub.first >= sub.count)
                continue;
            const Span s = m_bytes.span(sub.pos + quint64(number - sub.first) * 20, 20);
            if (s.size < 20)
                return false;
            quint64 offset = 0, generation = 0;
            if (!Parser::digitsValue(std::string_view(s.data, 10), offset) ||
                !Parser::digitsValue(std::string_view(s.data + 11, 5), generation))
                return false;
            if (s.data[17] == 'n') {
                entry = Entry{Entry::InFile, offset + m_base, generation};
                return true;
            }
            free = true;
        }
        if (section.companion >= 0 && streamEntry(m_b.sections.items[size_t(section.companion)], number, entry))
            return true;
        if (free) {
            entry.kind = Entry::Free;
            return true;
        }
    }
    return true;
}

bool CrossReference::contradictsStream(quint32 number, const Entry& entry) const
{
    if (m_rebuilt)
        return false;
    for (const auto& [n, offset] : m_b.streams.items) {
        if (n == number && (entry.kind != Entry::InFile || entry.field1 != offset))
            return true;
    }
    return false;
}

} // namespace pdftree
