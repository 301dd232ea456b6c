#pragma once

// A reader of the cross-reference data and the page tree of a PDF, made to count pages fast.
// It understands the common structures (classic and stream cross-reference sections, hybrid
// files, incremental updates, object streams) and stops at anything it does not fully
// understand, so that qpdf, the reference reader behind it, reads those files instead.
// Its pieces, one file each in this folder: Syntax (tokens and objects), FileBytes (the file
// read whole or through windows), CrossReference, Streams (filters), Objects (objects in the
// file and in object streams), Encryption (the security handler) and this page walk.

#include <QByteArray>
#include <QtGlobal>

#include <optional>

class CountingBudget;

namespace pagecount {
class FileReader;
}

namespace pdftree {

struct PageTreeCount {
    quint64 pages = 0;
    bool passwordProtected = false; // the file is encrypted and `password` does not open it
};

// The number of leaf pages under the catalog's /Pages, walked as qpdf's getAllPages() walks it:
// a kid whose dictionary has a non-null /Kids is an inner node, anything else is a page, a page
// listed twice counts twice, and /Count is not read. Nothing when the file holds anything this
// reader does not fully understand (damaged cross-reference data, filters other than Flate,
// unusual tree shapes, an inner node reached twice), or once `budget` is exceeded. Reads
// `file` only; may throw CountingBudget::Exceeded from an allocation.
std::optional<PageTreeCount> countPages(pagecount::FileReader& file, const QByteArray& password,
                                        CountingBudget& budget);

} // namespace pdftree
