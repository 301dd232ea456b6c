#pragma once

// PDFs built to make a page-tree reader work far more than their size suggests, written byte
// by byte at run time. Each is valid: qpdf reads it without a warning.

#include <QByteArray>

namespace fixtures {

// A page whose dictionary holds an array of `arrayBytes` bytes of integers, listed `references`
// times in the root's /Kids. 700 KB and 1,023 references, or 15 MB.
QByteArray pdfWithRepeatedLargePage(int arrayBytes, int references);

// One page, and `tables` classic cross-reference tables chained by /Prev, each naming the same
// /XRefStm: a stream of `streamBytes` bytes of empty stored deflate blocks that decodes to one
// 4-byte row. 100 tables and 900 KB make a file of 909 KB.
QByteArray pdfWithSharedXRefStm(int tables, int streamBytes);

} // namespace fixtures
