#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Page count of a TIFF or PDF file. A file that is a TIFF or BigTIFF by content counts its
// images, whatever its name. Otherwise, when the extension is "pdf" in any letter case, the
// file is read as a PDF: an encrypted one is opened with `password`, and counts 0 when it
// stays locked. Anything unreadable counts 0. Thread-safe; prints nothing.
// The program's own readers answer for the common files; the rest are counted by libtiff or
// qpdf in the thread's helper process (see CountingWorker). The work on one file is bounded
// (processor time, memory, nesting depth; see CountingBudget and the helper's limits): a file
// past a bound, one the helper crashed on or could not be started for, or one whose count
// does not fit 32 bits counts 0 and logs one line "Error in (getTiffPageCount) : <path>: <reason>".
qint32 getTiffPageCount(const QUrl& url, const QString& password = QString());

// The same for a local path in its file-system bytes.
qint32 pageCountForPath(const QByteArray& nativePath, const QString& password = QString());

// A page count, and whether the file is a PDF that stays locked after the password tried
// (needs a password of its own to open).
struct PageCount {
    qint32 pages = 0;
    bool passwordProtected = false;
    // The count was cut off by CountingWorker::stopAll() (Cancel, quit): there is no count, and
    // nothing was logged.
    bool interrupted = false;
};

// The count of pageCountForPath with the locked state beside it.
PageCount measurePages(const QByteArray& nativePath, const QString& password = QString());

namespace pagecount {

// Number of images of the TIFF file (see walkTiffDirectories); 0 when it is not a readable TIFF.
qint32 tiffImageCount(const QByteArray& nativePath);

// The same count from libtiff alone, in the helper, without the directory walk that answers
// first in tiffImageCount.
qint32 libtiffImageCount(const QByteArray& nativePath);

// Page count of the PDF file opened with `password`; 0 when it cannot be read or stays locked.
qint32 pdfPageCount(const QByteArray& nativePath, const QString& password);

// The same count from qpdf alone, in the helper, without the page-tree reader that answers
// first in pdfPageCount.
qint32 qpdfPageCount(const QByteArray& nativePath, const QString& password);

} // namespace pagecount
