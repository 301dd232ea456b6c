#include "model/FileItem.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>

namespace {

// Size (allocated blocks) and pages are measured once, when the item is made, also for a file
// that is not there; dates are read each time. A relative path is taken against the current
// folder, not cleaned; a URL that is no file makes no item.
TEST(FileItem, MeasuresOnceAndReadsDatesEachTime)
{
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 3, .width = 300, .height = 300}));
    ASSERT_TRUE(fixtures::writePdf(dir.filePath("locked.pdf"),
                                   {.encryption = fixtures::PdfEncryption::Aes256, .userPassword = "secret"}));
    const auto item = FileItem::initWithURL(QUrl::fromLocalFile(dir.filePath("a.tif")));
    EXPECT_TRUE(item->isSelected() && !item->isPasswordProtected() && item->dateModified() && item->dateAccessed());
    EXPECT_EQ(item->pages(), 3);
    EXPECT_GE(item->size(), 300 * 300 * 3);
    EXPECT_EQ(item->size() % 512, 0);
    QFile::remove(dir.filePath("a.tif"));
    EXPECT_EQ(item->pages(), 3);
    EXPECT_FALSE(item->dateModified());
    EXPECT_TRUE(FileItem::fromNativePath(QFile::encodeName(dir.filePath("locked.pdf")))->isPasswordProtected());
    const auto gone = FileItem::initWithURL(QUrl::fromLocalFile(dir.filePath("a.tif")));
    EXPECT_EQ(gone->pages() + gone->size(), 0);
    EXPECT_FALSE(gone->dateModified() || gone->dateCreated() || gone->dateAccessed());
    EXPECT_FALSE(gone->displayField("dateModified").isValid());
    EXPECT_FALSE(FileItem::initWithURL(QUrl()) || FileItem::initWithURL(QUrl("https://example.invalid/a.pdf")) ||
                 FileItem::fromNativePath({}));
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const auto relative = FileItem::initWithURL(QUrl::fromLocalFile("sub/../x.tif"));
    QDir::setCurrent(previous);
    EXPECT_EQ(relative->filePath(), QUrl::fromLocalFile(dir.path() + "/sub/../x.tif"));
}

// Equal exactly when the URL texts are; name, folder and type from the path.
TEST(FileItem, EqualityAndTextsComeFromThePathAsWritten)
{
    const auto a = FileItem::makeForTesting("/scans/Box/a.tif", 1, 0);
    EXPECT_TRUE(a->isEqual(a.get()) && a->isEqual(FileItem::makeForTesting("/scans/Box/a.tif", 5, 100).get()));
    for (const char* other : {"/scans/box/a.tif", "/scans/./Box/a.tif"})
        EXPECT_FALSE(a->isEqual(FileItem::makeForTesting(other, 1, 0).get())) << other;
    EXPECT_FALSE(a->isEqual(nullptr));
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"/data/Scans.v2/report.final.TIFF", "report.final.TIFF", "/data/Scans.v2", "TIFF"},
        {"/data.d/README", "README", "/data.d", ""},
        {"/a.pdf", "a.pdf", "/", "pdf"},
        {"", "", "", ""},
    };
    for (const auto& [path, name, location, type] : cases) {
        const auto item = FileItem::makeForTesting(path, 2, 0);
        EXPECT_EQ(QStringList({item->name(), item->location(), item->type(), item->typeToUpper()}),
                  QStringList({name, location, type, QString(type).toUpper()}));
    }
}

// Cells by column identifier in any letter case; dates as "dd-MMM-yyyy h:mm a"; sizes in KB up
// to a million bytes, then with one decimal in MB, GB and TB, whatever the process's locale.
TEST(FileItem, DisplayTexts)
{
    const auto item = FileItem::makeForTesting("/x/a.tif", 7, 1500);
    item->setIsSelected(false);
    const std::pair<const char*, QVariant> fields[] = {
        {"isselected", false}, {"ISSELECTED", false}, {"name", "a.tif"},  {"Pages", 7},
        {"sizeInKB", "2 KB"},  {"TYPE", "tif"},       {"location", "/x"}, {"color", ""},
    };
    for (const auto& [identifier, value] : fields)
        EXPECT_EQ(item->displayField(identifier), value) << identifier;
    EXPECT_EQ(FileItem::displayDate(QDateTime(QDate(2011, 5, 3), QTime(9, 5, 33))), "03-May-2011 9:05 AM");
    EXPECT_EQ(FileItem::displayDate(QDateTime(QDate(2011, 12, 13), QTime(22, 41, 0))), "13-Dec-2011 10:41 PM");
    std::setlocale(LC_ALL, "de_DE.UTF-8"); // may be absent; then the C locale stays
    const std::pair<qint64, const char*> sizes[] = {
        {499, "0 KB"},
        {500, "1 KB"},
        {1'000'000, "1000 KB"},
        {1'000'001, " 1 MB"},
        {1'250'000, " 1.2 MB"},
        {9'960'000, "10 MB"},
        {123'456'789, "123.5 MB"},
        {999'960'000, "1000 MB"},
        {1'000'000'000, "1000 MB"},
        {1'500'000'000, " 1.5 GB"},
        {2'147'483'648, " 2.1 GB"},
        {3'000'000'000'000, " 3 TB"},
        {2'000'000'000'000'000, "2000 TB"},
    };
    for (const auto& [bytes, text] : sizes)
        EXPECT_EQ(FileItem::sizeText(bytes), text) << bytes;
    std::setlocale(LC_ALL, "C");
}

} // namespace
