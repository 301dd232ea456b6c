#include "model/pdf/Objects.h"

#include "model/pdf/Encryption.h"

#include <limits>
#include <string_view>

namespace pdftree {

size_t ObjectStreams::bytes() const
{
    size_t total = streams.capacity() * sizeof(ObjectStream);
    for (const ObjectStream& s : streams)
        total += s.data.capacity() + s.pairs.capacity() * sizeof(s.pairs[0]);
    return total;
}

void ObjectStreams::trim() noexcept
{
    constexpr size_t kKeptStreams = 2;
    if (streams.size() > kKeptStreams) {
        streams.resize(kKeptStreams);
        streams.shrink_to_fit();
    }
    for (ObjectStream& s : streams) {
        keepAtMost(s.data, 256 * 1024);
        keepAtMost(s.pairs, 4096);
    }
}

Objects::Objects(FileBytes& bytes, CrossReference& xref, Streams& decoder, Nodes& nodes, ObjectStreams& streams,
                 Encryption* encryption)
    : m_bytes(bytes), m_meter(bytes.meter()), m_xref(xref), m_decoder(decoder), m_nodes(nodes),
      m_streams(streams.streams), m_encryption(encryption)
{
}

Resolved Objects::resolve(quint32 number, quint32 generation, Parsed& out, bool& isStream)
{
    isStream = false;
    m_lastBytes = 0;
    m_meter.object();
    Entry entry;
    if (!m_xref.lookup(number, entry))
        return Resolved::NotUnderstood;
    if (m_xref.contradictsStream(number, entry))
        return Resolved::NotUnderstood;
    if (entry.kind == Entry::Absent || entry.kind == Entry::Free)
        return Resolved::Null;
    const bool rebuilt = m_xref.isRebuilt();
    if (entry.kind == Entry::Compressed) {
        if (generation != 0 && !rebuilt)
            return Resolved::NotUnderstood;
        return objectInStream(number, entry, out) ? Resolved::Object : Resolved::NotUnderstood;
    }
    // qpdf keys its table by number and generation; an older generation is left to it.
    if (entry.field2 != generation && !rebuilt)
        return Resolved::NotUnderstood;
    if (entry.field1 >= m_bytes.size()) {
        m_misplaced = true;
        return Resolved::NotUnderstood;
    }
    const bool parsed = m_bytes.parseAt(entry.field1, m_nodes, [&](Parser& p, const Span& s) {
        quint64 n = 0, g = 0;
        std::string_view w;
        Parse r = p.unsignedInt(n);
        if (r == Parse::Ok)
            r = p.unsignedInt(g);
        if (r == Parse::Ok)
            r = p.word(w);
        if (r != Parse::Ok) {
            m_misplaced = m_misplaced || r == Parse::Bad;
            return r;
        }
        if (n != number || g != entry.field2 || w != "obj") {
            m_misplaced = true;
            return Parse::Bad;
        }
        if (r = p.object(0); r != Parse::Ok)
            return r;
        const size_t end = p.pos;
        m_lastBytes = end;
        // A repairing viewer takes the last object of a file cut off after it.
        if (r = p.word(w); r != Parse::Ok && !(rebuilt && s.atEnd))
            return r;
        if (w == "stream") {
            if (m_nodes.items[0].type != Type::Dict)
                return Parse::Bad;
            p.moveTo(end);
            if (r = streamKeyword(p, s); r != Parse::Ok)
                return r;
            isStream = true;
            m_streamData = entry.field1 + p.pos;
        } else if (w != "endobj" && !rebuilt) {
            return Parse::Bad; // a repairing viewer takes the object without it
        }
        out = Parsed{&m_nodes.items, s.data};
        return Parse::Ok;
    });
    return parsed ? Resolved::Object : Resolved::NotUnderstood;
}

bool Objects::objectInStream(quint32 number, const Entry& entry, Parsed& out)
{
    if (entry.field1 == 0 || entry.field1 > kMaxObjectNumber)
        return false;
    ObjectStream* stream = objectStream(quint32(entry.field1));
    if (!stream)
        return false;
    // The index in the entry is a hint; qpdf goes by the numbers in the stream's header, and
    // the last pair with the number wins.
    quint64 offset = std::numeric_limits<quint64>::max();
    if (stream->ascending && entry.field2 < stream->pairs.size() &&
        stream->pairs[size_t(entry.field2)].first == number) {
        offset = stream->pairs[size_t(entry.field2)].second;
    } else {
        m_meter.work(stream->pairs.size());
        for (const auto& [n, o] : stream->pairs)
            if (n == number)
                offset = o;
    }
    if (offset == std::numeric_limits<quint64>::max())
        return false;
    const quint64 start = stream->first + offset;
    if (start >= stream->data.size())
        return false;
    m_nodes.items.clear();
    Parser p(stream->data.data() + start, size_t(stream->data.size() - start), true, &m_nodes, m_meter);
    if (p.object(0) != Parse::Ok)
        return false;
    m_lastBytes = p.pos;
    out = Parsed{&m_nodes.items, stream->data.data() + start};
    return true;
}

// The object stream `number`, decoded once per file.
ObjectStream* Objects::objectStream(quint32 number)
{
    if (m_lastStream < m_streamsUsed && m_streams[m_lastStream].number == number)
        return &m_streams[m_lastStream];
    m_meter.work(m_streamsUsed);
    for (size_t i = 0; i < m_streamsUsed; ++i) {
        if (m_streams[i].number == number) {
            m_lastStream = i;
            return &m_streams[i];
        }
    }
    // qpdf asks for the stream as generation 0; a stream is never inside another one.
    Entry own;
    if (!m_xref.lookup(number, own) || own.kind != Entry::InFile)
        return nullptr;
    Parsed d;
    bool isStream = false;
    if (resolve(number, 0, d, isStream) != Resolved::Object || !isStream)
        return nullptr;
    const quint64 dataOffset = m_streamData;
    bool ok = true;
    if (d.at(0).type != Type::Dict || !d.isName(d.find(0, "Type", ok), "ObjStm"))
        return nullptr;
    StreamFormat format;
    if (!readStreamFormat(d, 0, format))
        return nullptr;
    const quint32 n = d.find(0, "N", ok);
    const quint32 first = d.find(0, "First", ok);
    const quint32 len = d.find(0, "Length", ok);
    if (!ok || !n || !first || !len || d.at(n).type != Type::Int || d.at(first).type != Type::Int ||
        d.at(n).value < 0 || d.at(first).value < 0 || d.at(n).value > 1 << 20)
        return nullptr;
    const quint64 count = quint64(d.at(n).value);
    const quint64 firstOffset = quint64(d.at(first).value);
    qint64 length = -1;
    if (d.at(len).type == Type::Int) {
        length = d.at(len).value;
    } else if (d.at(len).type == Type::Ref) {
        const quint32 ln = quint32(d.at(len).value), lg = d.at(len).extra;
        // A length kept in an object stream could lead back here; such files go to qpdf.
        Entry lengthEntry;
        if (!m_xref.lookup(ln, lengthEntry) || lengthEntry.kind != Entry::InFile)
            return nullptr;
        Parsed l;
        bool lengthIsStream = false;
        if (resolve(ln, lg, l, lengthIsStream) != Resolved::Object || lengthIsStream || l.at(0).type != Type::Int)
            return nullptr;
        length = l.at(0).value;
    }
    if (length < 0)
        return nullptr;
    std::vector<char>* data = nullptr;
    // Object streams are encrypted in an encrypted file (cross-reference streams never are).
    Encryption* decryption = m_encryption && m_encryption->encryptsStreams() ? m_encryption : nullptr;
    if (!m_decoder.read(dataOffset, quint64(length), format, data, decryption, number))
        return nullptr;
    m_meter.charge(sizeof(ObjectStream));
    if (m_streamsUsed == m_streams.size())
        m_streams.emplace_back();
    ObjectStream& stream = m_streams[m_streamsUsed];
    stream.number = number;
    stream.data.swap(*data);
    stream.first = firstOffset;
    stream.pairs.clear();
    stream.ascending = true;
    if (firstOffset > stream.data.size())
        return nullptr;
    Parser header(stream.data.data(), size_t(firstOffset), true, nullptr, m_meter);
    // Each pair takes at least four bytes of the header.
    if (count > firstOffset / 4 + 1)
        return nullptr;
    m_meter.charge(size_t(count) * sizeof(stream.pairs[0]));
    stream.pairs.reserve(size_t(count));
    for (quint64 i = 0; i < count; ++i) {
        quint64 objectNumber = 0, offset = 0;
        if (header.unsignedInt(objectNumber) != Parse::Ok || header.unsignedInt(offset) != Parse::Ok ||
            objectNumber > kMaxObjectNumber || offset > stream.data.size())
            return nullptr;
        if (!stream.pairs.empty() && stream.pairs.back().first >= objectNumber)
            stream.ascending = false;
        stream.pairs.push_back({quint32(objectNumber), quint32(offset)});
    }
    m_lastStream = m_streamsUsed++;
    return &stream;
}

} // namespace pdftree
