#pragma once

// The object table of a PDF rebuilt from its bytes, for a file whose cross-reference data is
// missing, unreadable or wrong, as repairing viewers rebuild it. One linear pass over the file
// finds every "N G obj" header outside stream data and every "trailer" dictionary; the objects
// listed in the object streams found that way are added after it; of two definitions of one
// number the later one in the file wins (an object in an object stream stands where its stream
// does). The trailer keys come from the trailers and cross-reference stream dictionaries found,
// each key from the last one that has it. Where none of them names an /Encrypt, the security
// handler is the last dictionary in the file with /Filter /Standard, /O and /U, as repairing
// viewers find it; the /ID is only ever a trailer's, so without one a handler that hashes it
// takes it as empty, as they do. The page tree's root is then the trailer's catalog;
// else the catalog with the highest number whose /Pages is a dictionary; else the /Pages node
// that no other node lists as a kid.
// Work and memory are those of the reader's other pieces: the pass reports every chunk it
// searches, each byte is searched once, and the table is charged as it grows, in proportion to
// the objects found.

#include "model/pdf/CrossReference.h"
#include "model/pdf/FileBytes.h"
#include "model/pdf/Meter.h"
#include "model/pdf/Objects.h"
#include "model/pdf/Syntax.h"

#include <QtGlobal>

#include <string_view>
#include <utility>
#include <vector>

namespace pdftree {

// The buffers of a repair, kept from count to count.
struct RepairBuffers {
    Charged<std::pair<quint32, quint64>> objectStreams; // number, offset of the header
    Charged<Rebuilt> added;                             // the objects found in them
    Charged<quint32> catalogs;                          // numbers of /Type /Catalog dictionaries
    Charged<quint32> pagesNodes;                        // numbers of /Type /Pages dictionaries
    Charged<quint32> kids;                              // numbers those list as kids
    std::vector<quint64> bits;                          // the kids, as bits

    size_t bytes() const;
    void trim() noexcept;
};

// Where the page walk starts: a catalog, or a /Pages node itself.
struct TreeStart {
    bool found = false;
    bool isCatalog = true;
    quint32 number = 0;
    quint32 generation = 0;
};

class Repair {
public:
    Repair(FileBytes& bytes, CrossReference& xref, Objects& objects, Nodes& nodes, RepairBuffers& buffers);

    // Scans the file and hands the table of the objects in the file, with the trailer keys
    // found, to the cross-reference data, which answers from it from then on.
    void scanFile();

    // Adds the objects of the object streams found (decoded through the objects, so decrypted
    // where the document is) to the table. Call once, after the security handler is set.
    void addStreamObjects();

    // Where the walk starts; not found when the file holds no usable catalog or tree.
    TreeStart findTree();

private:
    // A word searched for ahead of the scan: `hit` is its first occurrence at or after where
    // it was last searched from, or the file's size.
    struct Search {
        std::string_view word;
        quint64 hit = 0;
        bool known = false;
    };
    quint64 next(Search& search, quint64 from);
    quint64 objectAt(quint64 at);
    quint64 trailerAt(quint64 at);
    void readTrailerKeys(const Parsed& d);
    void classify(quint32 number, const Parsed& d);
    quint64 afterStream(quint64 data, qint64 length);
    void install();
    bool isDictionary(quint32 number, quint32 generation, Parsed& d);
    bool usableCatalog(quint32 number);

    FileBytes& m_bytes;
    Meter& m_meter;
    CrossReference& m_xref;
    Charged<Rebuilt>& m_table;
    Objects& m_objects;
    Nodes& m_nodes;
    RepairBuffers& m_b;
    Trailer m_trailer;
    bool m_hasRoot = false;
    quint32 m_handlerNumber = 0; // the last standard security handler's dictionary, 0: none
    quint32 m_handlerGeneration = 0;
    quint64 m_limit = 1; // one past the highest number found
    int m_objectsRunOut = 0;
    Search m_objWord{"obj"}, m_trailerWord{"trailer"}, m_endstreamWord{"endstream"};
};

} // namespace pdftree
