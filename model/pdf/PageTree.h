#pragma once

// A reader of the cross-reference data and the page tree of a PDF, made to count pages fast.
// It understands the common structures (classic and stream cross-reference sections, hybrid
// files, incremental updates, object streams), rebuilds the object table of a file whose
// cross-reference data is missing or wrong as repairing viewers do, and stops at anything it
// does not fully understand, so that qpdf, the reference reader behind it, reads those files
// instead. Its pieces, one file each in this folder: Syntax (tokens and objects), FileBytes
// (the file read whole or through windows), CrossReference, Repair (the table rebuilt from the
// objects), Streams (filters), Objects (objects in the file and in object streams), Encryption
// (the security handler) and this page walk.

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <optional>

class CountingBudget;

namespace pagecount {
class FileReader;
}

namespace pdftree {

struct PageTreeCount {
    quint64 pages = 0;
    bool passwordProtected = false; // the file is encrypted and `password` does not open it
    // Counted by a repairing viewer's rules rather than qpdf's: in the object table rebuilt from
    // the objects, or through offsets counted from the file's first byte, not from its header.
    bool rebuilt = false;
};

// The number of leaf pages under the catalog's /Pages, walked as qpdf's getAllPages() walks it:
// a kid whose dictionary has a non-null /Kids is an inner node, anything else is a page, a page
// listed twice counts twice, and /Count is not read. Where the cross-reference data is unusable,
// has no /Root or puts an object where it is not, the tree is that of the table rebuilt from the
// objects (Repair.h). The header may follow other bytes (a mail header, a byte order mark) within
// the first 1,024. Nothing when the file holds anything this reader does not fully understand
// (filters other than Flate, unusual tree shapes, an inner node reached twice, no tree even in a
// rebuilt table), or when it would pass a bound of `budget`.
// Its work is bounded by construction: each object is parsed at most twice, each stream decoded
// once, and the processor clock is read every ~100 us of work; past the processor-time bound
// the budget is exceeded. The reader charges its buffers to the budget (charge(), not operator
// new), sized from the file; past the memory bound it gives up and leaves the budget as it
// was, so that a reader behind it may try. Reads `file` only; throws only std::bad_alloc.
// The count, its charges and its answer depend on the bytes and `password` alone.
std::optional<PageTreeCount> countPages(pagecount::FileReader& file, const QByteArray& password,
                                        CountingBudget& budget);

// The calling thread keeps at most this many bytes of buffers between counts.
constexpr size_t kWorkspaceKeptBytes = 4 * 1024 * 1024;

// The bytes the calling thread keeps for its next count.
size_t workspaceBytes();

} // namespace pdftree
