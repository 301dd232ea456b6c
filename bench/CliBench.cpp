// Command-line counter benchmark. Writes the office mix (bench::officeMix, 1,500 TIFFs and 1,500
// PDFs at scale 1) into a temporary folder and times on warm cache, with the same number of
// counting threads, pass after pass in turn so that a change in the machine's load touches all
// three alike:
//   (a) the counting path alone: stat + measurePages of every file, spread over the threads, as
//       a file item measures a file;
//   (b) folimeter-cli --jobs N over the folder, as a user runs it, the list written to a file:
//       wall time from the start of the process to its exit;
//   (c) the same over an import list of the files' paths (--list).
// It prints the medians, files/s and the command line's own cost, (b - a) / b, against its
// target. Every pass is checked: (a) must give each file the count it was written with; the
// command line must list each corpus file once with that count, and its totals line must give
// the corpus's TIFF and PDF sums.
//
// Exit status: 0; 1 when a count or a total is wrong or folimeter-cli failed; 2 on bad usage or
// when the corpus could not be written.

#include "BenchSupport.h"
#include "app/Platform.h"
#include "model/PageCounter.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr std::uint32_t kSeed = 20261207; // the comparison's corpus
constexpr int kMaxPdfPages = 600;
constexpr int kMaxTiffPages = 50;
constexpr double kTargetOwnCost = 0.10;

using bench::CorpusFile;

struct Options {
    double scale = 1.0;
    int passes = 5;
    unsigned threads = 2;
    QByteArray cli = FOLIMETER_CLI_PATH;
    bool keep = false;
};

const char* const kUsage =
    "usage: folimeter_bench_cli [--scale X] [--passes N] [--threads N] [--cli PATH] [--keep]\n"
    "  --scale X    corpus size factor, up to 1000 (default 1 = 1,500 PDFs and 1,500 TIFFs; env "
    "FOLIMETER_BENCH_SCALE)\n"
    "  --passes N   timed passes of each row, the median is shown (default 5)\n"
    "  --threads N  counting threads of every row (folimeter-cli --jobs N; default 2)\n"
    "  --cli PATH   the folimeter-cli to run (default: the one of this build)\n"
    "  --keep       keep the corpus and the list of its paths (for a profiler) and print where\n";

std::vector<bench::Option> optionsOf(Options& o)
{
    std::vector<bench::Option> options = bench::corpusOptions(o.scale, o.passes, o.threads);
    options.push_back({"--keep", false, [&o](const char*) { return o.keep = true; }});
    options.push_back({"--cli", true, [&o](const char* v) {
                           o.cli = v;
                           return true;
                       }});
    return options;
}

double cpuSeconds(const rusage& usage)
{
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// This process's processor time and that of its ended children (the counting helpers).
double ownAndChildrenCpuSeconds()
{
    rusage self{}, children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    return cpuSeconds(self) + cpuSeconds(children);
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// What the corpus must give: each file's count by path, and the TIFF and PDF sums.
struct Expected {
    QHash<QByteArray, qint32> pages;
    qint64 tiff = 0;
    qint64 pdf = 0;
};

// Checks one run's list (TSV on standard output) and totals (standard error) against the
// corpus; empty when they agree, else what is wrong.
std::string checkCliOutput(const QByteArray& list, const QByteArray& log, const Expected& expected)
{
    QList<QByteArray> lines = list.split('\n');
    if (lines.isEmpty() || !lines.first().startsWith("Name\tPages\t"))
        return "no header line";
    lines.removeFirst();
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() != expected.pages.size())
        return "listed " + std::to_string(lines.size()) + " files of " + std::to_string(expected.pages.size());
    QHash<QByteArray, qint32> seen;
    for (const QByteArray& line : lines) {
        // The corpus's names hold no tab or quote: the fields are as written.
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 8)
            return "a line of " + std::to_string(fields.size()) + " fields: " + line.toStdString();
        const QByteArray path = fields[7] + '/' + fields[0];
        bool ok = false;
        const qint32 pages = fields[1].toInt(&ok);
        const auto want = expected.pages.constFind(path);
        if (want == expected.pages.cend() || seen.contains(path))
            return "listed a file not in the corpus, or twice: " + path.toStdString();
        seen.insert(path, pages);
        if (!ok || pages != *want)
            return path.toStdString() + ": counted " + fields[1].toStdString() + ", expected " + std::to_string(*want);
    }
    const QByteArray totals =
        "Total Pages TIFF : " + QByteArray::number(expected.tiff) + " PDF : " + QByteArray::number(expected.pdf);
    if (!log.split('\n').contains(totals))
        return "no line \"" + totals.toStdString() + "\" in its log:\n" + log.right(400).toStdString();
    return {};
}

// One run of the command line with standard output and error in files of `scratch`; the wall
// time from the spawn to the exit, the processor time of the process and its helpers.
Timing runCli(const Options& options, const std::vector<QByteArray>& args, const QByteArray& scratch,
              const Expected& expected, std::string& problem)
{
    const QByteArray out = scratch + "/out.tsv", err = scratch + "/err.txt";
    const QByteArray jobs = QByteArray::number(options.threads);
    std::vector<const char*> argv{options.cli.constData(), "--jobs", jobs.constData()};
    for (const QByteArray& arg : args)
        argv.push_back(arg.constData());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    Timing timing;
    pid_t child = -1;
    const auto start = std::chrono::steady_clock::now();
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (spawned != 0 || ::wait4(child, &status, 0, &usage) != child) {
        problem = "could not run " + options.cli.toStdString();
        return timing;
    }
    timing.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    timing.cpu = cpuSeconds(usage);

    QFile outFile(QFile::decodeName(out)), errFile(QFile::decodeName(err));
    const QByteArray list = outFile.open(QIODevice::ReadOnly) ? outFile.readAll() : QByteArray();
    const QByteArray log = errFile.open(QIODevice::ReadOnly) ? errFile.readAll() : QByteArray();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        problem = "exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
                  ":\n" + log.right(400).toStdString();
    else
        problem = checkCliOutput(list, log, expected);
    return timing;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int status = bench::parseArguments(argc, argv, optionsOf(options), kUsage); status >= 0)
        return status;
    if (::access(options.cli.constData(), X_OK) != 0) {
        std::fprintf(stderr, "no folimeter-cli at %s\n", options.cli.constData());
        return 2;
    }

    QTemporaryDir root;
    root.setAutoRemove(!options.keep);
    const QString corpusDir = root.filePath(QStringLiteral("corpus"));
    if (!root.isValid() || !QDir().mkpath(corpusDir)) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 2;
    }
    std::vector<CorpusFile> files;
    std::printf("Writing the office mix at scale %.2f ...\n", options.scale);
    std::fflush(stdout);
    if (!bench::writeCorpus(corpusDir, bench::officeMix(), options.scale, kMaxPdfPages, kMaxTiffPages, kSeed, files))
        return 2;

    Expected expected;
    QByteArray listText;
    for (const CorpusFile& file : files) {
        expected.pages.insert(file.nativePath, file.expected);
        (bench::officeMix()[file.kind].isPdf() ? expected.pdf : expected.tiff) += file.expected;
        listText += file.nativePath + '\n';
    }
    const QByteArray scratch = QFile::encodeName(root.path());
    const QByteArray listPath = scratch + "/paths.txt";
    QFile listFile(QFile::decodeName(listPath));
    if (!listFile.open(QIODevice::WriteOnly) || listFile.write(listText) != listText.size()) {
        std::fprintf(stderr, "cannot write %s\n", listPath.constData());
        return 2;
    }
    listFile.close();

    std::vector<size_t> all(files.size());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    std::vector<qint32> counts(files.size(), -1);
    const auto countingPath = [&](size_t i) {
        static_cast<void>(platform::allocatedSize(files[i].nativePath));
        counts[i] = measurePages(files[i].nativePath, QString("")).pages;
    };
    std::string problem;
    const auto checkCounts = [&] {
        for (size_t i = 0; i < files.size() && problem.empty(); ++i) {
            if (counts[i] != files[i].expected)
                problem = "counting path: " + files[i].nativePath.toStdString() + ": counted " +
                          std::to_string(counts[i]) + ", expected " + std::to_string(files[i].expected);
        }
        std::fill(counts.begin(), counts.end(), -1);
    };

    const std::vector<QByteArray> folderArgs{QFile::encodeName(corpusDir)};
    const std::vector<QByteArray> listArgs{"--list", listPath};
    std::printf("folimeter-cli: %s\n", options.cli.constData());
    if (options.keep)
        std::printf("Corpus kept in %s, its paths in %s\n", qPrintable(corpusDir), listPath.constData());
    std::printf("Corpus: %zu files (%lld TIFF pages, %lld PDF pages), %u counting thread(s), %u hardware threads\n",
                files.size(), static_cast<long long>(expected.tiff), static_cast<long long>(expected.pdf),
                options.threads, std::max(1u, std::thread::hardware_concurrency()));
    std::printf("Timing: median of %d passes after a warm-up pass, warm page cache, the rows in turn in each pass; "
                "load average %.2f at start\n"
                "        CPU ms: processor time of the row's process and the counting helpers it ended\n\n",
                options.passes, bench::loadAverage());
    std::fflush(stdout);

    std::vector<Timing> path, folder, list;
    const double stealStart = bench::stealSeconds();
    const auto timingStart = std::chrono::steady_clock::now();
    for (int pass = 0; pass <= options.passes && problem.empty(); ++pass) {
        const double cpuStart = ownAndChildrenCpuSeconds();
        const double wall = bench::runPass(all, options.threads, countingPath);
        const Timing a{wall, ownAndChildrenCpuSeconds() - cpuStart};
        checkCounts();
        const Timing b = problem.empty() ? runCli(options, folderArgs, scratch, expected, problem) : Timing{};
        if (!problem.empty()) {
            problem = "folimeter-cli over the folder: " + problem;
            break;
        }
        const Timing c = runCli(options, listArgs, scratch, expected, problem);
        if (!problem.empty()) {
            problem = "folimeter-cli --list: " + problem;
            break;
        }
        if (pass == 0) // warm-up
            continue;
        path.push_back(a);
        folder.push_back(b);
        list.push_back(c);
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }

    const auto wallOf = [](const std::vector<Timing>& timings) {
        std::vector<double> values;
        for (const Timing& t : timings)
            values.push_back(t.wall);
        return median(values);
    };
    const auto cpuOf = [](const std::vector<Timing>& timings) {
        std::vector<double> values;
        for (const Timing& t : timings)
            values.push_back(t.cpu);
        return median(values);
    };
    const double a = wallOf(path);
    std::printf("%-44s %10s %10s %10s %10s\n", "Row", "Median ms", "Files/s", "CPU ms", "Own cost");
    std::printf("%s\n", std::string(88, '-').c_str());
    std::printf("%-44s %10.1f %10.0f %10.1f %10s\n", "(a) counting path (stat + measurePages)", a * 1e3,
                double(files.size()) / a, cpuOf(path) * 1e3, "-");
    bool met = true;
    const auto row = [&](const char* name, const std::vector<Timing>& timings) {
        const double b = wallOf(timings);
        const double own = (b - a) / b;
        met = met && own <= kTargetOwnCost;
        std::printf("%-44s %10.1f %10.0f %10.1f %9.1f%%\n", name, b * 1e3, double(files.size()) / b,
                    cpuOf(timings) * 1e3, own * 100);
        return own;
    };
    const double ownFolder = row("(b) folimeter-cli --jobs N FOLDER", folder);
    const double ownList = row("(c) folimeter-cli --jobs N --list FILE", list);
    std::printf("\nTarget: the command line's own cost (b - a) / b <= %.0f%%: folder %.1f%%, list %.1f%%  %s\n",
                kTargetOwnCost * 100, ownFolder * 100, ownList * 100, met ? "met" : "MISSED");
    const double timed = std::chrono::duration<double>(std::chrono::steady_clock::now() - timingStart).count();
    std::printf("Every count and total correct in every pass: yes (load average %.2f at the end; the host took %.0f%% "
                "of the processors meanwhile, steal time)\n",
                bench::loadAverage(),
                (bench::stealSeconds() - stealStart) * 100 /
                    (timed * std::max(1u, std::thread::hardware_concurrency())));
    return 0;
}
