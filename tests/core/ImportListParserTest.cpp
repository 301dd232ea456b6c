#include "gather/ImportListParser.h"
#include "app/Utilities.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QStringList parse(const QString& text)
{
    return fixtures::localPaths(parseImportList(text, allowedFileTypes()));
}

QString inCurrentFolder(const QString& relative)
{
    return QDir::currentPath() + "/" + relative;
}

TEST(ImportListParser, PathExtension)
{
    EXPECT_EQ(importListPathExtension("/a/x.pdf"), "pdf");
    EXPECT_EQ(importListPathExtension("/a/x.tif.bak"), "bak");
    EXPECT_EQ(importListPathExtension("/a.b/x"), "");
    EXPECT_EQ(importListPathExtension("/a/x."), "");
    EXPECT_EQ(importListPathExtension("/a/folder.pdf/"), "pdf");
    EXPECT_EQ(importListPathExtension("/a/x.pdf "), "pdf ");
    EXPECT_EQ(importListPathExtension(""), "");
    EXPECT_EQ(importListPathExtension("/"), "");
}

TEST(ImportListParser, WindowsLineEndsAreLineEnds)
{
    EXPECT_EQ(parse("/a/x.pdf\r\n/b/y.TIF\r\n"), QStringList({"/a/x.pdf", "/b/y.TIF"}));
    EXPECT_EQ(parse("/a/x.pdf\r\n/b/y.tiff\r"), QStringList({"/a/x.pdf", "/b/y.tiff"}));
    // Only the one carriage return right before the line end goes.
    EXPECT_EQ(parse("/a/x.pdf\r\r\n/b/y.pdf"), QStringList({"/b/y.pdf"}));
    EXPECT_EQ(parse("/a/x\r.pdf\n"), QStringList({"/a/x\r.pdf"}));
    // Carriage returns alone do not end lines: the text is one path.
    EXPECT_EQ(parse("/a/x.pdf\r/b/y.pdf\r"), QStringList({"/a/x.pdf\r/b/y.pdf"}));
}

TEST(ImportListParser, LinesAreTakenAsWritten)
{
    EXPECT_EQ(parse("/a/x.pdf \n"), QStringList());
    EXPECT_EQ(parse("/a/x.pdf,/b/y.pdf"), QStringList({"/a/x.pdf,/b/y.pdf"}));
    EXPECT_EQ(parse("  /a/x.pdf"), QStringList({inCurrentFolder("  /a/x.pdf")}));
    EXPECT_EQ(parse("x.pdf\n~/y.pdf"), QStringList({inCurrentFolder("x.pdf"), inCurrentFolder("~/y.pdf")}));
    EXPECT_EQ(parse("/a/./b/../c.pdf"), QStringList({"/a/./b/../c.pdf"}));
    EXPECT_EQ(parse("/a/folder.pdf/"), QStringList({"/a/folder.pdf/"}));
    EXPECT_EQ(parse("/a/100% #1?.pdf"), QStringList({"/a/100% #1?.pdf"}));
    EXPECT_EQ(parse(QString::fromUtf8("/Bücher/Straße.pdf")), QStringList({QString::fromUtf8("/Bücher/Straße.pdf")}));
}

TEST(ImportListParser, LeadingSlashesNameTheSameFileAsOne)
{
    // As a file URL, "//Scans/a.pdf" would have the host "scans" and read back as another file.
    EXPECT_EQ(parse("//Scans/a.PDF\n///Deep/b.tif\n"), QStringList({"/Scans/a.PDF", "/Deep/b.tif"}));
    EXPECT_EQ(parse("//Top.TIF"), QStringList({"/Top.TIF"}));
    // Only the start counts; inner slashes stay as written.
    EXPECT_EQ(parse("/a//b.pdf"), QStringList({"/a//b.pdf"}));
    // The same file written both ways is listed once.
    EXPECT_EQ(parse("/x/y.pdf\n//x/y.pdf"), QStringList({"/x/y.pdf"}));
}

TEST(ImportListParser, RelativePathsAreMadeAbsoluteAtParseTime)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const QList<QUrl> urls = parseImportList("sub/x.pdf", allowedFileTypes());
    ASSERT_TRUE(QDir::setCurrent(saved));
    ASSERT_EQ(urls.size(), 1);
    EXPECT_EQ(urls[0].toLocalFile(), QDir(dir.path()).canonicalPath() + "/sub/x.pdf");
    EXPECT_TRUE(urls[0].isLocalFile());
}

TEST(ImportListParser, ExtensionsByUpperCase)
{
    EXPECT_EQ(parse("/a.Tif\n/b.TIFF\n/c.pdf\n/d.tIfF\n/e.PDF"),
              QStringList({"/a.Tif", "/b.TIFF", "/c.pdf", "/d.tIfF", "/e.PDF"}));
    EXPECT_EQ(parse("/a.tif.bak\n/b\n\n/c.txt\n.\n/d.pd"), QStringList());
    // The types are compared after upper-casing: lower-case entries alone accept nothing,
    // and an empty entry never accepts extension-less lines.
    EXPECT_EQ(fixtures::localPaths(parseImportList("/a.pdf\n/b.PDF", {"pdf"})), QStringList());
    EXPECT_EQ(fixtures::localPaths(parseImportList("/a\n\n/b.pdf", {"", "PDF"})), QStringList({"/b.pdf"}));
    EXPECT_EQ(fixtures::localPaths(parseImportList("/a.pdf", {})), QStringList());
}

TEST(ImportListParser, FirstAppearanceKept)
{
    EXPECT_EQ(parse("/b/c.pdf\n/a/x.tif\n/b/c.pdf\n/a/x.tif\n/z.pdf"), QStringList({"/b/c.pdf", "/a/x.tif", "/z.pdf"}));
    EXPECT_EQ(parse("/b/c.PDF\n/b/C.PDF\n/b/c.pdf"), QStringList({"/b/c.PDF", "/b/C.PDF", "/b/c.pdf"}));
    EXPECT_EQ(parse("/a/x.pdf\r\n/a/x.pdf\n/a/x.pdf"), QStringList({"/a/x.pdf"}));
    EXPECT_EQ(parse(inCurrentFolder("r.pdf") + "\nr.pdf"), QStringList({inCurrentFolder("r.pdf")}));
}

TEST(ImportListParser, AppendSkipsWhatIsThere)
{
    QList<QUrl> files{QUrl::fromLocalFile("/a/x.pdf")};
    appendImportList("/b/y.pdf\n/a/x.pdf\n/b/y.pdf", allowedFileTypes(), files);
    EXPECT_EQ(fixtures::localPaths(files), QStringList({"/a/x.pdf", "/b/y.pdf"}));
    appendImportList(QString(), allowedFileTypes(), files);
    EXPECT_EQ(files.size(), 2);
}

TEST(ImportListParser, ListFiles)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString good = dir.filePath("good.txt");
    ASSERT_TRUE(fixtures::writeBytes(good, "/a/x.pdf\r\n/b/Y.Tiff\r\n/c/z.doc\r\n"));
    EXPECT_EQ(fixtures::localPaths(parseImportListFile(good, allowedFileTypes())),
              QStringList({"/a/x.pdf", "/b/Y.Tiff"}));

    const QString latin1 = dir.filePath("latin1.txt");
    ASSERT_TRUE(fixtures::writeBytes(latin1, "/a/x.pdf\n/b/\xe9t\xe9.pdf\n"));
    EXPECT_TRUE(parseImportListFile(latin1, allowedFileTypes()).isEmpty());

    EXPECT_TRUE(parseImportListFile(dir.filePath("missing.txt"), allowedFileTypes()).isEmpty());
    EXPECT_TRUE(parseImportListFile(dir.path(), allowedFileTypes()).isEmpty());
}

} // namespace
