// The program's PDF count beside MuPDF's, poppler's and qpdf's, file by file, for any set of
// files (a test suite, a fuzz corpus, a user's archive). Paths come as arguments or, with
// --list FILE, one a line. Every file is read as a PDF whatever its name. qpdf counts in the
// counting helper, so that a file it crashes on cannot end the sweep; MuPDF and poppler run in
// this process.
//
// Each line: the path, then the four counts (MuPDF and poppler -1 where they cannot open the file
// or it stays locked; the program and qpdf 0 then). The summary sorts the files by how the program stands to the
// viewers:
//   agrees      the program gives MuPDF's or poppler's count, or 0 where neither counts;
//   zero        a viewer counts pages, the program 0;
//   differs     a viewer counts pages, the program another number;
//   own count   no viewer counts a page, the program does (qpdf agreeing or not).
// MuPDF and poppler read the root's /Count, the program counts leaves: where the two differ
// (a wrong /Count, no /Count) so do the counts, and that is the program's rule.
//
// Exit status: 0; 1 when the counting helper could not be started; 2 on bad usage or when MuPDF
// or poppler is not built in.

#include "BenchSupport.h"
#include "model/CountingWorker.h"
#include "model/PageCounter.h"
#include "support/MuPdfCount.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::string classOf(int program, int mupdf, int poppler, int qpdf)
{
    const bool viewer = mupdf > 0 || poppler > 0;
    if (program == mupdf && mupdf > 0)
        return "agrees";
    if (program == poppler && poppler > 0)
        return "agrees";
    if (!viewer)
        return program == 0 ? "agrees" : program == qpdf ? "own count, qpdf agrees" : "own count";
    return program == 0 ? "zero" : "differs";
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<QByteArray> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list") == 0 && i + 1 < argc) {
            QFile list(QFile::decodeName(argv[++i]));
            if (!list.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", argv[i]);
                return 2;
            }
            for (const QByteArray& line : list.readAll().split('\n'))
                if (!line.isEmpty())
                    paths.push_back(line);
        } else if (argv[i][0] == '-') {
            std::fprintf(stderr, "usage: %s [--list FILE] [PDF...]\n", argv[0]);
            return 2;
        } else {
            paths.emplace_back(argv[i]);
        }
    }
    if (!fixtures::mupdfBuiltIn() || !fixtures::popplerBuiltIn()) {
        std::fprintf(stderr, "built without MuPDF or poppler: %s\n", fixtures::referenceReaders().constData());
        return 2;
    }
    bench::useThisBuildsHelper();
    std::map<std::string, int> classes;
    for (const QByteArray& path : paths) {
        const int program = pagecount::pdfPageCount(path, QString());
        const int mupdf = fixtures::mupdfCount(path), poppler = fixtures::popplerCount(path);
        const int qpdf = pagecount::qpdfPageCount(path, QString());
        const std::string c = classOf(program, mupdf, poppler, qpdf);
        ++classes[c];
        std::printf("%s\tprogram %d\tMuPDF %d\tpoppler %d\tqpdf %d\t%s\n", path.constData(), program, mupdf, poppler,
                    qpdf, c.c_str());
    }
    std::printf("\n%zu files (%s):", paths.size(), fixtures::referenceReaders().constData());
    for (const auto& [name, count] : classes)
        std::printf(" %s %d;", name.c_str(), count);
    std::printf("\n");
    if (CountingWorker::startFailures() > 0) {
        std::fprintf(stderr,
                     "the counting helper %s could not be started: qpdf's counts and the program's "
                     "where it needs qpdf are 0\n",
                     CountingWorker::programPath().constData());
        return 1;
    }
    return 0;
}
