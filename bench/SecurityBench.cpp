// Password-check benchmark. Writes AES-256 (revision 6) and AES-128 PDFs with qpdf, then
// times, in processor time, the security module's password check and file-key derivation,
// and qpdf opening the same files.
// Every check's result is verified; a wrong one makes the exit status 1.

#include "model/PdfSecurity.h"
#include "support/Fixtures.h"
#include "support/QpdfEncryption.h"

#include <QFile>
#include <QTemporaryDir>

#include <qpdf/QPDF.hh>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <time.h>

namespace {

int g_failures = 0;

double threadCpuMilliseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Mean milliseconds of processor time per call of `body` over `rounds` calls: the machine is
// shared, and wall time would count the other processes' turns.
double millisecondsPerCall(int rounds, const std::function<bool()>& body)
{
    const double start = threadCpuMilliseconds();
    for (int i = 0; i < rounds; ++i) {
        if (!body())
            ++g_failures;
    }
    return (threadCpuMilliseconds() - start) / rounds;
}

bool qpdfOpens(const std::string& path)
{
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.processFile(path.c_str(), "");
    return pdf.getAllPages().size() == 1;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    QTemporaryDir dir;
    const struct {
        const char* name;
        fixtures::PdfEncryption encryption;
    } kinds[] = {{"AES-256 R6", fixtures::PdfEncryption::Aes256}, {"AES-128 R4", fixtures::PdfEncryption::Aes128}};

    std::string paths[2];
    std::printf("%-12s %14s %14s %14s %16s\n", "file", "check empty", "check wrong", "key (empty)", "qpdf open");
    for (int k = 0; k < 2; ++k) {
        paths[k] = QFile::encodeName(dir.filePath(QString::number(k) + ".pdf")).toStdString();
        if (!fixtures::writePdf(QString::fromStdString(paths[k]), {.encryption = kinds[k].encryption}))
            return 2;
        QPDF pdf;
        pdf.processFile(paths[k].c_str());
        const pdfsecurity::Encryption e = fixtures::encryptionOf(pdf);
        const QByteArray expectedKey = fixtures::qpdfBytes(pdf.getEncryptionKey());

        const double opens = millisecondsPerCall(rounds, [&] { return pdfsecurity::passwordOpens(e, ""); });
        const double wrong = millisecondsPerCall(rounds, [&] { return !pdfsecurity::passwordOpens(e, "wrong"); });
        const double key = millisecondsPerCall(rounds, [&] { return pdfsecurity::fileKey(e, "") == expectedKey; });
        const double open = millisecondsPerCall(rounds, [&] { return qpdfOpens(paths[k]); });
        std::printf("%-12s %11.3f ms %11.3f ms %11.3f ms %13.3f ms\n", kinds[k].name, opens, wrong, key, open);
    }
    if (g_failures)
        std::printf("%d wrong results\n", g_failures);
    return g_failures ? 1 : 0;
}
