#include "cli/CliOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {
constexpr int kMaxJobs = 256;
}

CliParseResult parseCliArguments(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption help({"h", "help"}, {});
    const QCommandLineOption version({"V", "version"}, {});
    const QCommandLineOption noSubfolders("no-subfolders", {});
    const QCommandLineOption list({"l", "list"}, {}, "FILE");
    const QCommandLineOption jobs({"j", "jobs"}, {}, "N");
    const QCommandLineOption output({"o", "output"}, {}, "FILE");
    const QCommandLineOption format("format", {}, "FORMAT");
    parser.addOptions({help, version, noSubfolders, list, jobs, output, format});

    CliParseResult result;
    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    CliOptions options;
    options.help = parser.isSet(help);
    options.version = parser.isSet(version);
    if (options.help || options.version) {
        result.options = options;
        return result;
    }
    options.includeSubfolders = !parser.isSet(noSubfolders);
    options.lists = parser.values(list);
    options.paths = parser.positionalArguments();
    if (parser.isSet(jobs)) {
        const QStringList values = parser.values(jobs);
        bool ok = false;
        const int n = values.last().toInt(&ok);
        if (!ok || n < 1 || n > kMaxJobs) {
            result.error =
                QStringLiteral("--jobs needs a whole number from 1 to %1, not '%2'.").arg(kMaxJobs).arg(values.last());
            return result;
        }
        options.jobs = n;
    }
    if (parser.isSet(output)) {
        const QStringList values = parser.values(output);
        if (values.size() > 1) {
            result.error = QStringLiteral("--output may be given only once.");
            return result;
        }
        options.output = values.first();
        if (options.output.isEmpty()) {
            result.error = QStringLiteral("--output needs a file name.");
            return result;
        }
    }
    if (parser.isSet(format)) {
        const QString name = parser.values(format).last();
        const QStringList names = {QStringLiteral("tsv"), QStringLiteral("csv"), QStringLiteral("json")};
        if (!names.contains(name)) {
            result.error = QStringLiteral("--format needs tsv, csv or json, not '%1'.").arg(name);
            return result;
        }
        options.format = exporter::Format(names.indexOf(name));
    }
    if (options.lists.contains(QString())) {
        result.error = QStringLiteral("--list needs a file name, or - for standard input.");
        return result;
    }
    if (options.lists.count(QStringLiteral("-")) > 1) {
        result.error = QStringLiteral("Standard input can be read as a list only once.");
        return result;
    }
    if (options.paths.contains(QString())) {
        result.error = QStringLiteral("An empty path was given.");
        return result;
    }
    if (options.paths.isEmpty() && options.lists.isEmpty()) {
        result.error = QStringLiteral("No path given: name files or folders, or a list with --list.");
        return result;
    }
    result.options = options;
    return result;
}

QString cliHelpText()
{
    return QStringLiteral(
        "Usage: folimeter-cli [options] PATH...\n"
        "Counts the pages of the TIFF and PDF files among PATHs and in the folders among them,\n"
        "and prints the list: by default as tab-delimited text, as the Folimeter window\n"
        "exports it.\n"
        "\n"
        "Options:\n"
        "  --no-subfolders   scan only the files directly inside each folder\n"
        "  -l, --list FILE   also add the paths listed in FILE, one per line (- reads standard\n"
        "                    input); lines are taken as the Import List dialog takes them\n"
        "  -j, --jobs N      count pages on N threads (default: one per processor)\n"
        "  -o, --output FILE write the list to FILE, replacing it in one step, instead of to\n"
        "                    standard output\n"
        "  --format FORMAT   tsv (the default): the window's export, a header line, then one\n"
        "                    line per file with name, pages, size, type, modified, accessed\n"
        "                    and created dates (UTC) and folder, separated by tabs;\n"
        "                    csv: the same as RFC 4180 comma-separated values (CR LF ends);\n"
        "                    json: {\"files\": [{\"name\", \"path\", \"pages\", \"bytes\", \"type\",\n"
        "                    \"modified\", \"accessed\", \"created\", \"locked\"}], \"totals\":\n"
        "                    {\"files\", \"tiffPages\", \"pdfPages\"}}, dates in ISO 8601 UTC\n"
        "  -h, --help        show this help and exit\n"
        "  -V, --version     show the version and exit\n"
        "\n"
        "Folders are scanned with hidden entries skipped and symbolic links to folders not\n"
        "followed; files are accepted by the extensions tif, TIF, tiff, TIFF, pdf and PDF, and a\n"
        "file named with another is skipped with a message.\n"
        "The two totals lines go to standard error at the end.\n"
        "\n"
        "Names that are not valid UTF-8 are written without loss: in tsv and csv as their\n"
        "bytes, as ls and find print them; in json each byte that is not UTF-8 as the escape\n"
        "\\udcXX (XX the byte in hex), which Python reads back with json.loads and\n"
        "str.encode('utf-8', 'surrogateescape').\n"
        "\n"
        "Exit status: 0 all went well; 1 some path could not be read (the rest is still\n"
        "reported) or the list could not be written; 2 bad usage.\n");
}
