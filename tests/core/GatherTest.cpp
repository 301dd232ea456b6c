#include "app/Platform.h"
#include "core/FakeJobHost.h"
#include "gather/CollectionJob.h"
#include "gather/FileSystemHelper.h"
#include "model/FileList.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <unistd.h>

namespace {

class Gather : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        platform::setLogSink([this](const QString& line) { log << line; });
    }
    void TearDown() override { platform::setLogSink({}); }

    QString dir() const { return m_dir.path(); }
    QUrl url(const QString& relative) const { return QUrl::fromLocalFile(m_dir.filePath(relative)); }
    void tiff(const QString& relative, int pages)
    {
        QDir().mkpath(QFileInfo(m_dir.filePath(relative)).path());
        ASSERT_TRUE(fixtures::writeTiff(m_dir.filePath(relative), {.pages = pages}));
    }
    void pdf(const QString& relative, int pages)
    {
        QDir().mkpath(QFileInfo(m_dir.filePath(relative)).path());
        ASSERT_TRUE(fixtures::writePdf(m_dir.filePath(relative), {.pages = pages}));
    }
    int threads() const { return GetParam(); }

    QTemporaryDir m_dir;
    QStringList log;
};

INSTANTIATE_TEST_SUITE_P(Threads, Gather, ::testing::Values(1, 2, 4));

TEST_P(Gather, AdmitsOnlyTheSixExtensionsExactly)
{
    tiff("box/a.tif", 1);
    tiff("box/b.TIFF", 2);
    tiff("box/c.Tif", 3);
    pdf("box/d.pdf", 4);
    pdf("box/e.PDF", 5);
    pdf("box/f.Pdf", 6);
    ASSERT_TRUE(fixtures::writeBytes(m_dir.filePath("box/g.jpg"), "x"));
    FakeHost host;
    FileSystemHelper helper(host, threads());
    EXPECT_TRUE(helper.addFolderToList({url("box")}, false));
    EXPECT_EQ(host.names(), QStringList({"box/a.tif", "box/b.TIFF", "box/d.pdf", "box/e.PDF"}));
    EXPECT_EQ(host.files().tiffPages(), 3);
    EXPECT_EQ(host.files().pdfPages(), 9);
    EXPECT_EQ(host.pagesAfterEachAdmission, std::vector<qint64>({1, 3, 7, 12}));
}

TEST_P(Gather, NameOrderDepthFirstAndSubfolderSwitch)
{
    tiff("root/b.tif", 1);
    tiff("root/a.tif", 1);
    tiff("root/m/c.tif", 1);
    tiff("root/m/n/d.tif", 1);
    tiff("root/z.tif", 1);
    FakeHost without;
    FileSystemHelper(without, threads()).addFolderToList({url("root")}, false);
    EXPECT_EQ(without.names(), QStringList({"root/a.tif", "root/b.tif", "root/z.tif"}));
    FakeHost with;
    FileSystemHelper(with, threads()).addFolderToList({url("root")}, true);
    EXPECT_EQ(with.names(), QStringList({"root/a.tif", "root/b.tif", "m/c.tif", "n/d.tif", "root/z.tif"}));
}

TEST_P(Gather, HiddenEntriesSkippedUnlessChosenDirectly)
{
    tiff("root/.x.tif", 1);
    tiff("root/.hidden/y.tif", 1);
    tiff("root/v.tif", 1);
    FakeHost host;
    FileSystemHelper helper(host, threads());
    helper.addFolderToList({url("root")}, true);
    EXPECT_EQ(host.names(), QStringList({"root/v.tif"}));
    EXPECT_TRUE(helper.addFolderToList({url("root/.x.tif")}, true));
    EXPECT_EQ(host.names(), QStringList({"root/v.tif", "root/.x.tif"}));
}

TEST_P(Gather, SymbolicLinksToFoldersAreNotFollowed)
{
    tiff("root/a.tif", 1);
    tiff("elsewhere/b.tif", 1);
    ASSERT_EQ(
        ::symlink(QFile::encodeName(dir() + "/root").constData(), QFile::encodeName(dir() + "/root/loop").constData()),
        0);
    ASSERT_EQ(::symlink(QFile::encodeName(dir() + "/elsewhere").constData(),
                        QFile::encodeName(dir() + "/root/other").constData()),
              0);
    FakeHost host;
    FileSystemHelper(host, threads()).addFolderToList({url("root")}, true);
    EXPECT_EQ(host.names(), QStringList({"root/a.tif"}));
}

TEST_P(Gather, SameFolderTwiceAddsNothingTheSecondTime)
{
    tiff("root/a.tif", 2);
    pdf("root/b.pdf", 3);
    FakeHost host;
    FileSystemHelper helper(host, threads());
    EXPECT_TRUE(helper.addFolderToList({url("root")}, true));
    EXPECT_FALSE(helper.addFolderToList({url("root"), url("root/a.tif")}, true));
    EXPECT_EQ(host.files().size(), 2);
    EXPECT_EQ(host.labelUpdates, 2);
}

TEST_P(Gather, TwoUrlTextsForOneFileMakeTwoItems)
{
    tiff("root/a.tif", 1);
    FakeHost host;
    FileSystemHelper(host, threads()).addFolderToList({url("root"), url("root/../root/a.tif")}, false);
    EXPECT_EQ(host.files().size(), 2);
}

TEST_P(Gather, TopLevelFilesByExtensionEvenWhenGone)
{
    ASSERT_TRUE(fixtures::writeBytes(m_dir.filePath("notes.txt"), "x"));
    FakeHost host;
    FileSystemHelper helper(host, threads());
    EXPECT_FALSE(helper.addFolderToList({url("notes.txt")}, true));
    EXPECT_FALSE(helper.addFolderToList({}, true));
    EXPECT_FALSE(helper.addFilesToList({}));
    EXPECT_TRUE(host.files().isEmpty());
    EXPECT_TRUE(log.isEmpty());
    // A chosen file that is gone is still listed, with nothing measured, and reported.
    EXPECT_TRUE(helper.addFolderToList({url("missing.tif")}, true));
    ASSERT_EQ(host.files().size(), 1);
    EXPECT_EQ(host.files().at(0)->pages(), 0);
    ASSERT_EQ(host.unreadable.size(), 1u);
    EXPECT_TRUE(host.unreadable.front().endsWith("/missing.tif"));
}

TEST_P(Gather, AddFilesAdmitsAsGivenWithoutTests)
{
    tiff("a.tif", 2);
    pdf("b.Pdf", 3);
    ASSERT_TRUE(fixtures::writeBytes(m_dir.filePath("c.txt"), "x"));
    FakeHost host;
    EXPECT_TRUE(
        FileSystemHelper(host, threads())
            .addFilesToList({url("a.tif"), url("b.Pdf"), url("c.txt"), url("a.tif"), QUrl("https://x.invalid/d.pdf")}));
    EXPECT_EQ(host.names(),
              QStringList({m_dir.path().section('/', -1) + "/a.tif", m_dir.path().section('/', -1) + "/b.Pdf",
                           m_dir.path().section('/', -1) + "/c.txt"}));
    EXPECT_EQ(host.files().at(1)->pages(), 3);
}

TEST_P(Gather, CancelKeepsWhatWasAdmittedAndStopsWithinOneEntry)
{
    for (int folder = 0; folder < 3; ++folder) {
        for (int i = 0; i < 12; ++i)
            tiff(QString("f%1/p%2.tif").arg(folder).arg(i, 2, 10, QChar('0')), 1);
    }
    FakeHost host;
    host.cancelAfter = 15; // pressed while the 15th file is being admitted
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("f0"), url("f1"), url("f2")}, true));
    EXPECT_EQ(host.files().size(), 15);
    EXPECT_EQ(host.names().last(), "f1/p02.tif");
}

TEST_P(Gather, UnreadableFolderIsPassedOver)
{
    tiff("root/a.tif", 1);
    tiff("root/z.tif", 1);
    // A folder nested past the longest path the system opens: readable for nobody, root
    // included, so the scan must pass over it and go on.
    QByteArray deep = QFile::encodeName(dir() + "/root/deep");
    ASSERT_EQ(::mkdir(deep.constData(), 0755), 0);
    const QByteArray name(250, 'd');
    const QString previous = QDir::currentPath();
    ASSERT_EQ(::chdir(deep.constData()), 0);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(::mkdir(name.constData(), 0755), 0);
        ASSERT_EQ(::chdir(name.constData()), 0);
    }
    QDir::setCurrent(previous);
    FakeHost host;
    FileSystemHelper(host, threads()).addFolderToList({url("root")}, true);
    EXPECT_EQ(host.names(), QStringList({"root/a.tif", "root/z.tif"}));
    ASSERT_FALSE(host.unreadable.empty());
    EXPECT_GT(host.unreadable.front().size(), 4000);
}

TEST_P(Gather, FailureInsideTheScanIsLoggedAndKeepsTheAdmitted)
{
    for (int i = 0; i < 6; ++i)
        tiff(QString("root/p%1.tif").arg(i), 1);
    FakeHost host;
    host.throwAfter = 3;
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("root")}, false));
    EXPECT_EQ(host.files().size(), 3);
    EXPECT_EQ(log, QStringList({"Error in (addFolderToList:) : boom"}));
}

TEST(CollectionJob, CallsTheWindowInOrderAndSortsOnlyWhenTheListGrew)
{
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 2}));
    const Arguments arguments{{QUrl::fromLocalFile(dir.path())}, true, false};
    FakeHost host;
    host.m_processing = false;
    loadURLs(host, &arguments, 2);
    EXPECT_EQ(host.calls, QStringList({"resetView(NO)", "startProcess", "sort", "stopProcess", "resetView(YES)"}));
    host.calls.clear();
    loadURLs(host, &arguments, 2); // nothing new: no sort, no reload
    EXPECT_EQ(host.calls, QStringList({"resetView(NO)", "startProcess", "stopProcess", "resetView(YES)"}));
    host.calls.clear();
    loadURLs(host, nullptr, 2);
    EXPECT_EQ(host.calls, QStringList({"resetView(NO)", "startProcess", "stopProcess", "resetView(YES)"}));
}

TEST(CollectionJob, FailureIsLoggedAndTheWindowStillReturnsToIdle)
{
    QStringList log;
    platform::setLogSink([&](const QString& line) { log << line; });
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 2}));
    const Arguments arguments{{QUrl::fromLocalFile(dir.filePath("a.tif"))}, false, false};
    FakeHost host;
    host.throwOnSort = true;
    loadURLs(host, &arguments, 1);
    platform::setLogSink({});
    EXPECT_EQ(host.calls, QStringList({"resetView(NO)", "startProcess", "sort", "stopProcess", "resetView(YES)"}));
    EXPECT_EQ(log, QStringList({"Error in (loadURLs:) : sort failed"}));
    EXPECT_EQ(host.files().size(), 1);
}

TEST(TimeTaken, Texts)
{
    const QDateTime start(QDate(2026, 1, 1), QTime(10, 0, 0));
    EXPECT_EQ(timeTakenString(start, start.addSecs(3605)), "Total Time Taken : 1 hr(s) 5 sec(s) ");
    EXPECT_EQ(timeTakenString(start, start.addSecs(59)), "Total Time Taken : 59 sec(s) ");
    EXPECT_EQ(timeTakenString(start, start.addSecs(25 * 3600 + 61)), "Total Time Taken : 25 hr(s) 1 min(s) 1 sec(s) ");
    EXPECT_EQ(timeTakenString(start, start.addMSecs(900)), "Total Time Taken : 0 sec(s)");
    EXPECT_EQ(timeTakenString(start, start.addSecs(-30)), "Total Time Taken : 0 sec(s)");
    EXPECT_EQ(timeTakenString(std::nullopt, start), "");
    EXPECT_EQ(timeTakenString(start, std::nullopt), "");
}

} // namespace
