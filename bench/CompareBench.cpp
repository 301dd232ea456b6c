// Page-counting comparison. Writes the office mix (bench::officeMix: office documents with
// large content streams, plain, linearized and updated; tiff2pdf scans; object streams;
// encrypted, locked and damaged files; odd page trees; multi-page TIFFs of every compression,
// both byte orders, BigTIFF) into a temporary folder, checks once that qpdf's
// page-tree walk and libtiff agree with what was written, then times on the same files, warm
// cache, on one thread and on two:
//   the program's stat-and-count path (what a file item does when it measures a file),
//   libtiff + MuPDF, libtiff + qpdf over a memory-mapped file, libtiff + poppler,
//   and an I/O floor (stat, open, read the first and last 4 KiB); for the plain office files,
//   also what reaching each page dictionary alone costs (one pread each, no parsing).
// It reports files/s, pages/s, the speed against libtiff + MuPDF, the time per file of each
// group of kinds for every reader, the targets, and the files each reader counts wrong, by kind. Exit status: 0, 1 when
// the program counts any file wrong, 2 when the corpus could not be written or does not check.
//
// MuPDF and poppler are linked into this program and the core tests alone; without them their
// rows are left out.

#include "BenchSupport.h"
#include "app/Platform.h"
#include "model/PageCounter.h"
#include "support/MuPdfCount.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <qpdf/QPDF.hh>
#include <tiffio.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kSeed = 20261207;
constexpr double kMinimumSeconds = 0.5;
constexpr double kTargetOverPair = 2.8;            // the whole mix, one thread
constexpr double kTargetOverPairWithoutAes = 1.25; // the mix without AES-256 files
constexpr double kTargetTwoThreadsOverOne = 1.7;   // the program's path
constexpr double kTargetDamagedOverMuPdf = 2.0;    // time per damaged file, at most

using bench::CorpusFile;
using bench::Measurement;
using fixtures::PdfCountDefect;
using fixtures::PdfXrefDefect;

// The mix, or the kinds of it that --only names.
std::vector<bench::WeightedKind> kKinds = bench::officeMix();
size_t kKindCount = kKinds.size();

struct Options {
    double scale = 1.0;
    int maxPdfPages = 600;
    int maxTiffPages = 50;
    int passes = 5;
    unsigned threads = 2;
    bool keep = false;
    bool programOnly = false;
};

const char* const kUsage =
    "usage: folimeter_bench_compare [--scale X] [--max-pages N] [--max-tiff-pages N] [--passes N] [--threads N]\n"
    "                               [--only TEXT] [--keep] [--program-only]\n"
    "  --scale X           corpus size factor, up to 1000 (default 1 = 1,500 PDFs and 1,500 TIFFs; env "
    "FOLIMETER_BENCH_SCALE)\n"
    "  --max-pages N       largest PDF in pages (default 600)\n"
    "  --max-tiff-pages N  largest TIFF in images (default 50)\n"
    "  --passes N          least timed passes per row, the median is shown (default 5)\n"
    "  --threads N         threads of the parallel rows (default 2)\n"
    "  --only TEXT         only the kinds whose name holds TEXT (\"PDF office\", \"TIFF\", ...)\n"
    "  --keep              leave the corpus folder in place\n"
    "  --program-only      time the program's path alone (to profile it)\n";

std::vector<bench::Option> optionsOf(Options& o)
{
    std::vector<bench::Option> options = bench::corpusOptions(o.scale, o.passes, o.threads);
    options.push_back({"--max-pages", true, [&o](const char* v) { return bench::parseCount(v, o.maxPdfPages); }});
    options.push_back({"--max-tiff-pages", true, [&o](const char* v) { return bench::parseCount(v, o.maxTiffPages); }});
    options.push_back({"--keep", false, [&o](const char*) { return o.keep = true; }});
    options.push_back({"--program-only", false, [&o](const char*) { return o.programOnly = true; }});
    options.push_back({"--only", true, [](const char* v) {
                           std::erase_if(kKinds, [&](const bench::WeightedKind& kind) {
                               return std::string(kind.name).find(v) == std::string::npos;
                           });
                           kKindCount = kKinds.size();
                           return true;
                       }});
    return options;
}

// ---- The readers ----

void silenceLibtiff()
{
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
}

// Plain libtiff, as a program would use it: TIFFOpen (memory-mapped) and a directory count.
qint32 libtiffCount(const QByteArray& nativePath)
{
    TIFF* tiff = TIFFOpen(nativePath.constData(), "r");
    if (!tiff)
        return 0;
    const auto count = qint32(TIFFNumberOfDirectories(tiff));
    TIFFClose(tiff);
    return count;
}

// qpdf over the file mapped into memory, walking the page tree; 0 when it cannot be read.
qint32 qpdfMemoryCount(const QByteArray& nativePath)
{
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st {};
    qint32 count = 0;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        void* data = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (data != MAP_FAILED) {
            try {
                QPDF pdf;
                pdf.setSuppressWarnings(true);
                pdf.processMemoryFile(nativePath.constData(), static_cast<const char*>(data), size_t(st.st_size), "");
                count = qint32(pdf.getAllPages().size());
            } catch (...) {
                count = 0;
            }
            ::munmap(data, size_t(st.st_size));
        }
    }
    ::close(fd);
    return count;
}

// Where each page dictionary of a PDF starts, from qpdf's cross-reference table; empty when
// qpdf cannot read the file or a page sits in an object stream.
std::vector<off_t> pageDictionaryOffsets(const QByteArray& nativePath)
{
    std::vector<off_t> offsets;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(nativePath.constData());
        const std::map<QPDFObjGen, QPDFXRefEntry> table = pdf.getXRefTable();
        for (const QPDFObjectHandle& page : pdf.getAllPages()) {
            const auto entry = table.find(page.getObjGen());
            if (entry == table.end() || entry->second.getType() != 1)
                return {};
            offsets.push_back(off_t(entry->second.getOffset()));
        }
    } catch (...) {
        return {};
    }
    return offsets;
}

// The least that a reader visiting every leaf pays for a file: open it, reach each page
// dictionary (the offsets known beforehand), close it. No parsing, no cross-reference table,
// no catalog. Read: a 512-byte pread at each; else mapped: the file mapped, a byte touched at
// each, unmapped. Seconds; negative when the file cannot be read.
double reachEveryLeaf(const QByteArray& nativePath, const std::vector<off_t>& offsets, bool mapped)
{
    const auto start = std::chrono::steady_clock::now();
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    bool ok = true;
    if (mapped) {
        struct stat st {};
        void* data =
            ::fstat(fd, &st) == 0 ? ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
        ok = data != MAP_FAILED;
        volatile char sum = 0;
        for (const off_t offset : offsets)
            sum = char(sum + (ok && offset < st.st_size ? static_cast<const char*>(data)[offset] : 0));
        if (ok)
            ::munmap(data, size_t(st.st_size));
    } else {
        char buffer[512];
        for (const off_t offset : offsets)
            ok = ::pread(fd, buffer, sizeof buffer, offset) > 0 && ok;
    }
    ::close(fd);
    return ok ? std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() : -1;
}

struct Reader {
    std::string name;
    std::string shortName;
    std::function<qint32(const CorpusFile&, bool isPdf)> count; // null for the floor
    std::vector<char> mismatched;                               // per file, over every pass
    std::vector<double> best;                                   // per file, its fastest count on one thread
};

// The groups of the per-kind timing table.
const char* groupOf(const bench::FileKind& kind)
{
    using fixtures::PdfEncryption;
    if (!kind.isPdf())
        return "TIFF, every kind";
    if (kind.xrefDefect != PdfXrefDefect::None)
        return "damaged (table or trailer)";
    if (kind.encryption == PdfEncryption::Aes256)
        return "AES-256";
    if (kind.format == fixtures::Format::ImagePdf)
        return "tiff2pdf output";
    if (kind.contentBytes > 0)
        return kind.linearize     ? "office, linearized"
               : kind.incremental ? "office, incremental updates"
                                  : "office, plain";
    if (kind.objectStreams)
        return "object streams";
    return "other PDF (RC4, AES-128, odd trees)";
}

bool isAes256(const bench::FileKind& kind)
{
    return kind.encryption == fixtures::PdfEncryption::Aes256;
}

// ---- Checking the corpus ----

// qpdf's page-tree walk (with the password for a locked file) and libtiff's directory count
// must find what was written; a locked file must refuse the empty password, and each defect
// must be there. Prints each failure; returns the number of files that do not check.
size_t checkCorpus(const std::vector<CorpusFile>& files)
{
    size_t failures = 0;
    for (const CorpusFile& file : files) {
        const bench::FileKind& kind = kKinds[file.kind];
        const QString path = QFile::decodeName(file.nativePath);
        std::string problem;
        const int walked = fixtures::referenceCount(path, kind.isPdf(), kind.locked ? bench::kLockedPassword : "");
        // qpdf cannot rebuild some damaged files, which repairing viewers read.
        const bool beyondQpdf = walked == -1 && kind.xrefDefect != PdfXrefDefect::None;
        if (walked != file.leaves && !beyondQpdf)
            problem = (kind.isPdf() ? "qpdf walks " : "libtiff counts ") + std::to_string(walked) + "; ";
        if (kind.locked && fixtures::referenceCount(path, true) >= 0)
            problem += "opens without its password; ";
        if (kind.isPdf() && !kind.locked && !beyondQpdf &&
            (kind.countDefect != PdfCountDefect::None || kind.xrefDefect != PdfXrefDefect::None)) {
            try {
                QPDF pdf;
                pdf.setSuppressWarnings(true);
                pdf.processFile(file.nativePath.constData());
                QPDFObjectHandle root = pdf.getRoot().getKey("/Pages");
                const bool hasCount = root.hasKey("/Count") && root.getKey("/Count").isInteger();
                if (kind.countDefect == PdfCountDefect::MissingAtRoot && hasCount)
                    problem += "the root has a /Count; ";
                if (kind.countDefect == PdfCountDefect::WrongAtRoot &&
                    (!hasCount || root.getKey("/Count").getIntValue() == file.leaves))
                    problem += "the root's /Count is right; ";
                pdf.getAllPages();
                if (kind.xrefDefect != PdfXrefDefect::None && !pdf.anyWarnings())
                    problem += "qpdf read it without a warning; ";
            } catch (const std::exception& e) {
                problem += std::string("qpdf: ") + e.what();
            }
        }
        if (!problem.empty()) {
            ++failures;
            std::fprintf(stderr, "corpus check: %s (%d written): %s\n", file.nativePath.constData(), file.leaves,
                         problem.c_str());
        }
    }
    return failures;
}

// ---- Output ----

struct Row {
    size_t reader;
    unsigned threads;
    Measurement time;
};

std::string distribution(const std::vector<CorpusFile>& files, bool pdf)
{
    std::vector<int> pages;
    for (const CorpusFile& file : files) {
        if (kKinds[file.kind].isPdf() == pdf)
            pages.push_back(file.leaves);
    }
    if (pages.empty())
        return "none";
    std::sort(pages.begin(), pages.end());
    size_t decades[4] = {0, 0, 0, 0};
    double sum = 0;
    for (int p : pages) {
        ++decades[p < 10 ? 0 : p < 100 ? 1 : p < 1000 ? 2 : 3];
        sum += p;
    }
    char text[200];
    std::snprintf(text, sizeof text, "1-9: %zu, 10-99: %zu, 100-999: %zu, 1000+: %zu; median %d, mean %.0f, largest %d",
                  decades[0], decades[1], decades[2], decades[3], pages[pages.size() / 2], sum / double(pages.size()),
                  pages.back());
    return text;
}

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int status = bench::parseArguments(argc, argv, optionsOf(options), kUsage); status >= 0)
        return status;
    silenceLibtiff();

    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/folimeter-compare-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder: %s\n", qPrintable(dir.errorString()));
        return 2;
    }
    dir.setAutoRemove(!options.keep);
    std::vector<CorpusFile> files;
    const auto generationStart = std::chrono::steady_clock::now();
    if (!bench::writeCorpus(dir.path(), kKinds, options.scale, options.maxPdfPages, options.maxTiffPages, kSeed, files))
        return 2;
    const double generationSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - generationStart).count();
    const size_t corpusFailures = checkCorpus(files);

    qint64 truePages = 0, bytes = 0;
    size_t pdfFiles = 0;
    for (const CorpusFile& file : files) {
        truePages += file.expected;
        bytes += file.bytes;
        pdfFiles += kKinds[file.kind].isPdf() ? 1 : 0;
    }
    std::printf("Corpus: %zu files (%zu TIFF, %zu PDF) of %zu kinds, %lld pages to count, %.1f MiB\n", files.size(),
                files.size() - pdfFiles, pdfFiles, kKindCount, static_cast<long long>(truePages),
                double(bytes) / (1024.0 * 1024.0));
    std::printf("        seed %u, generated in %.1f s into %s\n", kSeed, generationSeconds, qPrintable(dir.path()));
    std::printf("        digest %s\n", bench::corpusDigest(files).constData());
    std::printf("        pages per file log-uniform (as many files of 1-9 pages as of 10-99, ...), capped at %d per "
                "PDF and %d per TIFF\n",
                options.maxPdfPages, options.maxTiffPages);
    std::printf("        PDF pages:  %s\n", distribution(files, true).c_str());
    std::printf("        TIFF pages: %s\n", distribution(files, false).c_str());
    std::printf("        true counts: the leaves written, checked with qpdf's page-tree walk and libtiff: %s\n",
                corpusFailures ? "FAILED" : "all agree");
    std::printf("        a locked PDF (password \"%s\") counts its pages where its page tree is readable without "
                "the password, 0 where it sits in object streams\n",
                bench::kLockedPassword);
    if (corpusFailures) {
        std::fprintf(stderr, "%zu files do not check; no timing\n", corpusFailures);
        return 2;
    }

    std::vector<Reader> readers;
    readers.push_back({"I/O floor (stat+open+8 KiB)", "floor", nullptr, {}});
    readers.push_back({"program (stat + measurePages)",
                       "program",
                       [](const CorpusFile& file, bool) {
                           static_cast<void>(platform::allocatedSize(file.nativePath));
                           return measurePages(file.nativePath, QString("")).pages;
                       },
                       {}});
    const size_t programReader = 1;
    size_t mupdfReader = 0;
    const bool others = !options.programOnly;
    // A reader that cannot open a file counts it 0.
    const auto pdfOr0 = [](int count) { return qint32(std::max(count, 0)); };
    if (others && fixtures::mupdfBuiltIn()) {
        mupdfReader = readers.size();
        readers.push_back({"libtiff + MuPDF",
                           "libtiff+MuPDF",
                           [&](const CorpusFile& file, bool isPdf) {
                               return isPdf ? pdfOr0(fixtures::mupdfCount(file.nativePath))
                                            : libtiffCount(file.nativePath);
                           },
                           {}});
    }
    if (others)
        readers.push_back({"libtiff + qpdf (mmap)",
                           "libtiff+qpdf mmap",
                           [](const CorpusFile& file, bool isPdf) {
                               return isPdf ? qpdfMemoryCount(file.nativePath) : libtiffCount(file.nativePath);
                           },
                           {}});
    if (others && fixtures::popplerBuiltIn())
        readers.push_back({"libtiff + poppler",
                           "libtiff+poppler",
                           [&](const CorpusFile& file, bool isPdf) {
                               return isPdf ? pdfOr0(fixtures::popplerCount(file.nativePath))
                                            : libtiffCount(file.nativePath);
                           },
                           {}});

    const unsigned hardwareThreads = std::max(1u, std::thread::hardware_concurrency());
    std::printf("Readers: qpdf %s, libtiff %s, %s\n", QPDF::QPDFVersion().c_str(),
                std::string(TIFFGetVersion()).substr(0, std::string(TIFFGetVersion()).find('\n')).c_str(),
                fixtures::referenceReaders().constData());
    std::printf("Timing: median and best of at least %d passes (and %.1f s) after a warm-up pass, warm page cache\n",
                options.passes, kMinimumSeconds);
    std::printf("        %u hardware threads, load average %.2f at start; Steal: the share of the machine's\n"
                "        processors the host took during a row's timed passes (a virtual machine's steal time)\n\n",
                hardwareThreads, bench::loadAverage());
    std::fflush(stdout);

    std::vector<size_t> all(files.size());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    std::vector<qint32> counts(files.size(), -1);
    size_t unreadable = 0;
    std::vector<Row> rows;
    std::vector<unsigned> threadCounts{1};
    if (options.threads > 1)
        threadCounts.push_back(options.threads);
    for (unsigned threads : threadCounts) {
        for (size_t r = 0; r < readers.size(); ++r) {
            Reader& reader = readers[r];
            reader.mismatched.resize(files.size(), 0);
            bench::Work work;
            bench::AfterPass after;
            if (!reader.count) {
                work = [&](size_t i) { counts[i] = qint32(bench::touchFile(files[i].nativePath) < 0 ? -1 : 0); };
                after = [&](const std::vector<size_t>& order) {
                    for (size_t i : order) {
                        unreadable += counts[i] < 0 ? 1 : 0;
                        counts[i] = -1;
                    }
                };
            } else {
                reader.best.resize(files.size(), 1e9);
                work = [&, threads](size_t i) {
                    const auto start = std::chrono::steady_clock::now();
                    counts[i] = reader.count(files[i], kKinds[files[i].kind].isPdf());
                    if (threads == 1)
                        reader.best[i] =
                            std::min(reader.best[i],
                                     std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
                };
                // A file left out of a pass keeps -1 and shows as a mismatch too.
                after = [&](const std::vector<size_t>& order) {
                    for (size_t i : order) {
                        if (counts[i] != files[i].expected && !reader.mismatched[i]) {
                            reader.mismatched[i] = 1;
                            if (r == programReader)
                                std::fprintf(stderr, "program mismatch: %s: expected %d, counted %d\n",
                                             files[i].nativePath.constData(), files[i].expected, counts[i]);
                        }
                        counts[i] = -1;
                    }
                };
            }
            rows.push_back({r, threads, bench::measure(all, threads, options.passes, kMinimumSeconds, work, after)});
        }
    }

    const auto median = [&](size_t reader, unsigned threads) {
        for (const Row& row : rows) {
            if (row.reader == reader && row.threads == threads)
                return row.time.medianSeconds;
        }
        return 0.0;
    };
    const auto mismatches = [&](const Reader& reader) {
        return size_t(std::count(reader.mismatched.begin(), reader.mismatched.end(), 1));
    };

    std::printf("%-30s %7s %6s %10s %10s %10s %11s %8s %8s %6s %10s\n", "Reader", "Threads", "Passes", "Median ms",
                "Best ms", "Files/s", "Pages/s", "x MuPDF", "CPU/wall", "Steal", "Wrong");
    std::printf("%s\n", std::string(126, '-').c_str());
    for (const Row& row : rows) {
        const Reader& reader = readers[row.reader];
        const double s = row.time.medianSeconds;
        char ratio[32] = "-";
        if (mupdfReader && row.reader != 0)
            std::snprintf(ratio, sizeof ratio, "%.2f", median(mupdfReader, row.threads) / s);
        char wrong[24] = "-";
        if (reader.count)
            std::snprintf(wrong, sizeof wrong, "%zu", mismatches(reader));
        std::printf("%-30s %7u %6d %10.1f %10.1f %10.0f %11.0f %8s %8.2f %5.0f%% %10s\n", reader.name.c_str(),
                    row.threads, row.time.passes, s * 1e3, row.time.minSeconds * 1e3, double(files.size()) / s,
                    double(truePages) / s, ratio, row.time.cpuPerWall, row.time.steal * 100, wrong);
    }

    // Wrong counts by kind, for the kinds where any reader is wrong.
    std::printf("\nFiles counted wrong, by kind (over every pass; kinds where every reader is right are left out)\n");
    std::printf("%-33s %6s", "Kind", "Files");
    for (size_t r = 1; r < readers.size(); ++r)
        std::printf(" %18s", readers[r].shortName.c_str());
    std::printf("\n%s\n", std::string(40 + 19 * (readers.size() - 1), '-').c_str());
    bool anyWrong = false;
    for (size_t k = 0; k < kKindCount; ++k) {
        size_t ofKind = 0;
        std::vector<size_t> wrong(readers.size(), 0);
        for (size_t i = 0; i < files.size(); ++i) {
            if (files[i].kind != k)
                continue;
            ++ofKind;
            for (size_t r = 1; r < readers.size(); ++r)
                wrong[r] += readers[r].mismatched[i] ? 1 : 0;
        }
        if (std::all_of(wrong.begin(), wrong.end(), [](size_t n) { return n == 0; }))
            continue;
        anyWrong = true;
        std::printf("%-33s %6zu", kKinds[k].name, ofKind);
        for (size_t r = 1; r < readers.size(); ++r)
            std::printf(" %18zu", wrong[r]);
        std::printf("\n");
    }
    if (!anyWrong)
        std::printf("(none)\n");

    // Time per file by group, from each file's fastest count on one thread.
    std::vector<std::string> groups;
    for (const CorpusFile& file : files) {
        const std::string group = groupOf(kKinds[file.kind]);
        if (std::find(groups.begin(), groups.end(), group) == groups.end())
            groups.push_back(group);
    }
    std::sort(groups.begin(), groups.end());
    const auto perFile = [&](size_t reader, const std::function<bool(const CorpusFile&)>& in) {
        double sum = 0;
        size_t n = 0;
        for (size_t i = 0; i < files.size(); ++i) {
            if (in(files[i])) {
                sum += readers[reader].best[i];
                ++n;
            }
        }
        return std::pair(sum, n);
    };
    std::printf("\nTime per file by group, one thread, each file's fastest count (microseconds)\n");
    std::printf("%-36s %6s %9s", "Group", "Files", "MiB");
    for (size_t r = 1; r < readers.size(); ++r)
        std::printf(" %18s", readers[r].shortName.c_str());
    std::printf("\n%s\n", std::string(53 + 19 * (readers.size() - 1), '-').c_str());
    for (const std::string& group : groups) {
        const auto in = [&](const CorpusFile& file) { return group == groupOf(kKinds[file.kind]); };
        qint64 groupBytes = 0;
        for (const CorpusFile& file : files)
            groupBytes += in(file) ? file.bytes : 0;
        std::printf("%-36s %6zu %9.1f", group.c_str(), perFile(programReader, in).second,
                    double(groupBytes) / (1024.0 * 1024.0));
        for (size_t r = 1; r < readers.size(); ++r) {
            const auto [sum, n] = perFile(r, in);
            std::printf(" %18.1f", n ? sum / double(n) * 1e6 : 0.0);
        }
        std::printf("\n");
    }

    const size_t programWrong = mismatches(readers[programReader]);
    const double scaling = options.threads > 1 ? median(programReader, 1) / median(programReader, options.threads) : 0;
    std::printf("\nTargets for the program's path:\n");
    if (mupdfReader) {
        const auto all = [](const CorpusFile&) { return true; };
        const auto withoutAes = [&](const CorpusFile& file) { return !isAes256(kKinds[file.kind]); };
        const auto plain = [&](const CorpusFile& file) {
            return std::string(groupOf(kKinds[file.kind])) == "office, plain";
        };
        const auto damagedPdf = [&](const CorpusFile& file) {
            return kKinds[file.kind].xrefDefect != PdfXrefDefect::None;
        };
        const auto ratio = [&](const std::function<bool(const CorpusFile&)>& in) {
            return perFile(mupdfReader, in).first / perFile(programReader, in).first;
        };
        const double whole = median(mupdfReader, 1) / median(programReader, 1);
        std::printf("  whole mix >= %.2fx libtiff + MuPDF, one thread:        %.2fx (pass medians), %.2fx (file "
                    "bests)  %s\n",
                    kTargetOverPair, whole, ratio(all), verdict(whole >= kTargetOverPair));
        std::printf("  mix without AES-256 >= %.2fx libtiff + MuPDF:          %.2fx (file bests)  %s\n",
                    kTargetOverPairWithoutAes, ratio(withoutAes),
                    verdict(ratio(withoutAes) >= kTargetOverPairWithoutAes));
        std::printf("  plain office PDFs at least as fast as MuPDF:          %.2fx  %s\n", ratio(plain),
                    verdict(ratio(plain) >= 1.0));
        // What reaching the leaves alone costs, against MuPDF's whole count of the same files.
        for (const bool mapped : {false, true}) {
            double leaves = 0, mupdf = 0;
            size_t reached = 0;
            for (size_t i = 0; i < files.size(); ++i) {
                const std::vector<off_t> offsets =
                    plain(files[i]) ? pageDictionaryOffsets(files[i].nativePath) : std::vector<off_t>();
                double best = -1;
                for (int pass = 0; pass <= options.passes && !offsets.empty(); ++pass) {
                    const double seconds = reachEveryLeaf(files[i].nativePath, offsets, mapped);
                    best = pass == 0 || seconds < 0 ? best : best < 0 ? seconds : std::min(best, seconds);
                }
                if (best >= 0) {
                    leaves += best;
                    mupdf += readers[mupdfReader].best[i];
                    ++reached;
                }
            }
            if (reached)
                std::printf("    reaching each leaf alone (%s, no parsing): %.1f us a file = %.2fx MuPDF's whole "
                            "count (%.1f us), %zu files\n",
                            mapped ? "the file mapped, a byte touched at each page dictionary"
                                   : "a 512-byte pread at each page dictionary",
                            leaves / double(reached) * 1e6, mupdf / leaves, mupdf / double(reached) * 1e6, reached);
        }
        if (perFile(programReader, damagedPdf).second == 0)
            std::printf("  damaged PDFs: none in this run (--only)\n");
        else
            std::printf("  damaged PDFs at most %.1fx MuPDF's time per file:      %.2fx  %s\n", kTargetDamagedOverMuPdf,
                        1 / ratio(damagedPdf), verdict(1 / ratio(damagedPdf) <= kTargetDamagedOverMuPdf));
    } else {
        std::printf("  against libtiff + MuPDF: not measured (built without MuPDF)\n");
    }
    if (options.threads == 2)
        std::printf("  two threads >= %.1fx one thread:                       %.2fx  %s\n", kTargetTwoThreadsOverOne,
                    scaling, verdict(scaling >= kTargetTwoThreadsOverOne));
    else
        std::printf("  two threads >= %.1fx one thread: not measured (--threads %u)\n", kTargetTwoThreadsOverOne,
                    options.threads);
    std::printf("  every count correct:                                   %zu of %zu files wrong  %s\n", programWrong,
                files.size(), verdict(programWrong == 0));
    if (unreadable)
        std::printf("Unreadable in the I/O floor: %zu file reads\n", unreadable);
    return programWrong == 0 ? 0 : 1;
}
