// Hostile-file benchmark. Writes PDFs built to make a page-tree reader work far more than their
// size suggests (a large page listed a thousand times, a stream named by a hundred tables, a
// decompression bomb, a very deep tree) and counts each with folimeter-cli, as a user would:
// one process per file, timed from outside. Prints per file the count and log line, wall
// time, processor time and peak RSS of the program, beside the count qpdf's page walk gives
// when it runs without the program's bounds (in a process of its own, limited to 4 GB and
// 120 s). The targets: each file ends within 2.5 s and 300 MB, and counts what qpdf's walk
// gives, or 0 with one log line.
//
// Exit status: 0 when every target is met, 3 when one is missed, 2 on bad usage or a failure
// to write or run.

#include "support/Fixtures.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <qpdf/QPDF.hh>

#include <zlib.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kMaxWallSeconds = 2.5;
constexpr double kMaxRssMiB = 300;

struct Case {
    const char* name;
    std::function<QByteArray()> bytes;
    // What qpdf counts instead, when the file itself takes qpdf past 4 GB: the same tree with a
    // small page, which qpdf's walk copies as cheaply.
    std::function<QByteArray()> forQpdf = {};
    // The file's size past its bytes, a hole; qpdf's count is then not taken, which reads the
    // hole as it finds it, but a count of 0 is expected.
    qint64 sparseBytes = 0;
};

QByteArray deepTree(int depth)
{
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>"};
    for (int level = 0; level < depth; ++level)
        objects << "<< /Type /Pages /Kids [" + QByteArray::number(level + 3) + " 0 R] /Count 1 >>";
    objects << "<< /Type /Page >>";
    return fixtures::pdfFromObjects(objects);
}

// One page whose catalog lies in an object stream that decodes to `decodedBytes` bytes (the
// catalog, then zeros), with a cross-reference stream.
QByteArray pdfWithLargeObjectStream(qint64 decodedBytes)
{
    const QByteArray head = "1 0 << /Type /Catalog /Pages 2 0 R >>"; // the pair, then the catalog at /First 4
    QByteArray data;
    z_stream z{};
    deflateInit(&z, Z_BEST_COMPRESSION);
    const QByteArray zeros(1 << 20, '\0');
    char out[1 << 16];
    for (qint64 left = decodedBytes;;) {
        const QByteArray& in = left == decodedBytes ? head : zeros;
        const qint64 take = std::min<qint64>(in.size(), left);
        left -= take;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
        z.avail_in = uInt(take);
        const int flush = left > 0 ? Z_NO_FLUSH : Z_FINISH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(out);
            z.avail_out = sizeof out;
            deflate(&z, flush);
            data.append(out, qsizetype(sizeof out - z.avail_out));
        } while (z.avail_out == 0 || (flush == Z_FINISH && z.avail_in > 0));
        if (left == 0)
            break;
    }
    deflateEnd(&z);
    QByteArray pdf = "%PDF-1.7\n";
    QList<qsizetype> offsets{0};
    const QList<QByteArray> objects = {"<< /Type /Pages /Kids [3 0 R] /Count 1 >>", "<< /Type /Page /Parent 2 0 R >>",
                                       "<< /Type /ObjStm /N 1 /First 4 /Filter /FlateDecode /Length " +
                                           QByteArray::number(data.size()) + " >>\nstream\n" + data + "\nendstream"};
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 2) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    offsets << pdf.size();
    QByteArray rows("\0\0\0\0\0\x02\0\0\x04\0", 10); // 0 free; 1 first in object stream 4
    for (qsizetype i = 1; i < offsets.size(); ++i) {
        const auto at = quint32(offsets[i]);
        rows += char(1);
        rows += char(at >> 16);
        rows += char(at >> 8);
        rows += char(at);
        rows += char(0);
    }
    pdf += "5 0 obj\n<< /Type /XRef /Size 6 /W [1 3 1] /Root 1 0 R /Length 30 >>\nstream\n" + rows +
           "\nendstream\nendobj\n";
    return pdf + "startxref\n" + QByteArray::number(offsets.last()) + "\n%%EOF\n";
}

// A balanced tree of `pages` pages whose startxref points past the end: the table is rebuilt.
QByteArray brokenStartxref(int pages)
{
    QTemporaryDir dir;
    std::mt19937 rng(pages);
    const QString path = dir.filePath("f.pdf");
    fixtures::writeFileOfKind(path, fixtures::fileKind("PDF damaged: startxref"), pages, rng);
    return fixtures::readBytes(path);
}

const std::vector<Case>& cases()
{
    static const std::vector<Case> all = {
        {"large page x1023, 700 KB", [] { return fixtures::pdfWithRepeatedLargePage(700 * 1000, 1023); },
         [] { return fixtures::pdfWithRepeatedLargePage(10, 1023); }},
        {"large page x1023, 15 MB", [] { return fixtures::pdfWithRepeatedLargePage(15 * 1000 * 1000, 1023); },
         [] { return fixtures::pdfWithRepeatedLargePage(10, 1023); }},
        {"100 tables, one /XRefStm, 909 KB", [] { return fixtures::pdfWithSharedXRefStm(100, 900 * 1000); }},
        {"4 tables, one /XRefStm, 16 MB", [] { return fixtures::pdfWithSharedXRefStm(4, 16 * 1000 * 1000); }},
        {"object stream of 400 MB", [] { return pdfWithLargeObjectStream(400LL * 1024 * 1024); }},
        {"page tree 200,000 deep", [] { return deepTree(200000); }},
        {"100,000 pages, startxref broken", [] { return brokenStartxref(100000); }},
        {"10 MB of unclosed strings", [] { return "%PDF-1.4\n" + QByteArray("1 0 obj (\n").repeated(1000000); }},
        {"2 GB, a hole past 109 bytes", [] { return "%PDF-1.4\n" + QByteArray(100, 'A'); }, {}, qint64(2) << 30},
    };
    return all;
}

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// qpdf's page walk of the file, unbounded but for the process limits: the count, or why it failed.
std::string qpdfReference(const QByteArray& path)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return "no pipe";
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const rlimit memory{4ULL << 30, 4ULL << 30};
        const rlimit cpu{120, 120};
        ::setrlimit(RLIMIT_AS, &memory);
        ::setrlimit(RLIMIT_CPU, &cpu);
        std::string out;
        try {
            QPDF pdf;
            pdf.setSuppressWarnings(true);
            pdf.processFile(path.constData());
            out = std::to_string(pdf.getAllPages().size());
        } catch (const std::exception& e) {
            out = std::string("fails: ") + e.what();
        }
        [[maybe_unused]] const ssize_t n = ::write(fds[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (out.empty())
        return WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "no answer";
    return out.substr(0, 60);
}

struct Run {
    double wall = 0;
    double cpu = 0;
    double rssMiB = 0;
    QString pages;
    QStringList log;
    bool ok = false;
};

// folimeter-cli over the one file: its page column, its log lines, and what it cost.
Run runCli(const QByteArray& cli, const QByteArray& path, const QByteArray& scratch)
{
    Run run;
    const QByteArray out = scratch + "/out.txt", err = scratch + "/err.txt";
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        if (!std::freopen(out.constData(), "w", stdout) || !std::freopen(err.constData(), "w", stderr))
            ::_exit(127);
        ::execl(cli.constData(), cli.constData(), "--jobs", "1", path.constData(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child)
        return run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.rssMiB = double(usage.ru_maxrss) / 1024.0;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) <= 1;
    QFile o(QString::fromLocal8Bit(out)), e(QString::fromLocal8Bit(err));
    if (o.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = o.readAll().split('\n');
        if (lines.size() > 1)
            run.pages = QString::fromUtf8(lines[1].split('\t').value(1));
    }
    if (e.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : e.readAll().split('\n'))
            if (line.startsWith("Error in"))
                run.log << QString::fromUtf8(line.mid(line.indexOf(path) + path.size() + 2));
    }
    return run;
}

int usage()
{
    std::fprintf(stderr, "usage: folimeter_bench_hostile --cli PATH [--runs N] [--write DIR]\n"
                         "  --cli PATH   the folimeter-cli to run (scripts/bench-hostile.sh passes the release one)\n"
                         "  --runs N     runs per file, the slowest is shown (default 3)\n"
                         "  --write DIR  only write the files into DIR and stop\n");
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QByteArray cli, writeDir;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--cli" && i + 1 < argc)
            cli = argv[++i];
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--write" && i + 1 < argc)
            writeDir = argv[++i];
        else
            return usage();
    }
    if (cli.isEmpty() && writeDir.isEmpty())
        return usage();
    QTemporaryDir temporary;
    const QByteArray dir = writeDir.isEmpty() ? QFile::encodeName(temporary.path()) : writeDir;
    std::vector<QByteArray> paths;
    for (size_t i = 0; i < cases().size(); ++i) {
        const QByteArray path = dir + "/hostile-" + QByteArray::number(qulonglong(i + 1)) + ".pdf";
        if (!fixtures::writeBytes(QFile::decodeName(path), cases()[i].bytes()) ||
            (cases()[i].sparseBytes && !QFile::resize(QFile::decodeName(path), cases()[i].sparseBytes))) {
            std::fprintf(stderr, "cannot write %s\n", path.constData());
            return 2;
        }
        paths.push_back(path);
    }
    if (!writeDir.isEmpty()) {
        for (size_t i = 0; i < paths.size(); ++i)
            std::printf("%s\t%s\n", paths[i].constData(), cases()[i].name);
        return 0;
    }

    std::printf(
        "folimeter-cli --jobs 1 FILE, %d runs per file (the slowest shown); targets %.1f s wall, %.0f MiB RSS\n\n",
        runs, kMaxWallSeconds, kMaxRssMiB);
    std::printf("%-34s %6s %-24s %6s %7s %7s %8s  %s\n", "File", "MB", "qpdf's walk", "Count", "Wall s", "CPU s",
                "RSS MiB", "Log");
    bool met = true;
    for (size_t i = 0; i < paths.size(); ++i) {
        const double megabytes = double(QFile(QFile::decodeName(paths[i])).size()) / 1e6;
        std::string reference = cases()[i].sparseBytes ? "0 (not run)" : qpdfReference(paths[i]);
        if (cases()[i].forQpdf) {
            const QByteArray small = dir + "/small.pdf";
            if (!fixtures::writeBytes(QFile::decodeName(small), cases()[i].forQpdf()))
                return 2;
            reference = qpdfReference(small) + "*";
        }
        Run worst;
        for (int r = 0; r < runs; ++r) {
            const Run run = runCli(cli, paths[i], dir);
            if (!run.ok) {
                std::fprintf(stderr, "folimeter-cli did not run on %s\n", paths[i].constData());
                return 2;
            }
            if (r == 0 || run.wall > worst.wall)
                worst = run;
            worst.rssMiB = std::max(worst.rssMiB, run.rssMiB);
        }
        // No pages where qpdf finds none: a file it cannot read, or a sparse one.
        const bool none = (reference.rfind("fails", 0) == 0 || cases()[i].sparseBytes) && worst.pages == "0";
        const bool counted =
            (worst.pages.toStdString() + (cases()[i].forQpdf ? "*" : "") == reference || none) && worst.log.isEmpty();
        const bool stopped = worst.pages == QStringLiteral("0") && worst.log.size() == 1;
        const bool within = worst.wall <= kMaxWallSeconds && worst.rssMiB <= kMaxRssMiB;
        met = met && within && (counted || stopped);
        std::printf("%-34s %6.1f %-24s %6s %7.2f %7.2f %8.1f  %s%s\n", cases()[i].name, megabytes,
                    reference.substr(0, 24).c_str(), worst.pages.toLocal8Bit().constData(), worst.wall, worst.cpu,
                    worst.rssMiB, worst.log.isEmpty() ? "-" : worst.log.join(" | ").toLocal8Bit().constData(),
                    within && (counted || stopped) ? "" : "  MISSED");
    }
    std::printf("\n* qpdf's walk copies the page for each listing and runs out of 4 GB on the file itself: the\n"
                "  count is that of the same tree over a small page\n");
    std::printf("\nResult: %s\n", met ? "every target met" : "a target was missed");
    return met ? 0 : 3;
}
