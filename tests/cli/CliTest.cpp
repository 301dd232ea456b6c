// Drives the real folimeter-cli binary over trees made at test time.

#include "core/FakeJobHost.h"
#include "list/Exporter.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct CliRun {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

CliRun runCli(const QStringList& arguments, const QByteArray& input = {}, const QString& workingDirectory = {})
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(FOLIMETER_CLI_PATH), arguments);
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
    return exporter::text(host.files()).toUtf8();
}

// The name and pages of each exported line after the header.
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
        {{""}, {}, 2, "empty path", ""}};
    for (const auto& [arguments, input, code, reason, listed] : cases) {
        const CliRun run = runCli(arguments, input);
        EXPECT_EQ(run.code, code) << qPrintable(arguments.join(' '));
        EXPECT_EQ(namesAndPages(run.out), listed);
        EXPECT_TRUE(run.err.contains(reason) && (code == 1 || run.err.count('\n') == 1)) << run.err.data();
    }
    EXPECT_TRUE(runCli({"--help"}).out.startsWith("Usage: folimeter-cli [options] PATH..."));
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
