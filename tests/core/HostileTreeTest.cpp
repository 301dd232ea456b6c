// Folder scans over trees that change under them or are built to trap them.

#include "app/Platform.h"
#include "core/FakeJobHost.h"
#include "gather/FileSystemHelper.h"
#include "list/Exporter.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

QByteArray bytes(const QString& path)
{
    return QFile::encodeName(path);
}

class HostileTree : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        platform::setLogSink([this](const QString& line) { log << line; });
    }
    void TearDown() override
    {
        platform::setLogSink({});
        // By bytes: QDir cannot remove names that are not UTF-8.
        ::nftw(
            bytes(m_dir.path()).constData(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); },
            16, FTW_DEPTH | FTW_PHYS);
    }

    // Paths in their bytes, relative to the test's folder.
    QByteArray path(const QByteArray& relative) const { return bytes(m_dir.path()) + '/' + relative; }
    QUrl url(const QByteArray& relative) const { return FileItem::fileUrl(path(relative)); }
    void folder(const QByteArray& relative)
    {
        ASSERT_EQ(::mkdir(path(relative).constData(), 0755), 0) << relative.constData();
    }
    void tiff(const QByteArray& relative, int pages)
    {
        ASSERT_TRUE(fixtures::writeTiff(QFile::decodeName(path(relative)), {.pages = pages}));
    }
    // A TIFF at a path whose bytes Qt's text cannot hold: written under a plain name, then renamed.
    void tiffRaw(const QByteArray& relative, int pages)
    {
        tiff("staging.tif", pages);
        ASSERT_EQ(::rename(path("staging.tif").constData(), path(relative).constData()), 0);
    }
    void pdfRaw(const QByteArray& relative, int pages)
    {
        ASSERT_TRUE(fixtures::writePdf(QFile::decodeName(path("staging.pdf")), {.pages = pages}));
        ASSERT_EQ(::rename(path("staging.pdf").constData(), path(relative).constData()), 0);
    }
    int threads() const { return GetParam(); }

    // The listed paths, relative to the test's folder, in list order.
    QList<QByteArray> listed(FakeHost& host) const
    {
        QList<QByteArray> out;
        const QByteArray prefix = bytes(m_dir.path()) + '/';
        for (const auto& item : host.files())
            out << item->nativePath().mid(prefix.size());
        return out;
    }

    QTemporaryDir m_dir;
    QStringList log;
};

INSTANTIATE_TEST_SUITE_P(Threads, HostileTree, ::testing::Values(1, 4));

TEST_P(HostileTree, FoldersThatVanishOrTurnUnreadableMidScanArePassedOver)
{
    folder("root");
    for (const char* name : {"a", "gone", "file", "link", "locked", "z"})
        folder(QByteArray("root/") + name);
    folder("elsewhere");
    tiff("root/a/1.tif", 1);
    tiff("root/gone/2.tif", 1);
    tiff("root/file/3.tif", 1);
    tiff("root/link/4.tif", 1);
    tiff("root/locked/5.tif", 1);
    tiff("root/z/6.tif", 1);
    tiff("elsewhere/7.tif", 1);
    const bool canLock = ::geteuid() != 0; // permissions do not stop root

    FakeHost host;
    // Once the root is listed and the scan is at its first entry, the tree changes under it:
    // one folder is removed, one becomes a file, one a link to another folder, one unreadable.
    host.onVisit = [&](const QByteArray& visited) {
        if (!visited.endsWith("/root/a"))
            return;
        QDir(QFile::decodeName(path("root/gone"))).removeRecursively();
        QDir(QFile::decodeName(path("root/file"))).removeRecursively();
        fixtures::writeBytes(QFile::decodeName(path("root/file")), "now a file");
        QDir(QFile::decodeName(path("root/link"))).removeRecursively();
        ::symlink(path("elsewhere").constData(), path("root/link").constData());
        if (canLock)
            ::chmod(path("root/locked").constData(), 0);
    };
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("root")}, true));
    if (canLock)
        ::chmod(path("root/locked").constData(), 0755);

    QList<QByteArray> expected{"root/a/1.tif"};
    if (!canLock)
        expected << "root/locked/5.tif";
    expected << "root/z/6.tif";
    EXPECT_EQ(listed(host), expected); // the link is not followed into elsewhere/
    std::vector<QByteArray> expectedUnreadable{path("root/file"), path("root/gone"), path("root/link")};
    std::vector<int> expectedErrors{ENOTDIR, ENOENT, ENOTDIR}; // a link is not opened as a folder
    if (canLock) {
        expectedUnreadable.push_back(path("root/locked"));
        expectedErrors.push_back(EACCES);
    }
    EXPECT_EQ(host.unreadable, expectedUnreadable);
    EXPECT_EQ(host.unreadableErrors, expectedErrors);
    EXPECT_TRUE(log.isEmpty()) << log.join('\n').toStdString();
}

TEST_P(HostileTree, FilesDeletedBetweenListingAndMeasuringCountZero)
{
    folder("root");
    for (int i = 0; i < 8; ++i)
        tiff("root/p" + QByteArray::number(i) + ".tif", i + 1);
    FakeHost host;
    // At p2, before it is measured, p2 to p5 go away.
    host.onVisit = [&](const QByteArray& visited) {
        if (!visited.endsWith("/p2.tif"))
            return;
        for (int i = 2; i <= 5; ++i)
            ::unlink(path("root/p" + QByteArray::number(i) + ".tif").constData());
    };
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("root")}, false));
    // Found files that cannot be read are still listed, with nothing measured.
    ASSERT_EQ(host.files().size(), 8);
    for (int i = 0; i < 8; ++i) {
        const FileItem& item = *host.files().at(i);
        const bool gone = i >= 2 && i <= 5;
        EXPECT_EQ(item.pages(), gone ? 0 : i + 1) << i;
        EXPECT_EQ(item.size() == 0, gone) << i;
    }
    EXPECT_EQ(host.files().tiffPages(), 1 + 2 + 7 + 8);
}

TEST_P(HostileTree, SymbolicLinkLoopsNeitherTrapNorFail)
{
    folder("root");
    folder("root/sub");
    tiff("root/sub/real.tif", 2);
    ASSERT_EQ(::symlink("..", path("root/sub/up").constData()), 0);         // back to root
    ASSERT_EQ(::symlink("self.tif", path("root/self.tif").constData()), 0); // onto itself
    ASSERT_EQ(::symlink("pong.pdf", path("root/ping.pdf").constData()), 0); // a pair
    ASSERT_EQ(::symlink("ping.pdf", path("root/pong.pdf").constData()), 0); //
    ASSERT_EQ(::symlink("loop", path("loop").constData()), 0);              // chosen loop
    ASSERT_EQ(::symlink(path("root").constData(), path("root/sub/again").constData()), 0);
    FakeHost host;
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("root"), url("loop")}, true));
    // Links are files to the scan: the looping ones with an accepted extension are listed,
    // unreadable, and nothing is entered twice.
    EXPECT_EQ(listed(host),
              QList<QByteArray>({"root/ping.pdf", "root/pong.pdf", "root/self.tif", "root/sub/real.tif"}));
    EXPECT_EQ(host.files().tiffPages(), 2);
    EXPECT_EQ(host.files().pdfPages(), 0);
    ASSERT_EQ(host.unreadable, std::vector<QByteArray>{path("loop")});
    EXPECT_EQ(host.unreadableErrors, std::vector<int>{ELOOP});
}

TEST_P(HostileTree, ThirtyLevelsDeep)
{
    QByteArray relative = "root";
    folder(relative);
    for (int level = 1; level <= 30; ++level) {
        relative += "/level" + QByteArray::number(level).rightJustified(2, '0');
        folder(relative);
        tiff(relative + "/page.tif", 1);
    }
    FakeHost host;
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("root")}, true));
    ASSERT_EQ(host.files().size(), 30);
    EXPECT_EQ(host.files().tiffPages(), 30);
    // Depth first, a folder's subfolder ("level..") before its file ("page.tif").
    EXPECT_EQ(listed(host).first(), relative + "/page.tif");
    EXPECT_EQ(listed(host).last(), "root/level01/page.tif");
}

TEST_P(HostileTree, NamesThatAreNotUtf8AreListedCountedAndReachedAgain)
{
    folder("root");
    const QByteArray invalid = "root/bad\xff\xfe name.tif"; // not UTF-8 at all
    const QByteArray latin1 = "root/caf\xe9 %41.pdf";       // Latin-1, with a "%" in it
    tiffRaw(invalid, 2);
    pdfRaw(latin1, 3);
    FakeHost host;
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("root")}, false));
    ASSERT_EQ(listed(host), QList<QByteArray>({invalid, latin1}));
    EXPECT_EQ(host.files().tiffPages(), 2);
    EXPECT_EQ(host.files().pdfPages(), 3);

    for (const auto& item : host.files()) {
        // The item's URL leads back to the same bytes, also through its text, and the file
        // is measured again through it.
        const QUrl fileUrl = item->filePath();
        EXPECT_EQ(FileItem::nativePathOfUrl(fileUrl), item->nativePath());
        EXPECT_EQ(FileItem::nativePathOfUrl(QUrl(fileUrl.toString())), item->nativePath());
        const auto again = FileItem::initWithURL(fileUrl);
        ASSERT_TRUE(again);
        EXPECT_TRUE(again->isEqual(item.get()));
        EXPECT_EQ(again->pages(), item->pages());
        EXPECT_GT(again->size(), 0);
        EXPECT_TRUE(item->dateModified());
    }
    // Two names whose texts are alike stay two items.
    tiffRaw("root/bad\xff\xfd name.tif", 1);
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("root")}, false));
    EXPECT_EQ(host.files().size(), 3);
    // Given as files (a drop, a chooser), they are reached by their bytes too.
    FakeHost files;
    EXPECT_TRUE(FileSystemHelper(files, threads()).addFilesToList({host.files().at(0)->filePath()}));
    ASSERT_EQ(files.files().size(), 1);
    EXPECT_EQ(files.files().at(0)->pages(), 2);
}

TEST_P(HostileTree, NamesWithTabsLineBreaksAndQuotesAreListedAndExportedQuoted)
{
    folder("root");
    tiffRaw("root/a\tb.tif", 1);
    tiffRaw("root/c\nd.tif", 2);
    tiffRaw("root/e \"f\".tif", 3);
    FakeHost host;
    EXPECT_TRUE(FileSystemHelper(host, threads()).addFolderToList({url("root")}, false));
    ASSERT_EQ(listed(host), QList<QByteArray>({"root/a\tb.tif", "root/c\nd.tif", "root/e \"f\".tif"}));
    EXPECT_EQ(host.files().tiffPages(), 6);
    const QString text = exporter::text(host.files());
    EXPECT_TRUE(text.contains("\n\"a\tb.tif\"\t1\t"));
    EXPECT_TRUE(text.contains("\n\"c\nd.tif\"\t2\t"));
    EXPECT_TRUE(text.contains("\n\"e \"\"f\"\".tif\"\t3\t"));
}

TEST(HostileTreeScale, HundredThousandFilesInOneFolder)
{
    // On a memory file system where there is one: making 100,000 files on a disk's journal
    // takes many times longer than the scan under test.
    const bool shm = QFileInfo(QStringLiteral("/dev/shm")).isWritable();
    QTemporaryDir dir(shm ? QStringLiteral("/dev/shm/folimeter-test-XXXXXX") : QString());
    ASSERT_TRUE(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.filePath("many"));
    ASSERT_EQ(::mkdir(root.constData(), 0755), 0);
    constexpr int count = 100000;
    // Empty files pass the extension test and count 0 pages; every 10,000th is a real TIFF.
    for (int i = 0; i < count; ++i) {
        const QByteArray name = root + "/f" + QByteArray::number(i).rightJustified(6, '0') + ".tif";
        if (i % 10000 == 0) {
            ASSERT_TRUE(fixtures::writeTiff(QFile::decodeName(name), {.pages = 2}));
            continue;
        }
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name.constData();
        ::close(fd);
    }
    FakeHost host;
    EXPECT_TRUE(FileSystemHelper(host, 4).addFolderToList({FileItem::fileUrl(root)}, false));
    ASSERT_EQ(host.files().size(), count);
    EXPECT_EQ(host.files().tiffPages(), 20);
    EXPECT_TRUE(host.files().at(0)->nativePath().endsWith("/f000000.tif"));
    EXPECT_TRUE(host.files().at(count - 1)->nativePath().endsWith("/f099999.tif"));
}

} // namespace
