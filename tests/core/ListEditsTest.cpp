#include "list/ListEdits.h"
#include "model/FileList.h"

#include <gtest/gtest.h>

using Rows = std::vector<qsizetype>;

namespace {

FileList abcde()
{
    FileList files;
    for (const char* path : {"/l/A", "/l/B", "/l/C", "/l/D", "/l/E"})
        files.append(FileItem::makeForTesting(path, 1, 0));
    return files;
}

QString letters(const FileList& files)
{
    QString text;
    for (const FileItemPtr& item : files)
        text += item->name();
    return text;
}

QString checks(const FileList& files)
{
    QString text;
    for (const FileItemPtr& item : files)
        text += item->isSelected() ? QLatin1Char('x') : QLatin1Char('.');
    return text;
}

} // namespace

TEST(ListEdits, MoveUpMovesBlocksAndSelectionFollows)
{
    FileList files = abcde();
    EXPECT_EQ(listedits::moveUp(files, {3, 2}), Rows({1, 2}));
    EXPECT_EQ(letters(files), "ACDBE");

    files = abcde();
    EXPECT_EQ(listedits::moveUp(files, {1, 3}), Rows({0, 2}));
    EXPECT_EQ(letters(files), "BADCE");

    files = abcde();
    EXPECT_EQ(listedits::moveUp(files, {4, 4, 9}), Rows({3}));
    EXPECT_EQ(letters(files), "ABCED");
}

TEST(ListEdits, MoveUpWithFirstRowSelectedMovesNothing)
{
    FileList files = abcde();
    EXPECT_EQ(listedits::moveUp(files, {0, 2}), Rows({0, 2}));
    EXPECT_EQ(letters(files), "ABCDE");
    EXPECT_EQ(listedits::moveUp(files, {}), Rows());
}

TEST(ListEdits, MoveDownMovesBlocksAndSelectionFollows)
{
    FileList files = abcde();
    EXPECT_EQ(listedits::moveDown(files, {1, 2}), Rows({2, 3}));
    EXPECT_EQ(letters(files), "ADBCE");

    files = abcde();
    EXPECT_EQ(listedits::moveDown(files, {0, 2}), Rows({1, 3}));
    EXPECT_EQ(letters(files), "BADCE");
}

TEST(ListEdits, MoveDownWithLastRowSelectedMovesNothingAndSelectsNothing)
{
    FileList files = abcde();
    EXPECT_EQ(listedits::moveDown(files, {1, 4}), Rows());
    EXPECT_EQ(letters(files), "ABCDE");
}

TEST(ListEdits, MovesKeepPageSumsAndLookups)
{
    FileList files = abcde();
    listedits::moveDown(files, {0});
    EXPECT_EQ(files.indexOf(*files.at(0)), 0);
    EXPECT_EQ(files.indexOf(*files.at(1)), 1);
    EXPECT_TRUE(files.containsPath("/l/A"));
}

TEST(ListEdits, CheckMarksOfRowsByTag)
{
    FileList files = abcde();
    files.at(3)->setIsSelected(false);
    listedits::setCheckMarks(files, {3, 1}, listedits::InvertTag);
    EXPECT_EQ(checks(files), "x.xxx");
    listedits::setCheckMarks(files, {0, 4, 7}, listedits::UncheckTag);
    EXPECT_EQ(checks(files), "..xx.");
    listedits::setCheckMarks(files, {1}, listedits::CheckTag);
    EXPECT_EQ(checks(files), ".xxx.");
    listedits::setCheckMarks(files, {0, 1}, 4);
    EXPECT_EQ(checks(files), ".xxx.");
}

TEST(ListEdits, CheckMarksOfAllByTag)
{
    FileList files = abcde();
    files.at(0)->setIsSelected(false);
    listedits::setAllCheckMarks(files, listedits::InvertTag);
    EXPECT_EQ(checks(files), "x....");
    listedits::setAllCheckMarks(files, 5);
    EXPECT_EQ(checks(files), "x....");
    listedits::setAllCheckMarks(files, listedits::CheckTag);
    EXPECT_EQ(checks(files), "xxxxx");
    listedits::setAllCheckMarks(files, listedits::UncheckTag);
    EXPECT_EQ(checks(files), ".....");
}
