#include "gather/ImportListParser.h"
#include "app/Utilities.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

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
