// folimeter-cli: counts the pages of TIFF and PDF files from the command line, on the same
// core as the window, and prints the list as the window exports it.

#include "cli/CliCounter.h"
#include "cli/CliOptions.h"

#include "app/SurrogateEscape.h"

#include "BuildInfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <exception>

namespace {

// Standard input, output or error closed by the caller: each such number is held by /dev/null,
// so that no file this program opens takes it (the list meant for standard output would go
// into a file being counted, or into one of Qt's own descriptors). Answers whether standard
// output was closed.
bool holdClosedStandardStreams()
{
    bool outputClosed = false;
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        outputClosed = outputClosed || fd == STDOUT_FILENO;
        // The lowest free number is this one: the lower ones are open.
        ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
    return outputClosed;
}

} // namespace

int main(int argc, char* argv[])
{
    const bool standardOutputClosed = holdClosedStandardStreams();
    // The arguments' bytes as given: Qt's decoding would replace a name that is not UTF-8, and
    // the file would no longer be found.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << decodeSurrogateEscape(argv[i]);
    // No QCoreApplication: nothing here needs its event loop, and making one costs more than a
    // millisecond of every run. The user's locale is taken as it would have taken it (system
    // error messages in the user's language).
    std::setlocale(LC_ALL, "");

    const CliParseResult parsed = parseCliArguments(arguments);
    if (!parsed.options) {
        std::fprintf(stderr, "folimeter-cli: %s (see --help)\n", encodeSurrogateEscape(parsed.error).constData());
        return 2;
    }
    if (parsed.options->help) {
        std::fputs(cliHelpText().toUtf8().constData(), stdout);
        return 0;
    }
    if (parsed.options->version) {
        std::printf("folimeter-cli %s\n", FOLIMETER_VERSION);
        return 0;
    }
    try {
        return runCliCounter(*parsed.options, standardOutputClosed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Error in (folimeter-cli) : %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Error in (folimeter-cli) : unknown error\n");
    }
    return 1;
}
