#pragma once

// What repairing viewers count: MuPDF and poppler, for the tests that check the program against
// them on damaged files and for the comparison benchmark. Linked into those alone, and each
// reader only when it is installed.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace fixtures {

// MuPDF's page count of the PDF at `nativePath` (its root's /Count, after any repair, having
// tried the empty password), -1 where MuPDF cannot open it, or -2 where it is not built in.
// Each thread keeps one silent MuPDF context.
int mupdfCount(const QByteArray& nativePath);
inline int mupdfCount(const QString& path)
{
    return mupdfCount(QFile::encodeName(path));
}

// poppler's page count of the PDF at `nativePath`, -1 where poppler cannot open it or it stays
// locked without a password, or -2 where it is not built in. poppler's messages are silenced.
int popplerCount(const QByteArray& nativePath);
inline int popplerCount(const QString& path)
{
    return popplerCount(QFile::encodeName(path));
}

bool mupdfBuiltIn();
bool popplerBuiltIn();
// The readers built in with their versions, as "MuPDF 1.21.1, poppler 22.12.0" or "no MuPDF, ...".
QByteArray referenceReaders();

} // namespace fixtures
