#pragma once

// The cross-reference data of a PDF: the chain of sections from the last "startxref" back
// through /Prev, each a classic table (with the /XRefStm of a hybrid file) or a
// cross-reference stream, and the trailer keys the reader needs. An object's entry is looked
// up as qpdf keeps it. Anything qpdf would repair (a damaged or looping chain, a malformed
// entry, a trailer without /Root or /Size) makes read() fail: the data is then unusable, and
// the repair (Repair.h) rebuilds the table from the objects, which this then answers from.
// The offsets the data holds count from a base: the file's first byte, or, in a file with bytes
// before its header, the header, as qpdf counts them; every offset handed out counts from the
// file's first byte.

#include "model/pdf/FileBytes.h"
#include "model/pdf/Streams.h"
#include "model/pdf/Syntax.h"

#include <QByteArray>
#include <QtGlobal>

#include <utility>
#include <vector>

namespace pdftree {

// One entry of the cross-reference data.
struct Entry {
    enum Kind : quint8 { Absent, Free, InFile, Compressed } kind = Absent;
    quint64 field1 = 0; // InFile: offset; Compressed: object stream number
    quint64 field2 = 0; // InFile: generation; Compressed: index in the stream
};

struct Subsection {
    quint32 first;
    quint32 count;
    quint64 pos; // table: file offset of the first entry; stream: offset of its first row in the data
};

struct Section {
    bool isStream = false;
    quint64 offset = 0; // stream: where its object starts
    quint32 subBegin = 0, subEnd = 0;
    int companion = -1;       // a table's /XRefStm section
    bool isCompanion = false; // read only through its table
    quint32 data = 0;         // stream: index of the decoded rows
    quint8 width[3] = {0, 0, 0};
    quint32 rowBytes = 0;
};

// What the newest trailer says.
struct Trailer {
    quint32 rootNumber = 0;
    quint32 rootGeneration = 0;
    bool encrypted = false;
    quint32 encryptNumber = 0;
    quint32 encryptGeneration = 0;
    QByteArray fileId; // first string of /ID, when encrypted
};

// An entry of a table rebuilt from the objects: `position` is where its definition stands.
struct Rebuilt {
    quint32 number;
    quint64 position;
    Entry entry;
};

// The buffers of the cross-reference data, kept from count to count.
struct CrossReferenceBuffers {
    Charged<Rebuilt> rebuilt; // sorted by number, one entry each, once handed over
    Charged<Subsection> subsections;
    Charged<Section> sections;
    Charged<quint64> offsets;
    Charged<std::pair<quint64, quint64>> ranges;
    Charged<std::pair<quint32, quint64>> streams; // object number, offset

    void restart();
    size_t bytes() const;
    void trim() noexcept;
};

class CrossReference {
public:
    // `nodes`: the parse buffer shared with the other pieces.
    CrossReference(FileBytes& bytes, Streams& streams, CrossReferenceBuffers& buffers, Nodes& nodes);

    // Reads every section, its offsets counted from `base`; false when the data is unusable to
    // this reader, which the repair then rebuilds from the objects. Each stream is decoded once,
    // however many tables name it as their /XRefStm. Each call starts afresh.
    bool read(quint64 base = 0);

    // Answers from then on from the rebuilt table in the buffers, with `trailer`; `objectLimit`
    // is one past its highest number.
    void useRebuilt(const Trailer& trailer, quint64 objectLimit);
    bool isRebuilt() const { return m_rebuilt; }
    CrossReferenceBuffers& buffers() { return m_b; }

    const Trailer& trailer() const { return m_trailer; }
    // One past the highest object number any section lists.
    quint64 objectLimit() const { return m_maxObject; }

    // The entry of object `number` as qpdf keeps it: the newest section that lists the number
    // wins; in a table, in-use entries before the entries of its /XRefStm, free ones after.
    // False when an entry is malformed. Reports one unit of work per subsection looked at.
    bool lookup(quint32 number, Entry& entry);

    // Whether object `number` would be read from elsewhere than the cross-reference stream of
    // that number: qpdf keeps such a stream as the object its header names, so the file is left to it.
    bool contradictsStream(quint32 number, const Entry& entry) const;

private:
    bool findStartxref(quint64& offset);
    bool readTable(quint64 offset, bool newest, qint64& previous);
    bool readTrailer(const Parsed& d, bool newest, qint64& previous);
    bool readStreamSection(quint64 offset, bool newest, qint64& previous, bool companion);
    bool decodeSection(Section& section, quint64 dataOffset, quint64 length, const StreamFormat& format,
                       const std::pair<quint64, quint64>* ranges, size_t rangeCount);
    bool streamEntry(const Section& section, quint32 number, Entry& entry);

    FileBytes& m_bytes;
    Meter& m_meter;
    Streams& m_streams;
    CrossReferenceBuffers& m_b;
    Nodes& m_nodes;
    Trailer m_trailer;
    quint64 m_maxObject = 0;
    quint64 m_base = 0;
    bool m_rebuilt = false;
};

} // namespace pdftree
