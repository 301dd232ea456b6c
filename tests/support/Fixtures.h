#pragma once

// Test files made at run time: multi-page TIFFs written with libtiff and PDFs written with
// qpdf, so that no binary sample is committed.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace fixtures {

// Ccitt3 and Ccitt4 write bilevel images; the others 8-bit greyscale.
enum class TiffCompression { None, Lzw, Deflate, PackBits, Ccitt4, Ccitt3, Jpeg, Zstd, Lzma };

struct TiffOptions {
    int pages = 1;
    bool bigEndian = false;
    bool bigTiff = false;
    TiffCompression compression = TiffCompression::None;
    int width = 32;
    int height = 24;
};

// Writes a TIFF of `options.pages` images; returns false when libtiff fails.
bool writeTiff(const QString& path, const TiffOptions& options = {});

enum class PdfEncryption { None, Rc4_128, Aes128, Aes256 };

struct PdfOptions {
    int pages = 1;
    bool objectStreams = false;
    bool linearize = false;
    PdfEncryption encryption = PdfEncryption::None;
    QString userPassword;            // empty: opens without a password
    QString ownerPassword = "owner"; // used when encrypted
};

// Writes a PDF of `options.pages` pages; returns false when qpdf fails.
bool writePdf(const QString& path, const PdfOptions& options = {});

// Reads the PDF at `path` with qpdf and writes it over itself with the object streams,
// linearization and encryption of `options` (its page count is ignored); the objects, the
// page tree's /Count values among them, stay as they were. Returns false when qpdf fails.
bool rewritePdf(const QString& path, const PdfOptions& options);

// A PDF of `objects` numbered from 1 (the first is the catalog) with a classic cross-reference
// table; `trailer` adds to the trailer dictionary, `xrefHeader` replaces the subsection line
// "0 <objects + 1>".
QByteArray pdfFromObjects(const QList<QByteArray>& objects, const QByteArray& trailer = {},
                          const QByteArray& xrefHeader = {});

// Writes raw bytes; returns false on failure.
bool writeBytes(const QString& path, const QByteArray& bytes);
QByteArray readBytes(const QString& path);

// Makes folder "stuck" in `parent` holding a one-page PDF, then one whose count takes the PDF
// reader seconds: 300,000 pages and no cross-reference table, which the reader must rebuild
// before it walks the page tree. The counter gives it up at its processor-time bound (2 s),
// so it stays slow either way. Returns the folder, or an empty string on failure.
QString writeStuckTree(const QString& parent);

// The local paths of `urls`, in order.
QStringList localPaths(const QList<QUrl>& urls);

} // namespace fixtures
