#pragma once

// What the page-counting benchmarks share: the corpus they write (kinds of file, page-count
// distributions, the writer), its digest, the I/O floor and the timed passes.

#include "support/Fixtures.h"
#include "support/PdfShapes.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace bench {

enum class Format {
    Tiff,      // written by libtiff
    Pdf,       // written by qpdf: plain, object streams, linearized, encrypted
    ShapedPdf, // written byte by byte: unusual page trees and cross-reference tables; with object
               // streams or encryption, then rewritten by qpdf (not linearized)
};

// One kind of corpus file. Fields that do not apply to the kind's format are ignored.
struct FileKind {
    const char* name = "";
    Format format = Format::Tiff;
    int weight = 1; // share of the corpus, relative to the other kinds of the same corpus
    bool bigTiff = false;
    fixtures::TiffCompression compression = fixtures::TiffCompression::None;
    bool objectStreams = false;
    bool linearize = false;
    fixtures::PdfEncryption encryption = fixtures::PdfEncryption::None;
    bool locked = false; // needs kLockedPassword to open
    fixtures::PdfCountDefect countDefect = fixtures::PdfCountDefect::None;
    fixtures::PdfXrefDefect xrefDefect = fixtures::PdfXrefDefect::None;
    bool kidListedTwice = false;
    bool incremental = false;

    bool isPdf() const { return format != Format::Tiff; }
};

inline const char* const kLockedPassword = "secret";

struct CorpusFile {
    QByteArray nativePath;
    size_t kind = 0;
    bool bigEndian = false;
    int leaves = 0;      // images or page-tree leaves written
    qint32 expected = 0; // the count a reader must give when it opens the file without a password
    qint64 bytes = 0;
};

// A page count drawn with the pages' logarithm uniform over [0, log(maxPages + 1)): as many
// files of 1-9 pages as of 10-99 or of 100-999, so most files are small and a few large.
int drawLogUniform(std::mt19937& rng, int maxPages);

// Writes one file of `kind` with `pages` pages (or images) as `path`; fills `file`. A locked
// PDF whose page tree sits in object streams is expected to count 0 without its password,
// every other file the leaves written. Returns false when writing failed.
bool writeCorpusFile(const QString& path, const FileKind& kind, int pages, bool bigEndian, std::mt19937& rng,
                     CorpusFile& file);

// A file name for the `index`-th file of `kind`: the index and the kind's name in lower case.
QString corpusFileName(int index, const FileKind& kind, bool bigEndian);

// SHA-256 over the names and contents, in corpus order: equal digests mean equal corpora.
QByteArray corpusDigest(const std::vector<CorpusFile>& files);

// Stat, open, read the first and last 4 KiB, close: what any count must at least do.
// Returns the bytes read, or -1 when the file could not be opened.
qint64 touchFile(const QByteArray& nativePath);

struct Measurement {
    double medianSeconds = 0;
    double minSeconds = 0;
    double cpuPerWall = 0; // busy threads on average over the timed passes
    int passes = 0;
};

using Work = std::function<void(size_t)>;
using AfterPass = std::function<void(const std::vector<size_t>&)>;

// Runs `work` once for each entry of `order`, spread over `threads` threads that take the
// next entry as they become free. Returns the wall time in seconds.
double runPass(const std::vector<size_t>& order, unsigned threads, const Work& work);

// One untimed warm-up pass, then at least `passes` timed ones, more while they add up to less
// than `minimumSeconds` (short passes are noisy); `afterPass` sees the entries after every pass.
Measurement measure(const std::vector<size_t>& order, unsigned threads, int passes, double minimumSeconds,
                    const Work& work, const AfterPass& afterPass);

// Command-line numbers: a factor in (0, 1000] and a count in [1, 1000000].
bool parseScale(const char* text, double& value);
bool parseCount(const char* text, int& value);

double loadAverage();

} // namespace bench
