// folimeter-cli: counts the pages of TIFF and PDF files from the command line, on the same
// core as the window, and prints the list as the window exports it.

#include "cli/CliCounter.h"
#include "cli/CliOptions.h"

#include "BuildInfo.h"

#include <QCoreApplication>

#include <cstdio>
#include <exception>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("folimeter-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FOLIMETER_VERSION));

    const CliParseResult parsed = parseCliArguments(QCoreApplication::arguments());
    if (!parsed.options) {
        std::fprintf(stderr, "folimeter-cli: %s (see --help)\n", parsed.error.toLocal8Bit().constData());
        return 2;
    }
    if (parsed.options->help) {
        std::fputs(cliHelpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parsed.options->version) {
        std::printf("folimeter-cli %s\n", FOLIMETER_VERSION);
        return 0;
    }
    try {
        return runCliCounter(*parsed.options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error in (folimeter-cli) : %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Error in (folimeter-cli) : unknown error\n");
    }
    return 1;
}
