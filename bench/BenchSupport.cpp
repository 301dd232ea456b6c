#include "BenchSupport.h"

#include "model/CountingWorker.h"
#include "support/SeededRandomData.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
#include <thread>

namespace bench {

void useThisBuildsHelper()
{
    if (!std::getenv("FOLIMETER_WORKER"))
        CountingWorker::setProgramPath(FOLIMETER_WORKER_PATH);
}

namespace {

[[maybe_unused]] const bool g_workerFound = [] {
    useThisBuildsHelper();
    return true;
}();

constexpr size_t kEdgeBytes = 4096;
constexpr int kMaximumPasses = 1000;

double processCpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

} // namespace

int drawLogUniform(std::mt19937& rng, int maxPages)
{
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    return std::clamp(int(std::exp(u * std::log(double(maxPages) + 1.0))), 1, std::max(1, maxPages));
}

QString corpusFileName(int index, const FileKind& kind, bool bigEndian)
{
    QString name = QString::asprintf("%04d-", index) + QString::fromLatin1(kind.name).toLower();
    name.replace(QLatin1String(", "), QLatin1String("-")).replace(' ', '-').remove('.').remove('/');
    if (kind.isPdf())
        return name + QLatin1String(".pdf");
    name += bigEndian ? QLatin1String("-be") : QLatin1String("-le");
    return name + (kind.bigTiff ? QLatin1String(".tiff") : QLatin1String(".tif"));
}

std::vector<WeightedKind> weightedKinds(std::initializer_list<std::pair<const char*, int>> names)
{
    std::vector<WeightedKind> kinds;
    for (const auto& [name, weight] : names) {
        WeightedKind kind{fixtures::fileKind(name)};
        kind.weight = weight;
        kinds.push_back(kind);
    }
    return kinds;
}

// The office mix, in files at scale 1: 1,500 TIFFs and 1,500 PDFs. The PDFs are mostly office
// documents (a classic table among large content streams, some linearized, some updated),
// scans through tiff2pdf and files with object streams; a few encrypted (41 with AES-256),
// 30 damaged, and some with odd page trees.
const std::vector<WeightedKind>& officeMix()
{
    static const std::vector<WeightedKind> kinds = weightedKinds({
        {"TIFF none", 140},
        {"TIFF LZW", 140},
        {"TIFF Deflate", 140},
        {"TIFF PackBits", 140},
        {"TIFF CCITT G3", 140},
        {"TIFF CCITT G4", 140},
        {"TIFF JPEG", 140},
        {"TIFF ZSTD", 140},
        {"TIFF LZMA", 140},
        {"BigTIFF none", 60},
        {"BigTIFF LZW", 60},
        {"BigTIFF Deflate", 60},
        {"BigTIFF CCITT G4", 60},
        {"PDF office", 525},
        {"PDF office, linearized", 150},
        {"PDF office, incremental", 90},
        {"PDF tiff2pdf", 75},
        {"PDF xref+obj. streams", 250},
        {"PDF linearized, obj. str.", 80},
        {"PDF balanced tree", 4},
        {"PDF RC4-128", 25},
        {"PDF AES-128", 25},
        {"PDF locked RC4-128", 5},
        {"PDF AES-256", 15},
        {"PDF AES-256, obj. streams", 10},
        {"PDF locked AES-256", 8},
        {"PDF locked AES-256, obj. str.", 3},
        {"PDF wrong /Count, AES-256", 3},
        {"PDF no /Count, AES-256 obj. str.", 2},
        {"PDF damaged: xref offsets", 6},
        {"PDF damaged: startxref", 6},
        {"PDF damaged: startxref, AES-256 obj. str.", 1},
        {"PDF damaged: truncated", 9},
        {"PDF damaged: no trailer", 1},
        {"PDF damaged: trailer without <<", 1},
        {"PDF damaged: trailer without /Root", 1},
        {"PDF damaged: xref stream, obj. str.", 1},
        {"PDF damaged: startxref in object", 4},
        {"PDF wrong /Count at root", 50},
        {"PDF wrong /Count inner", 30},
        {"PDF no /Count at root", 30},
        {"PDF no /Count inner", 30},
        {"PDF wrong /Count, obj. str.", 20},
        {"PDF kid listed twice", 40},
    });
    return kinds;
}

bool writeCorpusFile(const QString& path, const FileKind& kind, int pages, bool bigEndian, std::mt19937& rng,
                     CorpusFile& file)
{
    file.nativePath = QFile::encodeName(path);
    file.bigEndian = bigEndian && !kind.isPdf();
    const int width = kind.isPdf() ? 64 : 64 << (rng() % 3);
    const fixtures::WrittenFile written = fixtures::writeFileOfKind(path, kind, pages, rng, bigEndian, width);
    file.leaves = written.leaves;
    file.expected = written.expected;
    file.bytes = QFileInfo(path).size();
    return written.leaves >= 0;
}

bool writeCorpus(const QString& dir, const std::vector<WeightedKind>& kinds, double scale, int maxPdfPages,
                 int maxTiffPages, std::uint32_t seed, std::vector<CorpusFile>& files)
{
    std::mt19937 rng(seed);
    std::vector<size_t> order;
    for (size_t k = 0; k < kinds.size(); ++k) {
        const int n = std::max(1, int(std::lround(kinds[k].weight * scale)));
        order.insert(order.end(), size_t(n), k);
    }
    std::shuffle(order.begin(), order.end(), rng);
    fixtures::SeededRandomData randomData(seed);
    QUtil::setRandomDataProvider(&randomData);
    std::vector<int> seenOfKind(kinds.size(), 0);
    bool ok = true;
    for (size_t i = 0; i < order.size() && ok; ++i) {
        const FileKind& kind = kinds[order[i]];
        const bool bigEndian = seenOfKind[order[i]]++ % 2 == 1;
        const int pages = drawLogUniform(rng, kind.isPdf() ? maxPdfPages : maxTiffPages);
        const QString path = QDir(dir).filePath(corpusFileName(int(i), kind, bigEndian));
        CorpusFile file;
        file.kind = order[i];
        ok = writeCorpusFile(path, kind, pages, bigEndian, rng, file);
        if (!ok)
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        files.push_back(std::move(file));
    }
    QUtil::setRandomDataProvider(nullptr);
    return ok;
}

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

qint64 touchFile(const QByteArray& nativePath)
{
    struct stat st {};
    if (::stat(nativePath.constData(), &st) != 0)
        return -1;
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buffer[kEdgeBytes];
    const ssize_t head = ::pread(fd, buffer, sizeof buffer, 0);
    const off_t tailOffset = st.st_size > off_t(kEdgeBytes) ? st.st_size - off_t(kEdgeBytes) : 0;
    const ssize_t tail = ::pread(fd, buffer, sizeof buffer, tailOffset);
    ::close(fd);
    return std::max<ssize_t>(head, 0) + std::max<ssize_t>(tail, 0);
}

double runPass(const std::vector<size_t>& order, unsigned threads, const Work& work)
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

Measurement measure(const std::vector<size_t>& order, unsigned threads, int passes, double minimumSeconds,
                    const Work& work, const AfterPass& afterPass)
{
    runPass(order, threads, work);
    afterPass(order);
    std::vector<double> times;
    double cpu = 0, wall = 0;
    const double stealStart = stealSeconds();
    for (int p = 0; p < passes || (wall < minimumSeconds && p < kMaximumPasses); ++p) {
        const double cpuStart = processCpuSeconds();
        times.push_back(runPass(order, threads, work));
        cpu += processCpuSeconds() - cpuStart;
        wall += times.back();
        afterPass(order);
    }
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    const double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    const double processors = std::max(1u, std::thread::hardware_concurrency());
    return {median, times.front(), wall > 0 ? cpu / wall : 0, int(n),
            wall > 0 ? (stealSeconds() - stealStart) / (wall * processors) : 0};
}

bool parseScale(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(value) && value > 0 && value <= 1000;
}

bool parseCount(const char* text, int& value, int min, int max)
{
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < min || parsed > max)
        return false;
    value = int(parsed);
    return true;
}

std::vector<Option> corpusOptions(double& scale, int& passes, unsigned& threads)
{
    return {
        {"--scale", true, [&scale](const char* v) { return parseScale(v, scale); }, "FOLIMETER_BENCH_SCALE"},
        {"--passes", true, [&passes](const char* v) { return parseCount(v, passes); }},
        {"--threads", true,
         [&threads](const char* v) {
             int n = 0;
             const bool ok = parseCount(v, n, 1, 256);
             threads = ok ? unsigned(n) : threads;
             return ok;
         }},
    };
}

int parseArguments(int argc, char** argv, const std::vector<Option>& options, const std::string& usage)
{
    const auto bad = [&](const std::string& what) {
        std::fprintf(stderr, "bad argument: %s\n%s", what.c_str(), usage.c_str());
        return 2;
    };
    for (const Option& option : options) {
        const char* value = option.environment ? std::getenv(option.environment) : nullptr;
        if (value && *value && !option.take(value))
            return bad(std::string(option.environment) + "=" + value);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage.c_str(), stdout);
            return 0;
        }
        const auto option =
            std::find_if(options.begin(), options.end(), [&](const Option& o) { return arg == o.flag; });
        if (option == options.end())
            return bad(arg);
        const char* value = option->hasValue ? (i + 1 < argc ? argv[++i] : nullptr) : nullptr;
        if ((option->hasValue && !value) || !option->take(value))
            return bad(arg + (value ? std::string(" ") + value : std::string()));
    }
    return -1;
}

double stealSeconds()
{
    // "cpu  user nice system idle iowait irq softirq steal ...", in clock ticks.
    std::FILE* stat = std::fopen("/proc/stat", "re");
    if (!stat)
        return 0;
    unsigned long long ticks[8] = {};
    const int read = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &ticks[0], &ticks[1], &ticks[2],
                                 &ticks[3], &ticks[4], &ticks[5], &ticks[6], &ticks[7]);
    std::fclose(stat);
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    return read == 8 && perSecond > 0 ? double(ticks[7]) / double(perSecond) : 0;
}

double loadAverage()
{
    double load[1] = {0};
    return ::getloadavg(load, 1) == 1 ? load[0] : 0;
}

} // namespace bench
