#pragma once

// The one builder of test files, for the tests, the fuzz seeds and the benchmarks alike: TIFFs
// written with libtiff, PDFs written with qpdf, and PDFs written byte by byte where a library
// would not write them (odd page trees, damaged cross-reference data, files made to break a
// reader). Everything is made at run time; no binary sample is committed.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <map>
#include <random>
#include <string>
#include <vector>

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

// Writes a TIFF of `options.pages` images, one page each; false when libtiff fails.
bool writeTiff(const QString& path, const TiffOptions& options = {});

// Rc4_128 is revision 3; Rc4_128R4 revision 4 with the metadata in the clear; Aes256R5 the
// deprecated revision 5, Aes256 revision 6.
enum class PdfEncryption { None, Rc4_40, Rc4_128, Rc4_128R4, Aes128, Aes256R5, Aes256 };

struct PdfOptions {
    int pages = 1;
    bool objectStreams = false;
    bool linearize = false;
    PdfEncryption encryption = PdfEncryption::None;
    int contentBytes = 0;            // each page's content stream padded with incompressible bytes to this
    QString userPassword;            // empty: opens without a password
    QString ownerPassword = "owner"; // used when encrypted
};

// Writes a PDF of `options.pages` pages with qpdf; false when qpdf fails.
bool writePdf(const QString& path, const PdfOptions& options = {});

// Appends to `pdf` (a header first when it is empty) a revision: `objects` by number, an empty
// body freeing its number, then a classic cross-reference section for them with every offset
// `shift` bytes off, and a trailer of /Size `size`, /Root 1 0 R and /Prev the last section.
// Returns the new section's offset.
qint64 appendRevision(QByteArray& pdf, const std::map<int, QByteArray>& objects, int size, int shift = 0);

// A PDF of `objects` numbered from 1 (the first is the catalog) with a classic table.
QByteArray pdfFromObjects(const QList<QByteArray>& objects);

// A one-page PDF whose catalog lies in an object stream and whose cross-reference table is a
// stream; `objectStream` and `xrefStream`, when given, replace those streams' data (then
// declared /FlateDecode).
QByteArray pdfWithStreams(const QByteArray& objectStream = {}, const QByteArray& xrefStream = {});

// A zlib stream that inflates to at least `bytes` zero bytes, made in milliseconds.
QByteArray zeroBomb(quint64 bytes);

// A PDF whose page tree is a chain of `depth` inner nodes, each the only kid of the one above,
// ending in one page.
QByteArray pageTreeChain(int depth);

// Valid PDFs that make a page-tree reader work far more than their size suggests.
// A page whose dictionary holds an array of `arrayBytes` bytes of integers, listed `references`
// times in the root's /Kids. 700 KB and 1,023 references, or 15 MB.
QByteArray pdfWithRepeatedLargePage(int arrayBytes, int references);

// One page, and `tables` classic cross-reference tables chained by /Prev, each naming the same
// /XRefStm: a stream of `streamBytes` bytes of empty stored deflate blocks that decodes to one
// 4-byte row. 100 tables and 900 KB make a file of 909 KB.
QByteArray pdfWithSharedXRefStm(int tables, int streamBytes);

// PDFs written by hand to be odd: page trees of every shape, cross-reference data damaged,
// chained, hybrid or declaring far more than there is. Each with whether the program's own
// page-tree reader answers for it or leaves it to qpdf, and, where qpdf cannot read it, the
// pages a repairing viewer shows: the leaves of the tree that rebuilding the table finds, a kid
// that lists one of its ancestors left out.
struct OddPdf {
    const char* name;
    QByteArray bytes;
    bool ownReaderAnswers;
    int rebuiltLeaves = 0;
};
const std::vector<OddPdf>& oddPdfs();

enum class PdfCountDefect {
    None,
    WrongAtRoot,         // the root's /Count is off by a drawn error (written as 0 where it would fall below)
    WrongInInnerNode,    // the first inner node's /Count is off likewise
    MissingAtRoot,       // the root has no /Count
    MissingInInnerNodes, // no inner node below the root has a /Count
};

enum class PdfXrefDefect {
    None,
    ShiftedOffsets,     // every in-use entry points a few bytes past its object
    WrongStartxref,     // startxref points past the end of the file
    Truncated,          // the end cut off, from within the last cross-reference table on
    NoTrailer,          // every trailer dictionary taken out, keyword and all, and every cross-reference stream object
    TrailerWithoutDict, // every trailer's "<<" taken out
    TrailerWithoutRoot, // every trailer without /Root
    DamagedXrefStream,  // the cross-reference streams' data overwritten from their first byte
    StartxrefInObject,  // startxref points into an object, as some tiff2pdf output has it
};

// One kind of generated file; the fields that do not apply to its format are ignored.
enum class Format {
    Tiff,      // written by libtiff
    Pdf,       // written by qpdf
    ShapedPdf, // a balanced page tree written byte by byte; with object streams or encryption, then rewritten by qpdf
    ImagePdf,  // one image per page, laid out as tiff2pdf writes it: indirect stream lengths, one flat /Pages
};

struct FileKind {
    const char* name = "";
    Format format = Format::Tiff;
    bool bigTiff = false;
    TiffCompression compression = TiffCompression::None;
    bool objectStreams = false;
    bool linearize = false;
    PdfEncryption encryption = PdfEncryption::None;
    bool locked = false; // needs kLockedPassword to open
    PdfCountDefect countDefect = PdfCountDefect::None;
    PdfXrefDefect xrefDefect = PdfXrefDefect::None;
    bool kidListedTwice = false; // the first page is listed a second time by its parent
    bool incremental = false;    // incremental updates each add a share of the pages
    int contentBytes = 0;        // bytes of each page's content stream (of its image in an image PDF), at least

    bool isPdf() const { return format != Format::Tiff; }
};

inline const char* const kLockedPassword = "secret";

// Every kind the generators make.
const std::vector<FileKind>& fileKinds();
// The kind of that name; throws std::out_of_range when there is none.
const FileKind& fileKind(const std::string& name);

struct WrittenFile {
    int leaves = -1;     // images or page-tree leaves written; -1 when writing failed
    qint32 expected = 0; // the count a reader must give without a password
};

// Writes a file of `kind` with `pages` pages: a TIFF `width` pixels wide and half again as high;
// a shaped PDF with its fan-out, updates and /Count error drawn from `rng`. A locked PDF whose
// tree sits in object streams is expected to count 0, every other file its leaves.
WrittenFile writeFileOfKind(const QString& path, const FileKind& kind, int pages, std::mt19937& rng,
                            bool bigEndian = false, int width = 64);

// The count of the reference readers: libtiff's directory chain for a TIFF, qpdf's page-tree
// walk for a PDF opened with `password`; -1 where they cannot read the file.
int referenceCount(const QString& path, bool isPdf, const char* password = "");

bool writeBytes(const QString& path, const QByteArray& bytes);
QByteArray readBytes(const QString& path);

// Makes folder "stuck" in `parent` holding a one-page PDF, then one whose count takes qpdf
// seconds: 300,000 pages and no cross-reference table, which qpdf must rebuild before it walks
// the page tree, and an inner node written in place in its parent's /Kids, which the program's
// own reader leaves to qpdf as soon as it meets it. The counter gives it up at its
// processor-time bound (2 s), so it stays slow either way. Returns the folder, or an empty
// string on failure.
QString writeStuckTree(const QString& parent);

// The local paths of `urls`, in order.
QStringList localPaths(const QList<QUrl>& urls);

} // namespace fixtures
