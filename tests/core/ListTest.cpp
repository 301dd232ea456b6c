#include "list/Exporter.h"
#include "list/Totals.h"
#include "model/FileList.h"
#include "support/Fixtures.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

FileList threeItems()
{
    FileList list;
    list.append(FileItem::makeForTesting("/s/a.tif", 4, 0));
    list.append(FileItem::makeForTesting("/s/b.TIFF", 2, 0));
    list.append(FileItem::makeForTesting("/s/c.pdf", 10, 0));
    return list;
}

TEST(Totals, Examples)
{
    const FileList empty;
    EXPECT_EQ(totalFilesText(0, 0, pageTotals(empty, {})),
              "0 Total file(s); 0 file selected; Total page count of selected TIFF file(s) : 0 PDF file(s) : 0");
    EXPECT_EQ(totalPagesText(pageTotals(empty)), "Total Pages TIFF : 0 PDF : 0");

    FileList list = threeItems();
    EXPECT_EQ(totalFilesText(list.size(), 2, pageTotals(list, {0, 2})),
              "3 Total file(s); 2 file selected; Total page count of selected TIFF file(s) : 4 PDF file(s) : 10");
    EXPECT_EQ(totalPagesText(pageTotals(list)), "Total Pages TIFF : 6 PDF : 10");
    for (const auto& item : list)
        item->setIsSelected(false); // check marks play no part
    EXPECT_EQ(totalFilesText(list.size(), 1, pageTotals(list, {1})),
              "3 Total file(s); 1 file selected; Total page count of selected TIFF file(s) : 2 PDF file(s) : 0");
    EXPECT_EQ(totalPagesText(pageTotals(list)), "Total Pages TIFF : 6 PDF : 10");
}

TEST(FileList, RunningSumsFollowAppendsAndRemovals)
{
    FileList list = threeItems();
    EXPECT_FALSE(list.append(FileItem::makeForTesting("/s/a.tif", 99, 0)));
    list.append(FileItem::makeForTesting("/s/d.jpg", 50, 0));
    list.append(FileItem::makeForTesting("/s/e.Pdf", 1, 0));
    EXPECT_EQ(pageTotals(list).tiff, 6);
    EXPECT_EQ(pageTotals(list).pdf, 11);
    list.removeAt({0, 4});
    EXPECT_EQ(pageTotals(list).tiff, 2);
    EXPECT_EQ(pageTotals(list).pdf, 10);
    EXPECT_TRUE(list.append(FileItem::makeForTesting("/s/a.tif", 3, 0)));
    EXPECT_EQ(list.indexOf(*list.at(3)), 3);
    // Sums past 32 bits do not wrap.
    for (int i = 0; i < 3; ++i)
        list.append(FileItem::makeForTesting(QByteArray("/big/") + char('a' + i) + ".pdf", 2'000'000'000, 0));
    EXPECT_EQ(pageTotals(list).pdf, 6'000'000'010);
    list.clear();
    EXPECT_EQ(pageTotals(list).pdf, 0);
}

TEST(Export, EmptyListIsTheHeaderOnly)
{
    const QString text = exporter::text(FileList());
    EXPECT_EQ(text, "Name\tPages\tSize\tType\tModified Date\tAccessed Date\tCreated Date\tLocation\n");
    EXPECT_EQ(text.toUtf8().size(), 71);
}

TEST(Export, OneLinePerItemWithDatesInUtcOrNull)
{
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 3}));
    FileList list;
    list.append(FileItem::fromNativePath(QFile::encodeName(dir.filePath("a.tif"))));
    list.append(FileItem::makeForTesting(QFile::encodeName(dir.filePath("gone.pdf")), 12, 1'500'000));
    list.at(0)->setIsSelected(false);
    const QStringList lines = exporter::text(list).split('\n');
    ASSERT_EQ(lines.size(), 4); // header, two items, and the empty rest after the last line feed
    EXPECT_EQ(lines[3], "");
    const QStringList first = lines[1].split('\t');
    ASSERT_EQ(first.size(), 8);
    EXPECT_EQ(first[0], "a.tif");
    EXPECT_EQ(first[1], "3");
    EXPECT_EQ(first[3], "tif");
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000$").match(first[4]).hasMatch())
        << first[4].toStdString();
    EXPECT_EQ(first[7], dir.path());
    EXPECT_EQ(lines[2], "gone.pdf\t12\t 1.5 MB\tpdf\t(null)\t(null)\t(null)\t" + dir.path());
    EXPECT_EQ(exporter::dateText(QDateTime(QDate(2011, 5, 3), QTime(10, 22, 33), Qt::UTC)),
              "2011-05-03 10:22:33 +0000");
}

TEST(Export, FieldsWithTabsBreaksOrQuotesAreQuoted)
{
    FileList list;
    list.append(FileItem::makeForTesting("/in\"box/tab\there.pdf", 1, 0));
    list.append(FileItem::makeForTesting("/x/line\nbreak.tif", 2, 0));
    const QStringList lines = exporter::text(list).split('\n');
    EXPECT_TRUE(lines[1].startsWith("\"tab\there.pdf\"\t1\t0 KB\tpdf\t"));
    EXPECT_TRUE(lines[1].endsWith("\t\"/in\"\"box\""));
    EXPECT_EQ(exporter::line(*list.at(1)).count('\t'), 7);
    EXPECT_TRUE(exporter::line(*list.at(1)).startsWith("\"line\nbreak.tif\"\t2\t"));
}

TEST(Export, DefaultNameAndFailedWrite)
{
    EXPECT_EQ(exporter::defaultFileName(QDateTime(QDate(2026, 12, 5), QTime(3, 4, 5))),
              "Export 05-Dec-2026 03-04-05 AM.txt");
    QString error;
    EXPECT_FALSE(exporter::writeToFile(threeItems(), "/nonexistent-folder/x.txt", &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
