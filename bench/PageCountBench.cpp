// Page-counting benchmark. Writes a mixed corpus of TIFFs and PDFs into a temporary folder,
// then times getTiffPageCount over it on one thread and on every core, beside an I/O floor
// that opens, stats and reads the first and last 4 KiB of each file. Every count is checked
// against the pages written; any mismatch makes the exit status 1.
//
// A plain program rather than a Google Benchmark one: it splits one fixed corpus across
// threads, compares three workloads in one table and fails on a wrong count, none of which
// fits the per-iteration model well.

#include "model/PageCounter.h"
#include "support/Fixtures.h"
#include "support/SeededRandomData.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <qpdf/QUtil.hh>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kSeed = 20261206;
constexpr int kDefaultFiles = 300;
constexpr size_t kEdgeBytes = 4096;
constexpr double kMinimumSeconds = 0.5;
constexpr int kMaximumPasses = 1000;
const char* const kLockedPassword = "secret";

using fixtures::PdfEncryption;
using fixtures::TiffCompression;

struct Kind {
    const char* name;
    bool isPdf;
    bool bigTiff;
    TiffCompression compression;
    bool objectStreams;
    bool linearize;
    PdfEncryption encryption;
    bool locked; // opened with the empty password, a locked PDF counts 0 when its tree is in object streams
};

// Files take these kinds in turn; TIFFs of each kind alternate between the two byte orders.
// Columns: name, PDF, BigTIFF, compression, object streams, linearized, encryption, locked.
const Kind kKinds[] = {
    {"TIFF none", false, false, TiffCompression::None, false, false, PdfEncryption::None, false},
    {"TIFF LZW", false, false, TiffCompression::Lzw, false, false, PdfEncryption::None, false},
    {"TIFF Deflate", false, false, TiffCompression::Deflate, false, false, PdfEncryption::None, false},
    {"TIFF PackBits", false, false, TiffCompression::PackBits, false, false, PdfEncryption::None, false},
    {"TIFF CCITT G3", false, false, TiffCompression::Ccitt3, false, false, PdfEncryption::None, false},
    {"TIFF CCITT G4", false, false, TiffCompression::Ccitt4, false, false, PdfEncryption::None, false},
    {"TIFF JPEG", false, false, TiffCompression::Jpeg, false, false, PdfEncryption::None, false},
    {"TIFF ZSTD", false, false, TiffCompression::Zstd, false, false, PdfEncryption::None, false},
    {"TIFF LZMA", false, false, TiffCompression::Lzma, false, false, PdfEncryption::None, false},
    {"BigTIFF none", false, true, TiffCompression::None, false, false, PdfEncryption::None, false},
    {"BigTIFF LZW", false, true, TiffCompression::Lzw, false, false, PdfEncryption::None, false},
    {"PDF plain", true, false, TiffCompression::None, false, false, PdfEncryption::None, false},
    {"PDF object streams", true, false, TiffCompression::None, true, false, PdfEncryption::None, false},
    {"PDF linearized", true, false, TiffCompression::None, false, true, PdfEncryption::None, false},
    {"PDF linearized, obj. streams", true, false, TiffCompression::None, true, true, PdfEncryption::None, false},
    {"PDF RC4-128", true, false, TiffCompression::None, false, false, PdfEncryption::Rc4_128, false},
    {"PDF AES-128", true, false, TiffCompression::None, false, false, PdfEncryption::Aes128, false},
    {"PDF AES-256", true, false, TiffCompression::None, false, false, PdfEncryption::Aes256, false},
    {"PDF AES-256, obj. streams", true, false, TiffCompression::None, true, false, PdfEncryption::Aes256, false},
    {"PDF AES-256 locked", true, false, TiffCompression::None, false, false, PdfEncryption::Aes256, true},
};
constexpr size_t kKindCount = sizeof(kKinds) / sizeof(kKinds[0]);

struct Options {
    double scale = 1.0;
    int maxPages = 400;
    int passes = 5;
    unsigned threads = 0; // 0: every hardware thread
    bool byKind = false;
};

struct CorpusFile {
    QByteArray nativePath;
    QUrl url;
    size_t kind = 0;
    bool bigEndian = false;
    int pagesWritten = 0;
    qint32 expectedCount = 0;
    qint64 bytes = 0;
};

void printUsage(FILE* out)
{
    std::fprintf(out,
                 "usage: folimeter_bench_pages [--scale X] [--max-pages N] [--passes N] [--threads N] [--by-kind]\n"
                 "  --scale X      corpus size factor, up to 1000 (default 1 = %d files; env FOLIMETER_BENCH_SCALE)\n"
                 "  --max-pages N  largest file in pages (default 400)\n"
                 "  --passes N     least timed passes per row, the median is shown (default 5)\n"
                 "  --threads N    threads of the parallel rows (default: hardware threads)\n"
                 "  --by-kind      also time each kind of file alone on one thread\n",
                 kDefaultFiles);
}

bool parseDouble(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value > 0 && value <= 1000;
}

bool parseInt(const char* text, int& value)
{
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < 1 || parsed > 1000000)
        return false;
    value = int(parsed);
    return true;
}

// Returns false on a bad argument; sets `help` when usage was asked for.
bool parseOptions(int argc, char** argv, Options& options, bool& help)
{
    if (const char* env = std::getenv("FOLIMETER_BENCH_SCALE"); env && *env && !parseDouble(env, options.scale)) {
        std::fprintf(stderr, "FOLIMETER_BENCH_SCALE: not a number in (0, 1000]: %s\n", env);
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        int number = 0;
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        } else if (arg == "--by-kind") {
            options.byKind = true;
        } else if (arg == "--scale" && value && parseDouble(value, options.scale)) {
            ++i;
        } else if (arg == "--max-pages" && value && parseInt(value, options.maxPages)) {
            ++i;
        } else if (arg == "--passes" && value && parseInt(value, options.passes)) {
            ++i;
        } else if (arg == "--threads" && value && parseInt(value, number)) {
            options.threads = unsigned(number);
            ++i;
        } else {
            std::fprintf(stderr, "bad argument: %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// Mostly short documents, some medium, a few long ones up to `maxPages`.
int drawPages(std::mt19937& rng, int maxPages)
{
    const auto between = [&](int lo, int hi) { return hi <= lo ? lo : lo + int(rng() % std::uint32_t(hi - lo + 1)); };
    const std::uint32_t bucket = rng() % 100;
    if (bucket < 60)
        return between(1, std::min(10, maxPages));
    if (bucket < 90)
        return between(std::min(11, maxPages), std::min(60, maxPages));
    return between(std::min(61, maxPages), maxPages);
}

// Writes the corpus into `dir`; the same options give the same files. Returns false on failure.
bool generateCorpus(const QString& dir, const Options& options, std::vector<CorpusFile>& files)
{
    const int count = std::max(1, int(std::lround(kDefaultFiles * options.scale)));
    std::mt19937 rng(kSeed);
    fixtures::SeededRandomData randomData(kSeed);
    QUtil::setRandomDataProvider(&randomData);
    std::vector<int> seenOfKind(kKindCount, 0);
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const size_t kindIndex = size_t(i) % kKindCount;
        const Kind& kind = kKinds[kindIndex];
        const bool bigEndian = seenOfKind[kindIndex]++ % 2 == 1;
        CorpusFile file;
        file.kind = kindIndex;
        file.bigEndian = bigEndian && !kind.isPdf;
        file.pagesWritten = drawPages(rng, options.maxPages);
        // A locked PDF's page tree is read without the password unless it is in object streams.
        file.expectedCount = kind.locked && kind.objectStreams ? 0 : file.pagesWritten;
        QString name = QString::asprintf("%04d-", i) + QString::fromLatin1(kind.name).toLower();
        name.replace(QLatin1String(", "), QLatin1String("-")).replace(' ', '-').remove('.');
        if (kind.isPdf) {
            name += QLatin1String(".pdf");
            fixtures::PdfOptions pdf;
            pdf.pages = file.pagesWritten;
            pdf.objectStreams = kind.objectStreams;
            pdf.linearize = kind.linearize;
            pdf.encryption = kind.encryption;
            if (kind.locked)
                pdf.userPassword = QString::fromLatin1(kLockedPassword);
            ok = fixtures::writePdf(QDir(dir).filePath(name), pdf);
        } else {
            name += bigEndian ? QLatin1String("-be") : QLatin1String("-le");
            name += kind.bigTiff ? QLatin1String(".tiff") : QLatin1String(".tif");
            fixtures::TiffOptions tiff;
            tiff.pages = file.pagesWritten;
            tiff.bigEndian = bigEndian;
            tiff.bigTiff = kind.bigTiff;
            tiff.compression = kind.compression;
            tiff.width = 64 << (rng() % 3); // 64, 128 or 256
            tiff.height = tiff.width + tiff.width / 2;
            ok = fixtures::writeTiff(QDir(dir).filePath(name), tiff);
        }
        const QString path = QDir(dir).filePath(name);
        if (!ok)
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        file.nativePath = QFile::encodeName(path);
        file.url = QUrl::fromLocalFile(path);
        file.bytes = QFileInfo(path).size();
        files.push_back(std::move(file));
    }
    QUtil::setRandomDataProvider(nullptr);
    return ok;
}

// SHA-256 over the names and contents, in corpus order: equal digests mean equal corpora.
QByteArray corpusDigest(const std::vector<CorpusFile>& files)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const CorpusFile& file : files) {
        hash.addData(QFileInfo(QFile::decodeName(file.nativePath)).fileName().toUtf8());
        QFile in(QFile::decodeName(file.nativePath));
        if (in.open(QIODevice::ReadOnly))
            hash.addData(&in);
    }
    return hash.result().toHex();
}

// Open, stat, read the first and last 4 KiB, close: what any count must at least do.
// Returns the bytes read, or -1 when the file could not be opened.
qint64 touchFile(const QByteArray& nativePath)
{
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buffer[kEdgeBytes];
    qint64 total = 0;
    struct stat st {};
    if (::fstat(fd, &st) == 0) {
        const ssize_t head = ::pread(fd, buffer, sizeof buffer, 0);
        const off_t tailOffset = st.st_size > off_t(kEdgeBytes) ? st.st_size - off_t(kEdgeBytes) : 0;
        const ssize_t tail = ::pread(fd, buffer, sizeof buffer, tailOffset);
        total = std::max<ssize_t>(head, 0) + std::max<ssize_t>(tail, 0);
    }
    ::close(fd);
    return total;
}

// Runs `work` once for each entry of `order`, spread over `threads` threads that take the
// next entry as they become free. Returns the wall time in seconds.
double runPass(const std::vector<size_t>& order, unsigned threads, const std::function<void(size_t)>& work)
{
    std::atomic<size_t> next{0};
    const auto worker = [&] {
        for (size_t i = next.fetch_add(1, std::memory_order_relaxed); i < order.size();
             i = next.fetch_add(1, std::memory_order_relaxed))
            work(order[i]);
    };
    const auto start = std::chrono::steady_clock::now();
    if (threads <= 1) {
        worker();
    } else {
        std::vector<std::jthread> pool;
        pool.reserve(threads);
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back(worker);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Measurement {
    double medianSeconds = 0;
    double minSeconds = 0;
    double cpuPerWall = 0; // busy threads on average over the timed passes
    int passes = 0;
};

double processCpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

using AfterPass = std::function<void(const std::vector<size_t>&)>;

// One untimed warm-up pass, then at least `passes` timed ones, more while they add up to less than
// kMinimumSeconds (short passes are noisy); `afterPass` sees the entries after every pass.
Measurement measure(const std::vector<size_t>& order, unsigned threads, int passes,
                    const std::function<void(size_t)>& work, const AfterPass& afterPass)
{
    runPass(order, threads, work);
    afterPass(order);
    std::vector<double> times;
    double cpu = 0, wall = 0;
    for (int p = 0; p < passes || (wall < kMinimumSeconds && p < kMaximumPasses); ++p) {
        const double cpuStart = processCpuSeconds();
        times.push_back(runPass(order, threads, work));
        cpu += processCpuSeconds() - cpuStart;
        wall += times.back();
        afterPass(order);
    }
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    const double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    return {median, times.front(), wall > 0 ? cpu / wall : 0, int(n)};
}

struct Row {
    std::string workload;
    unsigned threads;
    Measurement time;
    double floorSeconds; // the I/O floor's median at the same thread count; 0 on floor rows
    double oneThreadSeconds;
};

void printTable(const std::vector<Row>& rows, size_t fileCount, qint64 pageCount)
{
    std::printf("%-28s %7s %6s %10s %10s %11s %12s %8s %9s %8s\n", "Workload", "Threads", "Passes", "Median ms",
                "Best ms", "Files/s", "Pages/s", "x floor", "x 1 thr.", "CPU/wall");
    std::printf("%s\n", std::string(116, '-').c_str());
    for (const Row& row : rows) {
        const double s = row.time.medianSeconds;
        char floorRatio[16] = "-";
        if (row.floorSeconds > 0)
            std::snprintf(floorRatio, sizeof floorRatio, "%.1f", s / row.floorSeconds);
        std::printf("%-28s %7u %6d %10.2f %10.2f %11.0f %12.0f %8s %9.2f %8.2f\n", row.workload.c_str(), row.threads,
                    row.time.passes, s * 1e3, row.time.minSeconds * 1e3, double(fileCount) / s, double(pageCount) / s,
                    floorRatio, row.oneThreadSeconds / s, row.time.cpuPerWall);
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    bool help = false;
    if (!parseOptions(argc, argv, options, help)) {
        printUsage(stderr);
        return 2;
    }
    if (help) {
        printUsage(stdout);
        return 0;
    }
    const unsigned hardwareThreads = std::max(1u, std::thread::hardware_concurrency());
    const unsigned parallelThreads = options.threads ? options.threads : hardwareThreads;

    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/folimeter-bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder: %s\n", qPrintable(dir.errorString()));
        return 2;
    }
    std::vector<CorpusFile> files;
    const auto generationStart = std::chrono::steady_clock::now();
    if (!generateCorpus(dir.path(), options, files))
        return 2;
    const double generationSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - generationStart).count();

    qint64 countablePages = 0, writtenPages = 0, bytes = 0;
    size_t tiffFiles = 0, bigTiffFiles = 0, bigEndianFiles = 0, lockedFiles = 0;
    int largest = 0;
    for (const CorpusFile& file : files) {
        const Kind& kind = kKinds[file.kind];
        countablePages += file.expectedCount;
        writtenPages += file.pagesWritten;
        bytes += file.bytes;
        largest = std::max(largest, file.pagesWritten);
        tiffFiles += kind.isPdf ? 0 : 1;
        bigTiffFiles += kind.bigTiff ? 1 : 0;
        bigEndianFiles += file.bigEndian ? 1 : 0;
        lockedFiles += kind.locked ? 1 : 0;
    }

    std::printf("Corpus: %zu files (%zu TIFF, of which %zu BigTIFF and %zu big-endian; %zu PDF, of which %zu "
                "locked), %lld pages written, largest %d, %.1f MiB\n",
                files.size(), tiffFiles, bigTiffFiles, bigEndianFiles, files.size() - tiffFiles, lockedFiles,
                static_cast<long long>(writtenPages), largest, double(bytes) / (1024.0 * 1024.0));
    std::printf("        seed %u, %zu kinds, generated in %.1f s into %s\n", kSeed, kKindCount, generationSeconds,
                qPrintable(dir.path()));
    std::printf("        digest %s\n", corpusDigest(files).constData());
    double load[1] = {0};
    ::getloadavg(load, 1);
    std::printf("Timing: median and best of at least %d passes (and %.1f s) after a warm-up pass, warm page cache\n",
                options.passes, kMinimumSeconds);
    std::printf("        %u hardware threads, load average %.2f at start\n", hardwareThreads, load[0]);
    std::printf("        pages/s counts the %lld countable pages; a locked PDF counts 0 where its tree is in object "
                "streams (checked once with its password)\n\n",
                static_cast<long long>(countablePages));

    std::vector<size_t> all(files.size());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;

    std::vector<qint64> touched(files.size(), 0);
    std::vector<qint32> counts(files.size(), -1);
    std::vector<char> mismatched(files.size(), 0);
    size_t unreadable = 0;
    const auto floorWork = [&](size_t i) { touched[i] = touchFile(files[i].nativePath); };
    const auto countWork = [&](size_t i) { counts[i] = getTiffPageCount(files[i].url); };
    const auto checkFloor = [&](const std::vector<size_t>& order) {
        for (size_t i : order) {
            unreadable += touched[i] < 0 ? 1 : 0;
            touched[i] = 0;
        }
    };
    // A file left out of a pass keeps -1 and shows as a mismatch too.
    const auto checkCounts = [&](const std::vector<size_t>& order) {
        for (size_t i : order) {
            if (counts[i] != files[i].expectedCount && !mismatched[i]) {
                mismatched[i] = 1;
                std::fprintf(stderr, "mismatch: %s: expected %d, counted %d\n", files[i].nativePath.constData(),
                             files[i].expectedCount, counts[i]);
            }
            counts[i] = -1;
        }
    };

    // With its password a locked PDF must count what was written, so that a damaged file cannot
    // pass for a locked one.
    for (size_t i = 0; i < files.size(); ++i) {
        if (!kKinds[files[i].kind].locked)
            continue;
        const qint32 unlocked = getTiffPageCount(files[i].url, QString::fromLatin1(kLockedPassword));
        if (unlocked != files[i].pagesWritten) {
            mismatched[i] = 1;
            std::fprintf(stderr, "mismatch: %s with its password: expected %d, counted %d\n",
                         files[i].nativePath.constData(), files[i].pagesWritten, unlocked);
        }
    }

    std::vector<unsigned> threadCounts{1};
    if (parallelThreads > 1)
        threadCounts.push_back(parallelThreads);
    std::vector<Row> rows;
    double floorOneThread = 0, countOneThread = 0;
    for (unsigned threads : threadCounts) {
        const Measurement floor = measure(all, threads, options.passes, floorWork, checkFloor);
        const Measurement count = measure(all, threads, options.passes, countWork, checkCounts);
        if (threads == 1) {
            floorOneThread = floor.medianSeconds;
            countOneThread = count.medianSeconds;
        }
        rows.push_back({"I/O floor (open+stat+8 KiB)", threads, floor, 0, floorOneThread});
        rows.push_back({"getTiffPageCount", threads, count, floor.medianSeconds, countOneThread});
    }
    printTable(rows, files.size(), countablePages);

    if (options.byKind) {
        std::printf("\n%-28s %7s %8s %10s %11s %12s\n", "Kind (1 thread)", "Files", "Pages", "Median ms", "Files/s",
                    "Pages/s");
        std::printf("%s\n", std::string(80, '-').c_str());
        for (size_t k = 0; k < kKindCount; ++k) {
            std::vector<size_t> ofKind;
            qint64 pages = 0;
            for (size_t i = 0; i < files.size(); ++i) {
                if (files[i].kind == k) {
                    ofKind.push_back(i);
                    pages += files[i].expectedCount;
                }
            }
            if (ofKind.empty())
                continue;
            const Measurement m = measure(ofKind, 1, options.passes, countWork, checkCounts);
            std::printf("%-28s %7zu %8lld %10.2f %11.0f %12.0f\n", kKinds[k].name, ofKind.size(),
                        static_cast<long long>(pages), m.medianSeconds * 1e3, double(ofKind.size()) / m.medianSeconds,
                        double(pages) / m.medianSeconds);
        }
    }

    const auto mismatches = size_t(std::count(mismatched.begin(), mismatched.end(), 1));
    std::printf("\nCount mismatches: %zu of %zu files\n", mismatches, files.size());
    if (unreadable)
        std::printf("Unreadable in the I/O floor: %zu file reads\n", unreadable);
    return mismatches == 0 && unreadable == 0 ? 0 : 1;
}
