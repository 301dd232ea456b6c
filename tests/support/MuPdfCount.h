#pragma once

// What repairing viewers count, for the tests that check the program against them on damaged
// files. MuPDF is linked into the core tests only, when it is installed.

#include <QString>

namespace fixtures {

// MuPDF's page count of the PDF at `path` (its root's /Count, after any repair), -1 where MuPDF
// cannot open it, or -2 where the tests were built without MuPDF.
int mupdfCount(const QString& path);

// poppler's page count of the PDF at `path`, -1 where poppler cannot open it.
int popplerCount(const QString& path);

} // namespace fixtures
