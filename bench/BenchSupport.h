#pragma once

// What the page-counting benchmarks share: the corpus they write (kinds of file, page-count
// distributions, the writer), its digest, the I/O floor and the timed passes.

#include "support/Fixtures.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using fixtures::FileKind;
using fixtures::Format;
using fixtures::kLockedPassword;

// A kind of the builder's table with its share of a corpus, relative to the other kinds.
struct WeightedKind : FileKind {
    int weight = 1;
};

// The builder's kinds of these names, with their weights.
std::vector<WeightedKind> weightedKinds(std::initializer_list<std::pair<const char*, int>> names);

struct CorpusFile {
    QByteArray nativePath;
    size_t kind = 0;
    bool bigEndian = false;
    int leaves = 0;      // images or page-tree leaves written
    qint32 expected = 0; // the count a reader must give when it opens the file without a password
    qint64 bytes = 0;
};

// The mix of kinds the comparison measures, in the proportions of an office's archive.
const std::vector<WeightedKind>& officeMix();

// A page count drawn with the pages' logarithm uniform over [0, log(maxPages + 1)): as many
// files of 1-9 pages as of 10-99 or of 100-999, so most files are small and a few large.
int drawLogUniform(std::mt19937& rng, int maxPages);

// Writes one file of `kind` with `pages` pages (or images) as `path` with the builder, a TIFF
// 64, 128 or 256 pixels wide; fills `file`. Returns false when writing failed.
bool writeCorpusFile(const QString& path, const FileKind& kind, int pages, bool bigEndian, std::mt19937& rng,
                     CorpusFile& file);

// Writes a corpus into `dir`: each of `kinds` its share of files at `scale`, pages drawn with
// drawLogUniform, in a shuffled order seeded by `seed`; TIFFs of a kind alternate byte order.
// The same arguments give the same files. False when a file could not be written.
bool writeCorpus(const QString& dir, const std::vector<WeightedKind>& kinds, double scale, int maxPdfPages,
                 int maxTiffPages, std::uint32_t seed, std::vector<CorpusFile>& files);

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
    double steal = 0; // share of the machine's processors the host took (steal time) meanwhile
};

// Processor time the host has taken from this virtual machine since boot (the steal time of
// /proc/stat), in seconds: a benchmark's figures mean little while it grows. 0 where unknown.
double stealSeconds();

// Counts through the counting helper built with the benchmarks, unless FOLIMETER_WORKER names
// another. Every program linking this library does so before main; call it where nothing else
// of the library is used.
void useThisBuildsHelper();

using Work = std::function<void(size_t)>;
using AfterPass = std::function<void(const std::vector<size_t>&)>;

// Runs `work` once for each entry of `order`, spread over `threads` threads that take the
// next entry as they become free. Returns the wall time in seconds.
double runPass(const std::vector<size_t>& order, unsigned threads, const Work& work);

// One untimed warm-up pass, then at least `passes` timed ones, more while they add up to less
// than `minimumSeconds` (short passes are noisy); `afterPass` sees the entries after every pass.
Measurement measure(const std::vector<size_t>& order, unsigned threads, int passes, double minimumSeconds,
                    const Work& work, const AfterPass& afterPass);

// Command-line numbers: a factor in (0, 1000] and a count in [min, max].
bool parseScale(const char* text, double& value);
bool parseCount(const char* text, int& value, int min = 1, int max = 1000000);

// One command-line option of a benchmark: its flag, whether a value follows it, and what takes
// the value (null for a flag without one); false for a bad value. `environment`, when given,
// names a variable whose value is taken first, as if given before every argument.
struct Option {
    const char* flag;
    bool hasValue;
    std::function<bool(const char* value)> take;
    const char* environment = nullptr;
};

// --scale X (also FOLIMETER_BENCH_SCALE), --passes N and --threads N (up to 256), the options of
// the benchmarks over a generated corpus.
std::vector<Option> corpusOptions(double& scale, int& passes, unsigned& threads);

// Reads the arguments with `options` (and -h, --help). Returns -1 when the benchmark is to run;
// else the status to exit with, `usage` printed: 0 after --help, 2 after a bad argument.
int parseArguments(int argc, char** argv, const std::vector<Option>& options, const std::string& usage);

double loadAverage();

} // namespace bench
