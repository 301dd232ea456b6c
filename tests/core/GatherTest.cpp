// Gathering: folder scans and admission on one thread and on several, over plain trees and over
// trees that change under the scan or are built to trap it; the collection job around them; import
// lists.

#include "app/Platform.h"
#include "app/Utilities.h"
#include "core/FakeJobHost.h"
#include "gather/CollectionJob.h"
#include "gather/FileSystemHelper.h"
#include "gather/ImportListParser.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

using Paths = QList<QByteArray>;
using Unreadable = std::vector<std::pair<QByteArray, int>>;

class Gather : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        platform::setLogSink([this](const QString& line) { log << line; });
    }
    void TearDown() override
    {
        platform::setLogSink({});
        // By bytes: QDir removes neither names that are not UTF-8 nor what is in unreadable
        // folders.
        ::chmod(path("root/locked").constData(), 0755);
        ::nftw(
            path({}).constData(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }

    // Paths in their bytes, relative to the test's folder.
    QByteArray path(const QByteArray& relative) const { return QFile::encodeName(m_dir.path()) + '/' + relative; }
    QUrl url(const QByteArray& relative) const { return FileItem::fileUrl(path(relative)); }
    // Makes the folders on the way and a TIFF of `pages` pages, or for a .pdf name a PDF, under a
    // plain name first and then renamed: the name's bytes may be more than Qt's text can hold.
    void file(const QByteArray& relative, int pages = 1)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(QFile::decodeName(path(relative))).path()));
        const QString staging = m_dir.filePath("staging");
        ASSERT_TRUE(relative.toLower().endsWith(".pdf") ? fixtures::writePdf(staging, {.pages = pages})
                                                        : fixtures::writeTiff(staging, {.pages = pages}));
        ASSERT_EQ(::rename(QFile::encodeName(staging).constData(), path(relative).constData()), 0);
    }
    void link(const QByteArray& target, const QByteArray& relative)
    {
        ASSERT_EQ(::symlink(target.constData(), path(relative).constData()), 0) << relative.constData();
    }
    // The listed paths relative to the test's folder, in list order.
    Paths listed(FakeHost& host) const
    {
        Paths out;
        for (const auto& item : host.files())
            out << item->nativePath().mid(path({}).size());
        return out;
    }
    bool scan(FakeHost& host, const QList<QUrl>& urls, bool subfolders = true, JobProgress* progress = nullptr)
    {
        return FileSystemHelper(host, GetParam(), progress).addFolderToList(urls, subfolders);
    }

    QTemporaryDir m_dir;
    QStringList log;
};

INSTANTIATE_TEST_SUITE_P(Threads, Gather, ::testing::Values(1, 4));

// Folders in name order, depth first where subfolders are asked for; hidden entries only when
// chosen directly; links to folders not followed; the six extensions compared exactly; a file
// chosen directly listed even when it is not there; two URL texts for one file two items; the
// totals refreshed after each file; nothing added twice; files given as files taken as given.
TEST_P(Gather, ScansInNameOrderAndAdmitsTheSixExtensionsExactly)
{
    for (const char* name : {"root/a.tif", "root/c.Tif", "root/m/h.tif", "root/m/n/i.tif", "root/z.tif", "root/.x.tif",
                             "root/.h/y.tif", "k.tif"})
        file(name);
    file("root/b.TIFF", 2), file("root/d.pdf", 4), file("root/e.PDF", 6), file("root/f.Pdf", 5);
    ASSERT_TRUE(fixtures::writeBytes(QFile::decodeName(path("root/g.jpg")), "x"));
    link(path("root/m"), "root/to-folder");
    const Paths flat = {"root/a.tif", "root/b.TIFF", "root/d.pdf", "root/e.PDF", "root/z.tif"};
    const Paths deep = {"root/a.tif",   "root/b.TIFF",    "root/d.pdf", "root/e.PDF",
                        "root/m/h.tif", "root/m/n/i.tif", "root/z.tif"};
    const std::tuple<QList<QUrl>, bool, Paths, qint64> cases[] = {
        {{url("root")}, false, flat, 4},
        {{url("root")}, true, deep, 6},
        {{url("root/.x.tif"), url("root"), url("root/a.tif")}, true, Paths{"root/.x.tif"} + deep, 7},
        {{url("root"), url("root/../root/a.tif")}, false, flat + Paths{"root/../root/a.tif"}, 5},
        {{url("root/g.jpg"), url("missing.tif")}, true, {"missing.tif"}, 0},
        {{}, true, {}, 0},
    };
    for (const auto& [urls, subfolders, expected, tiff] : cases) {
        SCOPED_TRACE(expected.join(' ').toStdString());
        FakeHost host;
        JobProgress progress;
        EXPECT_EQ(scan(host, urls, subfolders, &progress), !expected.isEmpty());
        EXPECT_EQ(listed(host), expected);
        EXPECT_EQ(host.files().tiffPages(), tiff);
        EXPECT_EQ(host.files().pdfPages(), tiff ? 10 : 0);
        EXPECT_EQ(progress.admitted.load() + progress.pages.load(), expected.size() + tiff + (tiff ? 10 : 0));
        std::vector<qint64> sums;
        for (const auto& item : host.files())
            sums.push_back((sums.empty() ? 0 : sums.back()) + item->pages());
        EXPECT_EQ(host.pagesAfterEachAdmission, sums);
        const Unreadable missing = {{path("missing.tif"), ENOENT}};
        EXPECT_EQ(host.unreadable, expected == Paths{"missing.tif"} ? missing : Unreadable());
    }
    FakeHost host;
    EXPECT_TRUE(scan(host, {url("root")}));
    EXPECT_FALSE(scan(host, {url("root"), url("root/a.tif")}));
    EXPECT_TRUE(
        FileSystemHelper(host, GetParam())
            .addFilesToList({url("root/f.Pdf"), url("root/g.jpg"), url("k.tif"), QUrl("https://x.invalid/d.pdf")}));
    EXPECT_EQ(listed(host), deep + Paths({"root/f.Pdf", "root/g.jpg", "k.tif"}));
    EXPECT_FALSE(FileSystemHelper(host, GetParam()).addFilesToList({}));
    EXPECT_TRUE(log.isEmpty());
}

// Once the scan is at its first entry the tree changes under it: a folder is removed, one becomes a
// file, one a link, one unreadable, a file goes before it is measured. Looping links are files to
// the scan. It passes over what it cannot read, with the error, and is neither trapped nor made to
// enter anything twice; found files that went are listed, with nothing measured.
TEST_P(Gather, PassesOverWhatVanishesTurnsUnreadableOrLoops)
{
    for (const char* name : {"root/a/1.tif", "root/gone/2.tif", "root/file/3.tif", "root/link/4.tif",
                             "root/locked/5.tif", "root/p1.tif", "root/p2.tif", "elsewhere/7.tif"})
        file(name, 2);
    link("..", "root/a/up"), link(path("root"), "root/a/again"), link("self.tif", "root/self.tif");
    link("ping.pdf", "root/pong.pdf"), link("pong.pdf", "root/ping.pdf"), link("loop", "loop");
    const bool canLock = ::geteuid() != 0; // permissions do not stop root
    FakeHost host;
    host.onVisit = [&](const QByteArray& visited) {
        if (!visited.endsWith("/root/a"))
            return;
        for (const char* folder : {"root/gone", "root/file", "root/link"})
            QDir(QFile::decodeName(path(folder))).removeRecursively();
        fixtures::writeBytes(QFile::decodeName(path("root/file")), "now a file");
        ::symlink(path("elsewhere").constData(), path("root/link").constData());
        ::unlink(path("root/p2.tif").constData());
        ::chmod(path("root/locked").constData(), 0);
    };
    EXPECT_TRUE(scan(host, {url("root"), url("loop")}));
    const Paths expected = Paths{"root/a/1.tif"} + (canLock ? Paths() : Paths{"root/locked/5.tif"}) +
                           Paths{"root/p1.tif", "root/p2.tif", "root/ping.pdf", "root/pong.pdf", "root/self.tif"};
    EXPECT_EQ(listed(host), expected);
    EXPECT_EQ(host.files().tiffPages(), canLock ? 4 : 6);
    EXPECT_EQ(host.files().at(host.files().size() - 4)->size(), 0);
    Unreadable unreadable{{path("root/file"), ENOTDIR}, {path("root/gone"), ENOENT}, {path("root/link"), ENOTDIR}};
    if (canLock)
        unreadable.emplace_back(path("root/locked"), EACCES);
    unreadable.emplace_back(path("loop"), ELOOP);
    EXPECT_EQ(host.unreadable, unreadable);
    EXPECT_TRUE(log.isEmpty()) << log.join('\n').toStdString();
}

// Names in any bytes (not UTF-8, Latin-1 with a "%", tabs, line breaks, quotes) are listed, and
// each item's URL, also as text, leads back to its bytes and is measured again through it.
TEST_P(Gather, NamesInAnyBytesAreListedAndReachedAgain)
{
    const Paths names = {"root/a\tb.tif", "root/bad\xff\xfd name.tif", "root/bad\xff\xfe name.tif",
                         "root/c\nd \"q\".tif", "root/caf\xe9 %41.pdf"};
    for (const QByteArray& name : names)
        file(name, 3);
    FakeHost host;
    EXPECT_TRUE(scan(host, {url("root")}));
    ASSERT_EQ(listed(host), names);
    for (const auto& item : host.files()) {
        EXPECT_EQ(FileItem::nativePathOfUrl(QUrl(item->filePath().toString())), item->nativePath());
        const auto again = FileItem::initWithURL(item->filePath());
        EXPECT_TRUE(again->isEqual(item.get()) && again->pages() == 3 && item->dateModified());
        FakeHost given;
        EXPECT_TRUE(FileSystemHelper(given, GetParam()).addFilesToList({item->filePath()}));
        EXPECT_EQ(listed(given), Paths{item->nativePath().mid(path({}).size())});
    }
}

// Cancel pressed while the 15th file is admitted: that file is the last one listed. A failure
// inside the scan is logged once and keeps what was admitted.
TEST_P(Gather, CancelAndFailureKeepWhatWasAdmitted)
{
    for (int i = 0; i < 36; ++i)
        file(QStringLiteral("f%1/p%2.tif").arg(i / 12).arg(i % 12, 2, 10, QChar('0')).toUtf8());
    FakeHost cancelled, failing;
    cancelled.cancelAfter = 15;
    failing.throwAfter = 3;
    EXPECT_TRUE(scan(cancelled, {url("f0"), url("f1"), url("f2")}));
    EXPECT_EQ(listed(cancelled).size(), 15);
    EXPECT_EQ(listed(cancelled).last(), "f1/p02.tif");
    EXPECT_TRUE(scan(failing, {url("f0")}));
    EXPECT_EQ(failing.files().size(), 3);
    EXPECT_EQ(log, QStringList({"Error in (addFolderToList:) : boom"}));
}

// The job calls the window in order and sorts only when the list grew; a failure is logged and the
// window still returns to idle. The time taken, as the window shows it.
TEST(CollectionJob, CallsTheWindowInOrderAndSortsOnlyWhenTheListGrew)
{
    QStringList log;
    platform::setLogSink([&](const QString& line) { log << line; });
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 2}));
    const Arguments folder{{QUrl::fromLocalFile(dir.path())}, true, false};
    const QStringList grew = {"resetView(NO)", "startProcess", "sort", "stopProcess", "resetView(YES)"};
    const QStringList same = {"resetView(NO)", "startProcess", "stopProcess", "resetView(YES)"};
    FakeHost host, failing;
    host.m_processing = false;
    const std::pair<const Arguments*, QStringList> runs[] = {{&folder, grew}, {&folder, same}, {nullptr, same}};
    for (const auto& [arguments, calls] : runs) {
        host.calls.clear();
        loadURLs(host, arguments, 2);
        EXPECT_EQ(host.calls, calls);
    }
    failing.throwOnSort = true;
    loadURLs(failing, &folder, 1);
    platform::setLogSink({});
    EXPECT_EQ(failing.calls, grew);
    EXPECT_EQ(log, QStringList({"Error in (loadURLs:) : sort failed"}));
    EXPECT_EQ(failing.files().size(), 1);

    const QDateTime start(QDate(2026, 1, 1), QTime(10, 0, 0));
    const std::pair<qint64, const char*> taken[] = {{3605'000, "1 hr(s) 5 sec(s) "},
                                                    {59'000, "59 sec(s) "},
                                                    {(25 * 3600 + 61) * 1000, "25 hr(s) 1 min(s) 1 sec(s) "},
                                                    {900, "0 sec(s)"},
                                                    {-30'000, "0 sec(s)"}};
    for (const auto& [milliseconds, text] : taken)
        EXPECT_EQ(timeTakenString(start, start.addMSecs(milliseconds)), QStringLiteral("Total Time Taken : ") + text);
    EXPECT_EQ(timeTakenString(std::nullopt, start) + timeTakenString(start, std::nullopt), "");
}

QStringList parse(const QString& text, const QStringList& types = allowedFileTypes())
{
    return fixtures::localPaths(parseImportList(text, types));
}

// Lines end at a line feed, one carriage return before it dropped; each is taken as written (not
// trimmed, cleaned or split; relative to the folder current when parsed; leading slashes one),
// once, when its extension is one of the six in any letter case.
TEST(ImportListParser, TakesLinesAsWrittenWithAnAcceptedExtensionOnceEach)
{
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const QString here = QDir::currentPath() + '/';
    const std::pair<const char*, QStringList> cases[] = {
        {"/a/x.pdf\r\n/b/y.TIF\r\n/c/z.tiff\r", {"/a/x.pdf", "/b/y.TIF", "/c/z.tiff"}},
        {"/a/x.pdf\r\r\n/b/y.pdf\r/c.pdf\n/a/x\r.pdf\n", {"/b/y.pdf\r/c.pdf", "/a/x\r.pdf"}},
        {"/a/x.pdf \n/a/x.pdf,/b/y.pdf\n  /a/x.pdf", {"/a/x.pdf,/b/y.pdf", here + "  /a/x.pdf"}},
        {"x.pdf\n~/y.pdf\nsub/../z.pdf", {here + "x.pdf", here + "~/y.pdf", here + "sub/../z.pdf"}},
        {"/a/./b/../c.pdf\n/a/folder.pdf/\n/a/100% #1?.pdf", {"/a/./b/../c.pdf", "/a/folder.pdf/", "/a/100% #1?.pdf"}},
        {"/Bücher/Straße.pdf", {"/Bücher/Straße.pdf"}},
        {"//Scans/a.PDF\n///Deep/b.tif\n/a//b.pdf\n/Scans/a.PDF", {"/Scans/a.PDF", "/Deep/b.tif", "/a//b.pdf"}},
        {"/a.Tif\n/b.TIFF\n/d.tIfF\n/e.PDF", {"/a.Tif", "/b.TIFF", "/d.tIfF", "/e.PDF"}},
        {"/a.tif.bak\n/b\n\n/c.txt\n.\n/d.pd\n/e.\n/f/", {}},
        {"/b/c.pdf\n/a/x.tif\n/b/c.pdf\n/b/C.pdf\n/a/x.tif\nr.pdf\nr.pdf",
         {"/b/c.pdf", "/a/x.tif", "/b/C.pdf", here + "r.pdf"}},
    };
    for (const auto& [text, paths] : cases)
        EXPECT_EQ(parse(QString::fromUtf8(text)), paths) << text;
    ASSERT_TRUE(QDir::setCurrent(previous));
    EXPECT_EQ(parse("sub/x.pdf"), QStringList({previous + "/sub/x.pdf"}));
    // Types are compared upper-cased: lower-case entries alone accept nothing, and an empty entry
    // never accepts a line without an extension.
    EXPECT_EQ(parse("/a.pdf\n/b.PDF", {"pdf"}) + parse("/a.pdf", {}), QStringList());
    EXPECT_EQ(parse("/a\n\n/b.pdf", {"", "PDF"}), QStringList({"/b.pdf"}));
}

TEST(ImportListParser, AppendsWhatIsNotThereAndReadsOnlyUtf8Files)
{
    QList<QUrl> files{QUrl::fromLocalFile("/a/x.pdf")};
    appendImportList("/b/y.pdf\n/a/x.pdf\n/b/y.pdf", allowedFileTypes(), files);
    appendImportList(QString(), allowedFileTypes(), files);
    EXPECT_EQ(fixtures::localPaths(files), QStringList({"/a/x.pdf", "/b/y.pdf"}));
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("good.txt"), "/a/x.pdf\r\n/b/Y.Tiff\r\n/c/z.doc\r\n"));
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("latin1.txt"), "/a/x.pdf\n/b/\xe9t\xe9.pdf\n"));
    EXPECT_EQ(fixtures::localPaths(parseImportListFile(dir.filePath("good.txt"), allowedFileTypes())),
              QStringList({"/a/x.pdf", "/b/Y.Tiff"}));
    for (const char* unread : {"latin1.txt", "missing.txt", ""})
        EXPECT_TRUE(parseImportListFile(dir.filePath(unread), allowedFileTypes()).isEmpty()) << unread;
}

} // namespace
