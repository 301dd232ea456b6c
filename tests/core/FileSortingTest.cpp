#include "list/FileSorting.h"
#include "model/FileList.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using filesorting::sortDescriptorsAfterClick;
using filesorting::sortFiles;

namespace {

FileList listOf(const std::vector<std::tuple<const char*, qint32, qint64>>& rows)
{
    FileList files;
    for (const auto& [path, pages, size] : rows)
        files.append(FileItem::makeForTesting(path, pages, size));
    return files;
}

QStringList names(const FileList& files)
{
    QStringList result;
    for (const FileItemPtr& item : files)
        result.append(item->name());
    return result;
}

const QLocale kEnglish(QLocale::English, QLocale::UnitedStates);

} // namespace

TEST(FileSorting, NamesIgnoreCaseAndOrderDigitRunsByValue)
{
    FileList files = listOf({{"/d/scan10.tif", 1, 0},
                             {"/d/Scan2.tif", 1, 0},
                             {"/d/scan1.tif", 1, 0},
                             {"/d/b.pdf", 1, 0},
                             {"/d/A.pdf", 1, 0}});
    sortFiles(files, {{"name", true}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"A.pdf", "b.pdf", "scan1.tif", "Scan2.tif", "scan10.tif"}));
    sortFiles(files, {{"name", false}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"scan10.tif", "Scan2.tif", "scan1.tif", "b.pdf", "A.pdf"}));
}

TEST(FileSorting, CLocaleStillOrdersDigitRunsByValue)
{
    FileList files = listOf({{"/d/p10.tif", 1, 0}, {"/d/p9.tif", 1, 0}, {"/d/P1.tif", 1, 0}});
    sortFiles(files, {{"name", true}}, QLocale(QLocale::C));
    EXPECT_EQ(names(files), QStringList({"P1.tif", "p9.tif", "p10.tif"}));
}

TEST(FileSorting, PagesAndSizeCompareAsNumbers)
{
    FileList files = listOf({{"/d/a.tif", 10, 900}, {"/d/b.tif", 9, 10000}, {"/d/c.tif", 100, 80}});
    sortFiles(files, {{"pages", true}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"b.tif", "a.tif", "c.tif"}));
    sortFiles(files, {{"size", false}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"b.tif", "a.tif", "c.tif"}));
    sortFiles(files, {{"size", true}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"c.tif", "a.tif", "b.tif"}));
}

TEST(FileSorting, LaterKeysBreakTiesOnly)
{
    FileList files = listOf({{"/d/x2.pdf", 3, 0}, {"/d/x1.tif", 5, 0}, {"/d/x3.tif", 3, 0}, {"/d/x0.tif", 5, 0}});
    sortFiles(files, {{"pages", false}, {"name", true}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"x0.tif", "x1.tif", "x2.pdf", "x3.tif"}));
    sortFiles(files, {{"type", true}, {"pages", true}, {"name", false}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"x2.pdf", "x3.tif", "x1.tif", "x0.tif"}));
}

TEST(FileSorting, CheckMarksLocationAndStability)
{
    FileList files = listOf({{"/b/a.tif", 1, 0}, {"/a/b.tif", 1, 0}, {"/a/c.tif", 1, 0}, {"/b10/d.tif", 1, 0}});
    files.at(0)->setIsSelected(false);
    files.at(2)->setIsSelected(false);
    sortFiles(files, {{"isSelected", true}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"a.tif", "c.tif", "b.tif", "d.tif"}));
    sortFiles(files, {{"location", true}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"c.tif", "b.tif", "a.tif", "d.tif"}));
}

TEST(FileSorting, UnknownKeysAndNoKeysKeepTheOrder)
{
    FileList files = listOf({{"/d/b.tif", 2, 0}, {"/d/a.tif", 1, 0}});
    sortFiles(files, {}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"b.tif", "a.tif"}));
    sortFiles(files, {{"sizeInKB", true}, {"colour", false}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"b.tif", "a.tif"}));
    EXPECT_FALSE(filesorting::isSortKey("sizeInKB"));
    EXPECT_TRUE(filesorting::isSortKey("DATEMODIFIED"));
}

TEST(FileSorting, DatesCompareAsDatesWithAbsentDatesFirst)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QDateTime base = QDateTime::fromString("2024-03-01T12:00:00Z", Qt::ISODate);
    // Modification times chosen so that text order and time order disagree.
    const std::vector<std::pair<QString, qint64>> made = {{"a.tif", 86400 * 40}, {"b.tif", 0}, {"c.tif", 86400 * 3}};
    FileList files;
    for (const auto& [name, offset] : made) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.setFileTime(base.addSecs(offset), QFileDevice::FileModificationTime));
        file.close();
        files.append(FileItem::fromNativePath(QFile::encodeName(dir.filePath(name))));
    }
    files.append(FileItem::makeForTesting(QFile::encodeName(dir.filePath("gone.tif")), 1, 0));

    sortFiles(files, {{"dateModified", true}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"gone.tif", "b.tif", "c.tif", "a.tif"}));
    sortFiles(files, {{"dateModified", false}}, kEnglish);
    EXPECT_EQ(names(files), QStringList({"a.tif", "c.tif", "b.tif", "gone.tif"}));
}

TEST(FileSorting, HeaderClickMakesPrimaryKeepsEarlierKeysAsTieBreakers)
{
    SortDescriptors order = sortDescriptorsAfterClick({}, "name");
    EXPECT_EQ(order, SortDescriptors({{"name", true}}));
    order = sortDescriptorsAfterClick(order, "name");
    EXPECT_EQ(order, SortDescriptors({{"name", false}}));
    order = sortDescriptorsAfterClick(order, "pages");
    EXPECT_EQ(order, SortDescriptors({{"pages", true}, {"name", false}}));
    order = sortDescriptorsAfterClick(order, "size");
    EXPECT_EQ(order, SortDescriptors({{"size", true}, {"pages", true}, {"name", false}}));
    order = sortDescriptorsAfterClick(order, "name");
    EXPECT_EQ(order, SortDescriptors({{"name", true}, {"size", true}, {"pages", true}}));
}
