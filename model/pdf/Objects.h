#pragma once

// The objects of a PDF by number: parsed where the cross-reference data says they are, in the
// file or in an object stream. Object streams are decoded (and decrypted) once per file and
// their headers indexed. An object is resolved as qpdf resolves it, and one that qpdf might
// read differently (another generation, a header that names another number, a stream inside
// a stream) is not understood, so that the file goes to qpdf. From a rebuilt table an object
// is read whatever generation a reference names, as repairing viewers read it.

#include "model/pdf/CrossReference.h"
#include "model/pdf/FileBytes.h"
#include "model/pdf/Streams.h"
#include "model/pdf/Syntax.h"

#include <QtGlobal>

#include <utility>
#include <vector>

namespace pdftree {

class Encryption;

// A decoded object stream and the numbers and offsets its header lists.
struct ObjectStream {
    quint32 number = 0;
    std::vector<char> data;
    std::vector<std::pair<quint32, quint32>> pairs; // object number, offset from /First
    quint64 first = 0;
    bool ascending = true;
};

// Object streams kept from count to count.
struct ObjectStreams {
    std::vector<ObjectStream> streams;

    size_t bytes() const;
    void trim() noexcept;
};

enum class Resolved { NotUnderstood, Null, Object };

class Objects {
public:
    // `nodes`: the parse buffer that resolved objects are parsed into. `streams`: object
    // streams kept from count to count, their contents replaced. `encryption`: the document's
    // security handler when it is encrypted, else none.
    Objects(FileBytes& bytes, CrossReference& xref, Streams& decoder, Nodes& nodes, ObjectStreams& streams,
            Encryption* encryption);

    // Parses object (number, generation) into the nodes; `out` points into them until the next
    // call. An object that is not there is null, as in qpdf. `isStream` tells whether the
    // object is a stream, whose data then starts at streamData(). Each call is one object of
    // work for the meter, besides the bytes it parses.
    Resolved resolve(quint32 number, quint32 generation, Parsed& out, bool& isStream);
    quint64 streamData() const { return m_streamData; }
    // The bytes the last resolve() parsed for the object itself.
    size_t lastObjectBytes() const { return m_lastBytes; }

    void setEncryption(Encryption* encryption) { m_encryption = encryption; }

    // The object stream `number`, decoded; none when it is not one or cannot be decoded.
    const ObjectStream* objectStreamAt(quint32 number) { return objectStream(number); }
    // An object was not where the cross-reference data put it: a header of another number,
    // or none, or an offset past the end.
    bool sawMisplaced() const { return m_misplaced; }
    // Forgets the object streams decoded, for a table that changed.
    void restart()
    {
        m_streamsUsed = 0;
        m_lastStream = 0;
    }

private:
    bool objectInStream(quint32 number, const Entry& entry, Parsed& out);
    ObjectStream* objectStream(quint32 number);

    FileBytes& m_bytes;
    Meter& m_meter;
    CrossReference& m_xref;
    Streams& m_decoder;
    Nodes& m_nodes;
    std::vector<ObjectStream>& m_streams;
    Encryption* m_encryption;
    size_t m_streamsUsed = 0;
    size_t m_lastStream = 0;
    quint64 m_streamData = 0;
    size_t m_lastBytes = 0;
    bool m_misplaced = false;
};

} // namespace pdftree
