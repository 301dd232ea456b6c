#pragma once

// PDFs written byte by byte, for page-tree structures that a PDF library would not write:
// balanced trees with a wrong or missing /Count, a page listed twice, cross-reference tables
// whose offsets are wrong, and incremental updates that add pages.

#include <QString>

namespace fixtures {

enum class PdfCountDefect {
    None,
    WrongAtRoot,         // the root's /Count is off by PdfShapeOptions::countError
    WrongInInnerNode,    // the first inner node's /Count is off by countError
    MissingAtRoot,       // the root has no /Count
    MissingInInnerNodes, // no inner node below the root has a /Count
};

enum class PdfXrefDefect {
    None,
    ShiftedOffsets, // every in-use entry points a few bytes past its object
    WrongStartxref, // startxref points past the end of the file
};

struct PdfShapeOptions {
    int pages = 1;               // page objects written, over every revision
    int fanout = 8;              // most kids of one node, at least 2
    int updates = 0;             // incremental updates appended; each rewrites the root and adds a share of the pages
    bool kidListedTwice = false; // the first page is listed a second time by its parent
    PdfCountDefect count = PdfCountDefect::None;
    int countError = 1; // added to the true /Count by the Wrong... defects; not 0
    PdfXrefDefect xref = PdfXrefDefect::None;
};

// Writes a PDF of `options.pages` page objects under a balanced tree with a classic
// cross-reference table. Every /Count not made wrong on purpose counts the pages listed below
// its node, a page listed twice twice. Returns the leaves a walk of the tree finds (the pages,
// one more with kidListedTwice), or -1 when the options are invalid or the file cannot be
// written.
int writeShapedPdf(const QString& path, const PdfShapeOptions& options);

} // namespace fixtures
