// Drives the real folimeter-cli binary over trees made at test time.

#include "gather/CollectionJob.h"
#include "list/Exporter.h"
#include "list/Totals.h"
#include "model/FileList.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The job's host as the window is to it, minus the widgets: steps run inline.
class ReferenceHost : public JobHost {
public:
    bool performOnMain(const std::function<void()>& fn) override
    {
        fn();
        return true;
    }
    bool isProcessing() const override { return true; }
    FileList& files() override { return m_files; }
    void updateTotalPagesLabel() override {}
    void resetView(bool) override {}
    void startProcess() override {}
    void stopProcess() override {}
    void sortFilesAndReload() override {}

private:
    FileList m_files;
};

struct CliRun {
    QProcess::ExitStatus status = QProcess::CrashExit;
    int code = -1;
    QByteArray out;
    QByteArray err;
};

CliRun runCli(const QStringList& arguments, const QByteArray& input = {}, const QString& workingDirectory = {})
{
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(FOLIMETER_CLI_PATH), arguments);
    EXPECT_TRUE(process.waitForStarted());
    process.write(input);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(60000));
    return {process.exitStatus(), process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

// The window's export of what a drop of `paths` gathers.
QByteArray windowExport(const QStringList& paths, bool includeSubfolders)
{
    ReferenceHost host;
    Arguments drop{{}, true, includeSubfolders};
    for (const QString& path : paths)
        drop.urls.append(QUrl::fromLocalFile(path));
    loadURLs(host, &drop, 1);
    return exporter::text(host.files()).toUtf8();
}

// The fields of one exported line; a field in double quotes may hold tabs, and "" inside
// stands for one quote.
QList<QByteArray> splitFields(const QByteArray& line)
{
    QList<QByteArray> fields{QByteArray()};
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line.at(i);
        if (c == '"' && !quoted && fields.last().isEmpty())
            quoted = true;
        else if (c == '"' && quoted && i + 1 < line.size() && line.at(i + 1) == '"')
            fields.last() += line.at(++i);
        else if (c == '"' && quoted)
            quoted = false;
        else if (c == '\t' && !quoted)
            fields.append(QByteArray());
        else
            fields.last() += c;
    }
    return fields;
}

// Name and pages of each line after the header (names holding a line feed are not used here).
QList<QPair<QString, int>> namesAndPages(const QByteArray& exported)
{
    QList<QPair<QString, int>> rows;
    QList<QByteArray> lines = exported.split('\n');
    EXPECT_EQ(lines.takeLast(), QByteArray()); // ends in a line feed
    if (lines.isEmpty())
        return rows;
    EXPECT_EQ(lines.takeFirst() + '\n', exporter::headerLine().toUtf8());
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = splitFields(line);
        EXPECT_EQ(fields.size(), 8) << line.constData();
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
QString makeTree(const QTemporaryDir& dir)
{
    const QString root = dir.filePath("tree");
    QDir().mkpath(root + "/sub/deep");
    QDir().mkpath(root + "/.hidden");
    bool ok = fixtures::writeTiff(root + "/a.tif", {.pages = 3}) &&
              fixtures::writeTiff(root + "/b.TIFF", {.pages = 2}) && fixtures::writeTiff(root + "/c.Tif") &&
              fixtures::writePdf(root + "/d.pdf", {.pages = 4}) && fixtures::writePdf(root + "/e.PDF") &&
              fixtures::writePdf(root + "/f.Pdf") && fixtures::writeBytes(root + "/g.jpg", "jpeg") &&
              fixtures::writeTiff(root + "/.x.tif") && fixtures::writePdf(root + "/.hidden/h.pdf") &&
              fixtures::writeTiff(root + "/sub/s.tif", {.pages = 5}) &&
              fixtures::writePdf(root + "/sub/deep/t.pdf", {.pages = 6});
    return ok ? root : QString();
}

using Rows = QList<QPair<QString, int>>;

TEST(Cli, OutputIsTheWindowsExportOfTheSameDrop)
{
    QTemporaryDir dir;
    const QString root = makeTree(dir);
    ASSERT_FALSE(root.isEmpty());
    // A name holding a tab is written quoted; the CLI must write it the same way.
    ASSERT_TRUE(fixtures::writePdf(root + "/tab\there.pdf", {.pages = 2}));
    windowExport({root}, true); // reads every file once, so the access dates settle first

    for (const QString& jobs : {QStringLiteral("1"), QStringLiteral("2")}) {
        const CliRun run = runCli({"--jobs", jobs, root});
        EXPECT_EQ(run.status, QProcess::NormalExit);
        EXPECT_EQ(run.code, 0) << run.err.constData();
        EXPECT_EQ(run.out, windowExport({root}, true));
        EXPECT_EQ(namesAndPages(run.out), (Rows{{"a.tif", 3},
                                                {"b.TIFF", 2},
                                                {"d.pdf", 4},
                                                {"e.PDF", 1},
                                                {"t.pdf", 6}, // sub/deep comes before sub/s.tif
                                                {"s.tif", 5},
                                                {"tab\there.pdf", 2}}));
        EXPECT_EQ(run.err, totalsLines(7, 10, 13)); // not a terminal: no progress line
    }
}

TEST(Cli, NoSubfoldersAndTopLevelFiles)
{
    QTemporaryDir dir;
    const QString root = makeTree(dir);
    ASSERT_FALSE(root.isEmpty());

    CliRun run = runCli({"--no-subfolders", root});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"a.tif", 3}, {"b.TIFF", 2}, {"d.pdf", 4}, {"e.PDF", 1}}));
    EXPECT_EQ(run.out, windowExport({root}, false));
    EXPECT_EQ(run.err, totalsLines(4, 5, 5));

    // Files named directly are admitted by their exact extension, hidden or not, in the
    // order given; relative paths are taken against the current folder; repeats are dropped.
    run = runCli({"sub/s.tif", root + "/c.Tif", root + "/.x.tif", "a.tif", root + "/a.tif", "g.jpg"}, {}, root);
    EXPECT_EQ(run.code, 0) << run.err.constData();
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"s.tif", 5}, {".x.tif", 1}, {"a.tif", 3}}));
    EXPECT_EQ(run.err, totalsLines(3, 9, 0));
}

TEST(Cli, ListFromStandardInputAndFromAFile)
{
    QTemporaryDir dir;
    const QString root = makeTree(dir);
    ASSERT_FALSE(root.isEmpty());

    // CR LF line ends, any letter case of the extension, relative paths, repeats, rejects.
    const QByteArray list = "sub/s.tif\r\n" + QFile::encodeName(root) + "/c.Tif\r\n" + "d.pdf \r\n" +
                            "g.jpg\r\n\r\nd.pdf\r\nsub/s.tif\r\n" + "e.PDF";
    CliRun run = runCli({"--list", "-"}, list, root);
    EXPECT_EQ(run.code, 0) << run.err.constData();
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"s.tif", 5}, {"c.Tif", 1}, {"d.pdf", 4}, {"e.PDF", 1}}));
    EXPECT_EQ(run.err, totalsLines(4, 6, 5));

    // A list file comes after the paths; what the paths gathered is not listed twice.
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("list.txt"),
                                     QFile::encodeName(root) + "/sub/s.tif\n" + QFile::encodeName(root) + "/c.Tif\n"));
    run = runCli({"-l", dir.filePath("list.txt"), "--no-subfolders", root});
    EXPECT_EQ(run.code, 0) << run.err.constData();
    EXPECT_EQ(namesAndPages(run.out),
              (Rows{{"a.tif", 3}, {"b.TIFF", 2}, {"d.pdf", 4}, {"e.PDF", 1}, {"s.tif", 5}, {"c.Tif", 1}}));
}

TEST(Cli, ExitStatuses)
{
    QTemporaryDir dir;
    const QString root = makeTree(dir);
    ASSERT_FALSE(root.isEmpty());

    // A path that cannot be read: status 1, the rest still reported.
    CliRun run = runCli({dir.filePath("missing"), root + "/a.tif"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"a.tif", 3}}));
    EXPECT_TRUE(run.err.contains("cannot read '" + QFile::encodeName(dir.filePath("missing")) + "'"))
        << run.err.constData();
    EXPECT_TRUE(run.err.endsWith(totalsLines(1, 3, 0)));

    // A listed file that is gone is listed with 0 pages, as the window lists it, and reported.
    run = runCli({"--list", "-"}, QFile::encodeName(dir.filePath("gone.pdf")) + "\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"gone.pdf", 0}}));
    EXPECT_TRUE(run.out.contains("(null)\t(null)\t(null)"));

    // A list file that cannot be read, or is not UTF-8.
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("latin1.txt"), "/x/caf\xe9.pdf\n"));
    for (const QString& list : {dir.filePath("no-list.txt"), dir.filePath("latin1.txt")}) {
        run = runCli({"--list", list, root + "/a.tif"});
        EXPECT_EQ(run.code, 1) << qPrintable(list);
        EXPECT_EQ(namesAndPages(run.out), (Rows{{"a.tif", 3}}));
        EXPECT_TRUE(run.err.contains("cannot read list")) << run.err.constData();
    }

    // A path that cannot be followed (a link to itself) is reported the same way.
    ASSERT_TRUE(QFile::link(dir.filePath("loop"), dir.filePath("loop")));
    run = runCli({dir.filePath("loop"), root + "/b.TIFF"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(namesAndPages(run.out), (Rows{{"b.TIFF", 2}}));
    EXPECT_TRUE(run.err.contains("cannot read '" + QFile::encodeName(dir.filePath("loop")) + "'"))
        << run.err.constData();

    // A folder that cannot be read is passed over and reported (root reads everything).
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(QFile::encodeName(root + "/sub/deep").constData(), 0), 0);
        run = runCli({root});
        ::chmod(QFile::encodeName(root + "/sub/deep").constData(), 0755);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(namesAndPages(run.out).size(), 5);
    }

    // Bad usage: status 2, one line of reason, nothing on standard output.
    const QList<QStringList> badUsages = {
        {},         {"--no-such-option", root}, {"--jobs", "0", root},          {"--jobs", "many", root},
        {"--jobs"}, {"--output", "", root},     {"--list", "-", "--list", "-"}, {""}};
    for (const QStringList& arguments : badUsages) {
        run = runCli(arguments);
        EXPECT_EQ(run.code, 2) << qPrintable(arguments.join(' '));
        EXPECT_TRUE(run.out.isEmpty());
        EXPECT_TRUE(run.err.startsWith("folimeter-cli: ") && run.err.count('\n') == 1) << run.err.constData();
    }

    run = runCli({"--help"});
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.out.startsWith("Usage: folimeter-cli [options] PATH..."));
    run = runCli({"--version"});
    EXPECT_EQ(run.code, 0);
    EXPECT_TRUE(run.out.startsWith("folimeter-cli ")) << run.out.constData();
}

TEST(Cli, OutputFileIsReplacedWhole)
{
    QTemporaryDir dir;
    const QString root = makeTree(dir);
    ASSERT_FALSE(root.isEmpty());
    const QString output = dir.filePath("out.txt");
    ASSERT_TRUE(fixtures::writeBytes(output, "old content\n"));

    CliRun run = runCli({"--output", output, root});
    EXPECT_EQ(run.code, 0) << run.err.constData();
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_EQ(run.err, totalsLines(6, 10, 11));
    EXPECT_EQ(fixtures::readBytes(output), windowExport({root}, true));

    // A file that cannot be written: status 1, the reason given, nothing made.
    const QString unwritable = dir.filePath("no-such-folder/out.txt");
    run = runCli({"-o", unwritable, root});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(run.err.contains("cannot write")) << run.err.constData();
    EXPECT_FALSE(QFile::exists(unwritable));
}

// Whether process `pid` has the file `name` open.
bool hasOpen(qint64 pid, const QString& name)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)) {
        if (QFile::symLinkTarget(fds.filePath(fd)).endsWith(name))
            return true;
    }
    return false;
}

TEST(Cli, InterruptStopsPromptlyAndWritesNothing)
{
    QTemporaryDir dir;
    const QString stuck = fixtures::writeStuckTree(dir.path());
    ASSERT_FALSE(stuck.isEmpty());
    const QString outDir = dir.filePath("out");
    QDir().mkpath(outDir);
    const QString output = outDir + "/list.txt";
    ASSERT_TRUE(fixtures::writeBytes(output, "old content\n"));

    for (const int signal : {SIGINT, SIGTERM}) {
        QProcess process;
        process.start(QStringLiteral(FOLIMETER_CLI_PATH), {"--jobs", "1", "--output", output, stuck});
        ASSERT_TRUE(process.waitForStarted());
        QElapsedTimer waiting;
        waiting.start();
        while (!hasOpen(process.processId(), "/b-slow.pdf") && waiting.elapsed() < 20000 &&
               process.state() == QProcess::Running)
            QThread::msleep(5);
        ASSERT_EQ(process.state(), QProcess::Running) << "the slow count ended before the signal";
        ASSERT_TRUE(hasOpen(process.processId(), "/b-slow.pdf"));

        QElapsedTimer sinceSignal;
        sinceSignal.start();
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(10000));
        EXPECT_LT(sinceSignal.elapsed(), 1000);
        EXPECT_EQ(process.exitStatus(), QProcess::CrashExit);
        EXPECT_EQ(process.exitCode(), signal);
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
        EXPECT_TRUE(process.readAllStandardError().contains("folimeter-cli: interrupted"));
        EXPECT_EQ(fixtures::readBytes(output), QByteArray("old content\n"));
        EXPECT_EQ(QDir(outDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                  QStringList{"list.txt"});
    }
}

} // namespace
