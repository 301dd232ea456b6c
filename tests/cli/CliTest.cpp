// Drives the real folimeter-cli binary over trees made at test time.

#include "core/FakeJobHost.h"
#include "list/Exporter.h"
#include "list/Totals.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

namespace {

using Rows = QList<QPair<QString, int>>;

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
    EXPECT_TRUE(process.waitForStarted());
    process.write(input);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

// The window's export of what a drop of `folder` gathers.
QByteArray windowExport(const QString& folder, bool includeSubfolders)
{
    FakeHost host;
    const Arguments drop{{QUrl::fromLocalFile(folder)}, true, includeSubfolders};
    loadURLs(host, &drop, 1);
    return exporter::text(host.files()).toUtf8();
}

// Name and pages of each exported line after the header.
Rows namesAndPages(const QByteArray& exported)
{
    EXPECT_TRUE(exported.isEmpty() || exported.startsWith(exporter::headerLine().toUtf8()));
    Rows rows;
    for (const QByteArray& line : exported.split('\n').mid(1)) {
        const QList<QByteArray> fields = line.split('\t');
        if (!line.isEmpty())
            rows.append({QString::fromUtf8(fields.value(0)), fields.value(1).toInt()});
    }
    return rows;
}

QByteArray totalsLines(qsizetype files, qint64 tiff, qint64 pdf)
{
    return (totalFilesText(files, 0, {}) + '\n' + totalPagesText({tiff, pdf}) + '\n').toUtf8();
}

// a.tif 3, b.TIFF 2, c.Tif, d.pdf 4, e.PDF 1, f.Pdf, g.jpg, .x.tif and .hidden/h.pdf hidden,
// sub/s.tif 5 and sub/deep/t.pdf 6.
class Cli : public testing::Test {
protected:
    void SetUp() override
    {
        root = dir.filePath("tree");
        QDir().mkpath(root + "/sub/deep");
        QDir().mkpath(root + "/.hidden");
        ASSERT_TRUE(fixtures::writeTiff(root + "/a.tif", {.pages = 3}) &&
                    fixtures::writeTiff(root + "/b.TIFF", {.pages = 2}) && fixtures::writeTiff(root + "/c.Tif") &&
                    fixtures::writePdf(root + "/d.pdf", {.pages = 4}) && fixtures::writePdf(root + "/e.PDF") &&
                    fixtures::writePdf(root + "/f.Pdf") && fixtures::writeBytes(root + "/g.jpg", "jpeg") &&
                    fixtures::writeTiff(root + "/.x.tif") && fixtures::writePdf(root + "/.hidden/h.pdf") &&
                    fixtures::writeTiff(root + "/sub/s.tif", {.pages = 5}) &&
                    fixtures::writePdf(root + "/sub/deep/t.pdf", {.pages = 6}));
    }
    QTemporaryDir dir;
    QString root;
};

TEST_F(Cli, OutputIsTheWindowsExportOfTheSameDrop)
{
    const Rows all = {{"a.tif", 3}, {"b.TIFF", 2}, {"d.pdf", 4}, {"e.PDF", 1}, {"t.pdf", 6}, {"s.tif", 5}};
    windowExport(root, true); // reads every file once, so the access dates settle first
    CliRun run = runCli({"--jobs", "1", root});
    EXPECT_EQ(run.code, 0) << run.err.constData();
    EXPECT_EQ(run.out, windowExport(root, true));
    EXPECT_EQ(namesAndPages(run.out), all);     // sub/deep comes before sub/s.tif
    EXPECT_EQ(run.err, totalsLines(6, 10, 11)); // not a terminal: no progress line

    // To a file, on two threads: the old file is replaced whole.
    const QString output = dir.filePath("out.txt");
    ASSERT_TRUE(fixtures::writeBytes(output, "old content\n"));
    run = runCli({"--jobs", "2", "--output", output, root});
    EXPECT_EQ(run.code, 0) << run.err.constData();
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_EQ(fixtures::readBytes(output), windowExport(root, true));

    run = runCli({"--no-subfolders", root});
    EXPECT_EQ(run.out, windowExport(root, false));
    EXPECT_EQ(namesAndPages(run.out), all.first(4));
    EXPECT_EQ(run.err, totalsLines(4, 5, 5));
}

TEST_F(Cli, PathsThenListsInTheOrderGiven)
{
    // Files named directly are admitted by their exact extension, hidden or not; relative
    // paths are taken against the current folder; repeats are dropped.
    CliRun run = runCli({"sub/s.tif", root + "/c.Tif", root + "/.x.tif", "a.tif", root + "/a.tif", "g.jpg"}, {}, root);
    EXPECT_EQ(run.code, 0) << run.err.constData();
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"s.tif", 5}, {".x.tif", 1}, {"a.tif", 3}}));
    EXPECT_EQ(run.err, totalsLines(3, 9, 0));

    // A list on standard input: CR LF, any letter case, relative paths, repeats, rejects.
    const QByteArray list =
        "sub/s.tif\r\n" + QFile::encodeName(root) + "/c.Tif\r\nd.pdf \r\ng.jpg\r\n\r\nd.pdf\r\n" + "sub/s.tif\r\ne.PDF";
    run = runCli({"--list", "-"}, list, root);
    EXPECT_EQ(run.code, 0) << run.err.constData();
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"s.tif", 5}, {"c.Tif", 1}, {"d.pdf", 4}, {"e.PDF", 1}}));

    // A list file comes after the paths; what the paths gathered is not listed twice.
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("list.txt"),
                                     QFile::encodeName(root) + "/sub/s.tif\n" + QFile::encodeName(root) + "/a.tif\n"));
    run = runCli({"-l", dir.filePath("list.txt"), "--no-subfolders", root});
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"a.tif", 3}, {"b.TIFF", 2}, {"d.pdf", 4}, {"e.PDF", 1}, {"s.tif", 5}}));
}

TEST_F(Cli, FailuresAreReportedAndTheRestIsStillListed)
{
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("latin1.txt"), "/x/caf\xe9.pdf\n"));
    const QString missing = dir.filePath("missing");
    const QList<std::tuple<QStringList, QByteArray, QByteArray>> cases = {
        {{missing, root + "/a.tif"}, {}, "cannot read '" + QFile::encodeName(missing) + "'"},
        {{"--list", dir.filePath("no-list.txt"), root + "/a.tif"}, {}, "cannot read list"},
        {{"--list", dir.filePath("latin1.txt"), root + "/a.tif"}, {}, "cannot read list"},
        // A listed file that is gone is listed with 0 pages, as the window lists it.
        {{"--list", "-"}, QFile::encodeName(missing) + ".pdf\n", "missing.pdf"},
    };
    for (const auto& [arguments, input, reason] : cases) {
        const CliRun run = runCli(arguments, input);
        const Rows rows = input.isEmpty() ? Rows{{"a.tif", 3}} : Rows{{"missing.pdf", 0}};
        EXPECT_EQ(run.code, 1) << qPrintable(arguments.join(' '));
        EXPECT_EQ(namesAndPages(run.out), rows);
        EXPECT_TRUE(run.err.contains(reason)) << run.err.constData();
        EXPECT_TRUE(run.err.endsWith(totalsLines(1, rows[0].second, 0))) << run.err.constData();
    }
    const QString unwritable = dir.filePath("no-such-folder/out.txt");
    const CliRun run = runCli({"-o", unwritable, root});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.contains("cannot write '" + QFile::encodeName(unwritable) + "'")) << run.err.constData();
    EXPECT_FALSE(QFile::exists(unwritable));
}

TEST_F(Cli, UsageErrorsHelpAndVersion)
{
    // Bad usage: status 2 and one line of reason, nothing on standard output.
    const QList<QStringList> badUsages = {
        {},         {"--no-such-option", root}, {"--jobs", "0", root},          {"--jobs", "many", root},
        {"--jobs"}, {"--output", "", root},     {"--list", "-", "--list", "-"}, {""}};
    for (const QStringList& arguments : badUsages) {
        const CliRun run = runCli(arguments);
        EXPECT_EQ(run.code, 2) << qPrintable(arguments.join(' '));
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.startsWith("folimeter-cli: ") && run.err.count('\n') == 1) << run.err.constData();
    }
    for (const auto& [option, start] :
         {std::pair("--help", "Usage: folimeter-cli [options] PATH..."), std::pair("--version", "folimeter-cli ")}) {
        const CliRun run = runCli({option});
        EXPECT_EQ(run.code, 0);
        EXPECT_TRUE(run.out.startsWith(start)) << run.out.constData();
    }
}

TEST(CliInterrupt, EndsByTheSignalAndWritesNothing)
{
    QTemporaryDir dir;
    const QString stuck = fixtures::writeStuckTree(dir.path());
    ASSERT_FALSE(stuck.isEmpty());
    const QString output = dir.filePath("out/list.txt");
    QDir().mkpath(dir.filePath("out"));
    ASSERT_TRUE(fixtures::writeBytes(output, "old content\n"));
    for (const int signal : {SIGINT, SIGTERM}) {
        QProcess process;
        process.start(QStringLiteral(FOLIMETER_CLI_PATH), {"--jobs", "1", "--output", output, stuck});
        ASSERT_TRUE(process.waitForStarted());
        // The signal comes while the slow file is being counted.
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(process.processId()));
        const auto countingSlowFile = [&] {
            const QStringList open = fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
            return std::any_of(open.begin(), open.end(), [&](const QString& fd) {
                return QFile::symLinkTarget(fds.filePath(fd)).endsWith("/b-slow.pdf");
            });
        };
        QElapsedTimer waiting;
        waiting.start();
        while (!countingSlowFile() && process.state() == QProcess::Running && !waiting.hasExpired(20000))
            QThread::msleep(5);
        ASSERT_TRUE(countingSlowFile()) << "the slow count ended before the signal";
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_EQ(process.exitStatus(), QProcess::CrashExit);
        EXPECT_EQ(process.exitCode(), signal);
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
        EXPECT_TRUE(process.readAllStandardError().contains("folimeter-cli: interrupted"));
        EXPECT_EQ(fixtures::readBytes(output), QByteArray("old content\n"));
        EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                  QStringList{"list.txt"});
    }
}

} // namespace
