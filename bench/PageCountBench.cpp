// Page-counting benchmark. Writes a mixed corpus of TIFFs and PDFs into a temporary folder,
// then times getTiffPageCount over it on one thread and on every core, beside an I/O floor
// that stats, opens and reads the first and last 4 KiB of each file. Every count is checked
// against the pages written; any mismatch makes the exit status 1.
//
// A plain program rather than a Google Benchmark one: it splits one fixed corpus across
// threads, compares three workloads in one table and fails on a wrong count, none of which
// fits the per-iteration model well.

#include "BenchSupport.h"
#include "model/PageCounter.h"
#include "support/SeededRandomData.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <qpdf/QUtil.hh>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kSeed = 20261206;
constexpr int kDefaultFiles = 300;
constexpr double kMinimumSeconds = 0.5;

using bench::Measurement;

// Files take these kinds in turn; TIFFs of each kind alternate between the two byte orders.
const std::vector<bench::WeightedKind> kKinds = bench::weightedKinds({
    {"TIFF none", 1},
    {"TIFF LZW", 1},
    {"TIFF Deflate", 1},
    {"TIFF PackBits", 1},
    {"TIFF CCITT G3", 1},
    {"TIFF CCITT G4", 1},
    {"TIFF JPEG", 1},
    {"TIFF ZSTD", 1},
    {"TIFF LZMA", 1},
    {"BigTIFF none", 1},
    {"BigTIFF LZW", 1},
    {"PDF flat tree (qpdf)", 1},
    {"PDF xref+obj. streams", 1},
    {"PDF linearized", 1},
    {"PDF linearized, obj. str.", 1},
    {"PDF RC4-128", 1},
    {"PDF AES-128", 1},
    {"PDF AES-256", 1},
    {"PDF AES-256, obj. streams", 1},
    {"PDF locked AES-256", 1},
});
const size_t kKindCount = kKinds.size();

struct Options {
    double scale = 1.0;
    int maxPages = 400;
    int passes = 5;
    unsigned threads = 0; // 0: every hardware thread
    bool byKind = false;
    bool tiffOnly = false;
};

std::string usage()
{
    char text[1024];
    std::snprintf(text, sizeof text,
                  "usage: folimeter_bench_pages [--scale X] [--max-pages N] [--passes N] [--threads N] [--by-kind] "
                  "[--tiff-only]\n"
                  "  --scale X      corpus size factor, up to 1000 (default 1 = %d files; env FOLIMETER_BENCH_SCALE)\n"
                  "  --max-pages N  largest file in pages (default 400)\n"
                  "  --passes N     least timed passes per row, the median is shown (default 5)\n"
                  "  --threads N    threads of the parallel rows (default: hardware threads)\n"
                  "  --by-kind      also time each kind of file alone on one thread\n"
                  "  --tiff-only    a corpus of the TIFF kinds alone, as many files\n",
                  kDefaultFiles);
    return text;
}

std::vector<bench::Option> optionsOf(Options& o)
{
    std::vector<bench::Option> options = bench::corpusOptions(o.scale, o.passes, o.threads);
    options.push_back({"--max-pages", true, [&o](const char* v) { return bench::parseCount(v, o.maxPages); }});
    options.push_back({"--by-kind", false, [&o](const char*) { return o.byKind = true; }});
    options.push_back({"--tiff-only", false, [&o](const char*) { return o.tiffOnly = true; }});
    return options;
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
bool generateCorpus(const QString& dir, const Options& options, std::vector<bench::CorpusFile>& files)
{
    const int count = std::max(1, int(std::lround(kDefaultFiles * options.scale)));
    std::mt19937 rng(kSeed);
    fixtures::SeededRandomData randomData(kSeed);
    QUtil::setRandomDataProvider(&randomData);
    std::vector<int> seenOfKind(kKindCount, 0);
    std::vector<size_t> kinds;
    for (size_t k = 0; k < kKindCount; ++k) {
        if (!options.tiffOnly || !kKinds[k].isPdf())
            kinds.push_back(k);
    }
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const size_t kindIndex = kinds[size_t(i) % kinds.size()];
        const bench::FileKind& kind = kKinds[kindIndex];
        const bool bigEndian = seenOfKind[kindIndex]++ % 2 == 1;
        const int pages = drawPages(rng, options.maxPages);
        const QString path = QDir(dir).filePath(bench::corpusFileName(i, kind, bigEndian));
        bench::CorpusFile file;
        file.kind = kindIndex;
        ok = bench::writeCorpusFile(path, kind, pages, bigEndian, rng, file);
        if (!ok)
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        files.push_back(std::move(file));
    }
    QUtil::setRandomDataProvider(nullptr);
    return ok;
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
    if (const int status = bench::parseArguments(argc, argv, optionsOf(options), usage()); status >= 0)
        return status;
    const unsigned hardwareThreads = std::max(1u, std::thread::hardware_concurrency());
    const unsigned parallelThreads = options.threads ? options.threads : hardwareThreads;

    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/folimeter-bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder: %s\n", qPrintable(dir.errorString()));
        return 2;
    }
    std::vector<bench::CorpusFile> files;
    const auto generationStart = std::chrono::steady_clock::now();
    if (!generateCorpus(dir.path(), options, files))
        return 2;
    const double generationSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - generationStart).count();

    qint64 countablePages = 0, writtenPages = 0, bytes = 0;
    size_t tiffFiles = 0, bigTiffFiles = 0, bigEndianFiles = 0, lockedFiles = 0;
    int largest = 0;
    for (const bench::CorpusFile& file : files) {
        const bench::FileKind& kind = kKinds[file.kind];
        countablePages += file.expected;
        writtenPages += file.leaves;
        bytes += file.bytes;
        largest = std::max(largest, file.leaves);
        tiffFiles += kind.isPdf() ? 0 : 1;
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
    std::printf("        digest %s\n", bench::corpusDigest(files).constData());
    std::printf("Timing: median and best of at least %d passes (and %.1f s) after a warm-up pass, warm page cache\n",
                options.passes, kMinimumSeconds);
    std::printf("        %u hardware threads, load average %.2f at start\n", hardwareThreads, bench::loadAverage());
    std::printf("        pages/s counts the %lld countable pages; a locked PDF counts its page tree where the "
                "tree is readable without the password, else 0 (checked once with its password)\n\n",
                static_cast<long long>(countablePages));

    std::vector<size_t> all(files.size());
    std::vector<QUrl> urls;
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
        urls.push_back(QUrl::fromLocalFile(QFile::decodeName(files[i].nativePath)));
    }

    std::vector<qint64> touched(files.size(), 0);
    std::vector<qint32> counts(files.size(), -1);
    std::vector<char> mismatched(files.size(), 0);
    size_t unreadable = 0;
    const auto floorWork = [&](size_t i) { touched[i] = bench::touchFile(files[i].nativePath); };
    const auto countWork = [&](size_t i) { counts[i] = getTiffPageCount(urls[i]); };
    const auto checkFloor = [&](const std::vector<size_t>& order) {
        for (size_t i : order) {
            unreadable += touched[i] < 0 ? 1 : 0;
            touched[i] = 0;
        }
    };
    // A file left out of a pass keeps -1 and shows as a mismatch too.
    const auto checkCounts = [&](const std::vector<size_t>& order) {
        for (size_t i : order) {
            if (counts[i] != files[i].expected && !mismatched[i]) {
                mismatched[i] = 1;
                std::fprintf(stderr, "mismatch: %s: expected %d, counted %d\n", files[i].nativePath.constData(),
                             files[i].expected, counts[i]);
            }
            counts[i] = -1;
        }
    };

    // With its password a locked PDF must count what was written, so that a damaged file cannot
    // pass for a locked one.
    for (size_t i = 0; i < files.size(); ++i) {
        if (!kKinds[files[i].kind].locked)
            continue;
        const qint32 unlocked = getTiffPageCount(urls[i], QString::fromLatin1(bench::kLockedPassword));
        if (unlocked != files[i].leaves) {
            mismatched[i] = 1;
            std::fprintf(stderr, "mismatch: %s with its password: expected %d, counted %d\n",
                         files[i].nativePath.constData(), files[i].leaves, unlocked);
        }
    }

    std::vector<unsigned> threadCounts{1};
    if (parallelThreads > 1)
        threadCounts.push_back(parallelThreads);
    std::vector<Row> rows;
    double floorOneThread = 0, countOneThread = 0;
    for (unsigned threads : threadCounts) {
        const Measurement floor = bench::measure(all, threads, options.passes, kMinimumSeconds, floorWork, checkFloor);
        const Measurement count = bench::measure(all, threads, options.passes, kMinimumSeconds, countWork, checkCounts);
        if (threads == 1) {
            floorOneThread = floor.medianSeconds;
            countOneThread = count.medianSeconds;
        }
        rows.push_back({"I/O floor (stat+open+8 KiB)", threads, floor, 0, floorOneThread});
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
                    pages += files[i].expected;
                }
            }
            if (ofKind.empty())
                continue;
            const Measurement m = bench::measure(ofKind, 1, options.passes, kMinimumSeconds, countWork, checkCounts);
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
