// Drives the real folimeter-cli binary over trees made at test time.

#include "app/SurrogateEscape.h"
#include "core/FakeJobHost.h"
#include "list/Exporter.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <random>

namespace {

struct CliRun {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

// Runs folimeter-cli with `arguments`, or a `shell` command line in which "$0" is the program
// (for what QProcess cannot give it: arguments that are not UTF-8, a closed standard output).
CliRun runCli(const QStringList& arguments, const QByteArray& input = {}, const QString& workingDirectory = {},
              const QString& shell = {})
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    if (shell.isEmpty())
        process.start(QStringLiteral(FOLIMETER_CLI_PATH), arguments);
    else
        process.start("/bin/sh", {"-c", shell, QStringLiteral(FOLIMETER_CLI_PATH)});
    process.write(input);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit);
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

// The window's export of what a drop of `path` gathers.
QByteArray windowExport(const QString& path, bool includeSubfolders = true)
{
    FakeHost host;
    const Arguments drop{{QUrl::fromLocalFile(path)}, true, includeSubfolders};
    loadURLs(host, &drop, 1);
    return exporter::encode(host.files());
}

// The name and pages of each exported line after the header.
// The fields of each record of delimited text: a record ends at `lineEnd`, a field at
// `separator`, and a quoted field may hold both, its quotes doubled (RFC 4180).
QList<QStringList> records(const QString& text, QChar separator, const QString& lineEnd)
{
    QList<QStringList> rows{{}};
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (quoted && text.mid(i, 2) == "\"\"") {
            field += text[i++];
        } else if (text[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && (text[i] == separator || text.mid(i, lineEnd.size()) == lineEnd)) {
            rows.last() << std::exchange(field, {});
            if (text[i] != separator)
                rows << QStringList();
            i += text[i] == separator ? 0 : lineEnd.size() - 1;
        } else {
            field += text[i];
        }
    }
    return rows.mid(0, rows.size() - 1);
}

QByteArray namesAndPages(const QByteArray& exported)
{
    QByteArrayList rows;
    for (const QByteArray& line : exported.split('\n').mid(1, exported.count('\n') - 1))
        rows << line.split('\t').mid(0, 2).join(' ');
    return rows.join(", ");
}

// a.tif 3, c.Tif 1, d.pdf 4, .x.tif 1 (hidden), sub/s.tif 5.
class Cli : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(root + "/sub") && fixtures::writeTiff(root + "/a.tif", {.pages = 3}) &&
                    fixtures::writeTiff(root + "/c.Tif") && fixtures::writePdf(root + "/d.pdf", {.pages = 4}) &&
                    fixtures::writeTiff(root + "/.x.tif") && fixtures::writeTiff(root + "/sub/s.tif", {.pages = 5}));
        windowExport(root); // reads every file once, so that the access dates settle
    }
    // QTemporaryDir cannot remove a name that is not UTF-8.
    void TearDown() override { QProcess::execute("rm", {"-rf", dir.path()}); }
    QTemporaryDir dir;
    QString root = dir.filePath("tree");
};

TEST_F(Cli, ListsWhatTheWindowExportsForTheSameDrop)
{
    const QString output = dir.filePath("out.txt");
    ASSERT_TRUE(fixtures::writeBytes(output, "old content\n"));
    const QByteArray totals = "Total Pages TIFF : 8 PDF : 4\n"; // the last line on standard error
    // Arguments, then what goes to standard output and the files and pages listed.
    const QList<std::tuple<QStringList, QByteArray, QByteArray>> runs = {
        {{"--jobs", "1", root}, windowExport(root), "a.tif 3, d.pdf 4, s.tif 5"},
        {{"--no-subfolders", root}, windowExport(root, false), "a.tif 3, d.pdf 4"},
        {{"-j", "2", "--output", output, root}, {}, "a.tif 3, d.pdf 4, s.tif 5"}};
    for (const auto& [arguments, out, listed] : runs) {
        const CliRun run = runCli(arguments);
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(namesAndPages(out.isEmpty() ? fixtures::readBytes(output) : out), listed);
        EXPECT_TRUE(run.err.startsWith(QByteArray::number(listed.count(',') + 1) + " Total file(s)")) << run.err.data();
    }
    EXPECT_EQ(fixtures::readBytes(output), windowExport(root));
    // A list of paths, the last line without its line end.
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("list.txt"),
                                     QFile::encodeName(root + "/a.tif\n" + root + "/d.pdf\n" + root + "/sub/s.tif")));
    EXPECT_EQ(namesAndPages(runCli({"--list", dir.filePath("list.txt")}).out), "a.tif 3, d.pdf 4, s.tif 5");
}

TEST_F(Cli, FailuresAndBadUsageAreReported)
{
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("latin1.txt"), "/x/caf\xe9.pdf\n"));
    const QString a = root + "/a.tif";
    // Arguments, standard input, the exit status, a part of the message, and what is listed
    // all the same. Bad usage (status 2) lists nothing and says why in one line.
    const QList<std::tuple<QStringList, QByteArray, int, QByteArray, QByteArray>> cases = {
        {{root + "/missing", a}, {}, 1, "cannot read '" + QFile::encodeName(root) + "/missing'", "a.tif 3"},
        {{"--list", dir.filePath("no-list.txt"), a}, {}, 1, "cannot read list", "a.tif 3"},
        {{"--list", dir.filePath("latin1.txt"), a}, {}, 1, "not UTF-8", "a.tif 3"},
        {{"--list", "-"}, QFile::encodeName(root) + "/gone.pdf\n", 1, "cannot read '", "gone.pdf 0"},
        {{"-o", dir.filePath("no-folder/out.txt"), a}, {}, 1, "cannot write '", ""},
        {{}, {}, 2, "No path given", ""},
        {{"--bad", a}, {}, 2, "Unknown option", ""},
        {{"-j", "0", a}, {}, 2, "--jobs needs", ""},
        {{"-l-", "-l", "-"}, {}, 2, "only once", ""},
        {{"--format", "xml", a}, {}, 2, "--format needs tsv, csv or json", ""},
        {{"--list", "/dev/zero", a},
         {},
         1,
         "cannot read list '/dev/zero': line 1 is longer than 4096 bytes",
         "a.tif 3"},
        {{"//Folimeter-Test-Missing", a}, {}, 1, "cannot read '/Folimeter-Test-Missing': No such file", "a.tif 3"},
        {{root + "/c.Tif", a},
         {},
         0,
         "skipped '" + QFile::encodeName(root) + "/c.Tif': not a .tif, .tiff or .pdf name",
         "a.tif 3"},
        {{""}, {}, 2, "empty path", ""}};
    for (const auto& [arguments, input, code, reason, listed] : cases) {
        const CliRun run = runCli(arguments, input);
        EXPECT_EQ(run.code, code) << qPrintable(arguments.join(' '));
        EXPECT_EQ(namesAndPages(run.out), listed);
        EXPECT_TRUE(run.err.contains(reason) && (code != 2 || run.err.count('\n') == 1)) << run.err.data();
    }
    EXPECT_TRUE(runCli({"--help"}).out.startsWith("Usage: folimeter-cli [options] PATH..."));
}

TEST_F(Cli, NamesThatAreNotUtf8AndAClosedOutput)
{
    // A name that is not UTF-8, given as an argument, is found and listed as its bytes.
    ASSERT_EQ(::rename(QFile::encodeName(root + "/d.pdf"), QFile::encodeName(root) + "/caf\xe9.pdf"), 0);
    CliRun run = runCli({}, {}, root, "\"$0\" \"$(printf 'caf\\351.pdf')\"");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(namesAndPages(run.out), "caf\xe9.pdf 4");
    run = runCli({}, {}, root, "\"$0\" a.tif >&-");
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.contains("cannot write standard output: Bad file descriptor (standard output is closed)"));
}

// No library is looked for in the folder the program runs in: a folder of scans holding files
// named as libraries cannot take it over.
TEST_F(Cli, IgnoresLibrariesInItsFolderAndLeavesThePeakReport)
{
    for (const char* name : {"libQt6Core.so.6", "libz.so.1", "libcrypto.so.3", "libstdc++.so.6", "libc.so.6"})
        ASSERT_TRUE(fixtures::writeBytes(root + "/" + name, "not a library"));
    const CliRun run = runCli({"a.tif"}, {}, root);
    EXPECT_EQ(run.code, 0) << run.err.data();
    EXPECT_EQ(namesAndPages(run.out), "a.tif 3");
    // The peaks the robustness script reads are written at the end of a run.
    runCli({}, {}, root, "FOLIMETER_PEAK_REPORT=" + dir.filePath("peaks") + " \"$0\" a.tif");
    EXPECT_TRUE(QRegularExpression("^program [1-9][0-9]* helpers [0-9]+\n$")
                    .match(QString::fromUtf8(fixtures::readBytes(dir.filePath("peaks"))))
                    .hasMatch());
}

// Each form read back by a parser: names with a comma, quotes, a tab, a line break or a byte
// that is not UTF-8 come back as their bytes, with their pages and type.
TEST_F(Cli, EachFormatReadsBackWithoutLoss)
{
    const QByteArray odd = QFile::encodeName(dir.filePath("odd"));
    ASSERT_EQ(::mkdir(odd.constData(), 0755), 0);
    QByteArray expected; // in the scan's order: by bytes
    for (const QByteArray name : {"a,\"b\".pdf", "c\td\ne.pdf", "caf\xe9.pdf"}) {
        ASSERT_TRUE(fixtures::writePdf(dir.filePath("2.pdf"), {.pages = 2}));
        ASSERT_EQ(::rename(QFile::encodeName(dir.filePath("2.pdf")), odd + "/" + name), 0);
        expected += name + " 2 pdf\n";
    }
    for (const char* format : {"tsv", "csv", "json"}) {
        const CliRun run = runCli({"--format", format, QFile::decodeName(odd)});
        QByteArray read;
        const QJsonObject json = QJsonDocument::fromJson(run.out).object();
        for (const QJsonValue file : json["files"].toArray())
            read += encodeSurrogateEscape(file["name"].toString()) + " " + QByteArray::number(file["pages"].toInt()) +
                    " " + file["type"].toString().toUtf8() + "\n";
        const bool tsv = format == QLatin1String("tsv");
        const QList<QStringList> rows = records(decodeSurrogateEscape(run.out), tsv ? '\t' : ',', tsv ? "\n" : "\r\n");
        for (const QStringList& row : rows.mid(1))
            read += encodeSurrogateEscape(row.value(0) + " " + row.value(1) + " " + row.value(3)) + "\n";
        EXPECT_EQ(read, expected) << format;
        EXPECT_EQ(json.isEmpty() ? rows.value(0).size() : json["totals"].toObject()["pdfPages"].toInt(),
                  json.isEmpty() ? 8 : 6);
        EXPECT_TRUE(json.isEmpty() ||
                    QDateTime::fromString(json["files"][0]["modified"].toString(), Qt::ISODate).timeSpec() == Qt::UTC);
    }
    EXPECT_EQ(runCli({QFile::decodeName(odd)}).out, windowExport(QFile::decodeName(odd)));
}

// Bytes through a QString and back: every byte string, valid UTF-8 or not, comes back whole;
// what Qt takes for valid UTF-8 decodes as Qt decodes it, anything else holds an escape. The
// samples hold each edge of the UTF-8 ranges, then random bytes.
TEST(SurrogateEscape, EveryByteStringComesBackWhole)
{
    EXPECT_EQ(decodeSurrogateEscape("caf\xe9 caf\xc3\xa9"), QString("caf") + QChar(0xDCE9) + QString(" caf\u00e9"));
    std::mt19937 random(20261207);
    QList<QByteArray> samples =
        QByteArray("\xc1\xbf \xc2\x80 \xdf\xbf \xe0\x9f\xbf \xe0\xa0\x80 \xed\x9f\xbf \xed\xa0\x80 "
                   "\xef\xbf\xbf \xf0\x8f\xbf\xbf \xf0\x90\x80\x80 \xf4\x8f\xbf\xbf \xf4\x90\x80\x80 "
                   "\xf5\x80\x80\x80 \xe2\x82")
            .split(' ');
    for (int i = 0; i < 5000; ++i) {
        samples << QByteArray(int(random() % 8), '\0');
        for (char& byte : samples.last())
            byte = char(random() % 4 ? 0x80 + random() % 0x80 : random() % 0x80);
    }
    for (const QByteArray& bytes : samples) {
        ASSERT_EQ(encodeSurrogateEscape(decodeSurrogateEscape(bytes)), bytes) << bytes.toHex().data();
        ASSERT_EQ(decodeSurrogateEscape(bytes) == QString::fromUtf8(bytes), QByteArrayView(bytes).isValidUtf8())
            << bytes.toHex().data();
    }
}

// The signal comes while a file that takes seconds is counted: the program ends by it at once,
// writing nothing.
TEST(CliInterrupt, EndsByTheSignalAndWritesNothing)
{
    QTemporaryDir dir;
    const QString stuck = fixtures::writeStuckTree(dir.path());
    const QString output = dir.filePath("list.txt");
    ASSERT_TRUE(!stuck.isEmpty() && fixtures::writeBytes(output, "old content\n"));
    for (const int signal : {SIGINT, SIGTERM}) {
        QProcess process;
        process.start(QStringLiteral(FOLIMETER_CLI_PATH), {"--jobs", "1", "--output", output, stuck});
        const auto countingSlowFile = [&] {
            const QDir fds(QStringLiteral("/proc/%1/fd").arg(process.processId()));
            const QFileInfoList open = fds.entryInfoList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
            return std::any_of(open.begin(), open.end(),
                               [](const QFileInfo& fd) { return fd.symLinkTarget().endsWith("/b-slow.pdf"); });
        };
        QElapsedTimer waiting;
        waiting.start();
        while (!countingSlowFile() && !waiting.hasExpired(20000))
            QThread::msleep(5);
        ASSERT_TRUE(countingSlowFile()) << "the slow count ended before the signal";
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_TRUE(process.exitStatus() == QProcess::CrashExit && process.exitCode() == signal);
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
        EXPECT_TRUE(process.readAllStandardError().contains("folimeter-cli: interrupted"));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"list.txt"});
        EXPECT_EQ(fixtures::readBytes(output), QByteArray("old content\n"));
    }
}

} // namespace
