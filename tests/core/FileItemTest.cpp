#include "model/FileItem.h"
#include "model/PageCounter.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class PageCount : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    qint32 count(const QString& name, const QString& password = QString()) const
    {
        return getTiffPageCount(QUrl::fromLocalFile(path(name)), password);
    }
    QTemporaryDir m_dir;
};

TEST_F(PageCount, CountsTiffImagesInBothByteOrdersAndBigTiff)
{
    ASSERT_TRUE(fixtures::writeTiff(path("le.tif"), {.pages = 3}));
    ASSERT_TRUE(fixtures::writeTiff(path("be.tif"), {.pages = 4, .bigEndian = true}));
    ASSERT_TRUE(fixtures::writeTiff(path("big.tiff"), {.pages = 5, .bigTiff = true}));
    ASSERT_TRUE(fixtures::writeTiff(path("lzw.tif"), {.pages = 2, .compression = fixtures::TiffCompression::Lzw}));
    ASSERT_TRUE(fixtures::writeTiff(path("g4.tif"), {.pages = 7, .compression = fixtures::TiffCompression::Ccitt4}));
    EXPECT_EQ(count("le.tif"), 3);
    EXPECT_EQ(count("be.tif"), 4);
    EXPECT_EQ(count("big.tiff"), 5);
    EXPECT_EQ(count("lzw.tif"), 2);
    EXPECT_EQ(count("g4.tif"), 7);
}

TEST_F(PageCount, ContentDecidesNotTheName)
{
    ASSERT_TRUE(fixtures::writeTiff(path("scan.pdf"), {.pages = 6}));
    ASSERT_TRUE(fixtures::writePdf(path("doc.tif"), {.pages = 9}));
    ASSERT_TRUE(fixtures::writePdf(path("doc.Pdf"), {.pages = 9}));
    ASSERT_TRUE(fixtures::writePdf(path("doc.pdfx"), {.pages = 9}));
    EXPECT_EQ(count("scan.pdf"), 6); // a TIFF by content counts its images under any name
    EXPECT_EQ(count("doc.tif"), 0);  // a PDF is read as one only under a .pdf name
    EXPECT_EQ(count("doc.Pdf"), 9);  // in any letter case
    EXPECT_EQ(count("doc.pdfx"), 0);
}

TEST_F(PageCount, CountsPdfStructures)
{
    ASSERT_TRUE(fixtures::writePdf(path("plain.pdf"), {.pages = 12}));
    ASSERT_TRUE(fixtures::writePdf(path("objstm.pdf"), {.pages = 30, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writePdf(path("linear.pdf"), {.pages = 8, .linearize = true}));
    EXPECT_EQ(count("plain.pdf"), 12);
    EXPECT_EQ(count("objstm.pdf"), 30);
    EXPECT_EQ(count("linear.pdf"), 8);
}

// Files far larger than one read of the counter: directories, cross-reference tables and
// trailers lie at many offsets, some across the boundary of two reads.
TEST_F(PageCount, CountsFilesThatSpanManyReads)
{
    ASSERT_TRUE(fixtures::writeTiff(path("le.tif"), {.pages = 150, .width = 100, .height = 90}));
    ASSERT_TRUE(fixtures::writeTiff(path("be.tif"), {.pages = 149, .bigEndian = true, .width = 77, .height = 51}));
    ASSERT_TRUE(fixtures::writeTiff(path("big.tiff"), {.pages = 151, .bigTiff = true, .width = 130, .height = 20}));
    ASSERT_TRUE(fixtures::writePdf(path("plain.pdf"), {.pages = 700}));
    ASSERT_TRUE(fixtures::writePdf(path("objstm.pdf"), {.pages = 701, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writePdf(path("linear.pdf"), {.pages = 702, .linearize = true}));
    for (const char* name : {"le.tif", "be.tif", "big.tiff", "plain.pdf", "objstm.pdf", "linear.pdf"})
        ASSERT_GT(QFileInfo(path(name)).size(), 64 * 1024) << name;
    EXPECT_EQ(count("le.tif"), 150);
    EXPECT_EQ(count("be.tif"), 149);
    EXPECT_EQ(count("big.tiff"), 151);
    EXPECT_EQ(count("plain.pdf"), 700);
    EXPECT_EQ(count("objstm.pdf"), 701);
    EXPECT_EQ(count("linear.pdf"), 702);
}

// A locked PDF counts the pages of a tree it keeps outside object streams (its dictionaries are
// not encrypted), and 0 when the tree is inside them.
TEST_F(PageCount, EncryptedPdfCountsWhatItsPasswordDoesNotHide)
{
    using fixtures::PdfEncryption;
    ASSERT_TRUE(fixtures::writePdf(path("rc4.pdf"), {.pages = 3, .encryption = PdfEncryption::Rc4_128}));
    ASSERT_TRUE(fixtures::writePdf(path("aes.pdf"), {.pages = 4, .encryption = PdfEncryption::Aes256}));
    ASSERT_TRUE(fixtures::writePdf(path("locked.pdf"),
                                   {.pages = 5, .encryption = PdfEncryption::Aes256, .userPassword = "secret"}));
    ASSERT_TRUE(fixtures::writePdf(
        path("hidden.pdf"),
        {.pages = 6, .objectStreams = true, .encryption = PdfEncryption::Aes256, .userPassword = "secret"}));
    EXPECT_EQ(count("rc4.pdf"), 3);
    EXPECT_EQ(count("aes.pdf"), 4);
    EXPECT_EQ(count("locked.pdf"), 5);
    EXPECT_EQ(count("locked.pdf", "secret"), 5);
    EXPECT_EQ(count("hidden.pdf"), 0);
    EXPECT_EQ(count("hidden.pdf", "secret"), 6);

    const auto locked = [&](const QString& name) {
        return FileItem::initWithURL(QUrl::fromLocalFile(path(name)))->isPasswordProtected();
    };
    EXPECT_FALSE(locked("rc4.pdf"));
    EXPECT_FALSE(locked("aes.pdf"));
    EXPECT_TRUE(locked("locked.pdf"));
    EXPECT_TRUE(locked("hidden.pdf"));
    EXPECT_FALSE(measurePages(QFile::encodeName(path("locked.pdf")), "secret").passwordProtected);
}

TEST_F(PageCount, BrokenAndMissingFilesCountZero)
{
    ASSERT_TRUE(fixtures::writePdf(path("whole.pdf"), {.pages = 4}));
    ASSERT_TRUE(fixtures::writeTiff(path("whole.tif"), {.pages = 4}));
    const QByteArray pdf = fixtures::readBytes(path("whole.pdf"));
    const QByteArray tiff = fixtures::readBytes(path("whole.tif"));
    ASSERT_TRUE(fixtures::writeBytes(path("head.pdf"), pdf.left(40)));
    ASSERT_TRUE(fixtures::writeBytes(path("head.tif"), tiff.left(6)));
    ASSERT_TRUE(fixtures::writeBytes(path("empty.pdf"), {}));
    ASSERT_TRUE(fixtures::writeBytes(path("empty.tif"), {}));
    ASSERT_TRUE(fixtures::writeBytes(path("noise.pdf"), QByteArray(4096, '\xA5')));
    EXPECT_EQ(count("head.pdf"), 0);
    EXPECT_EQ(count("head.tif"), 0);
    EXPECT_EQ(count("empty.pdf"), 0);
    EXPECT_EQ(count("empty.tif"), 0);
    EXPECT_EQ(count("noise.pdf"), 0);
    EXPECT_EQ(count("missing.pdf"), 0);
    EXPECT_EQ(getTiffPageCount(QUrl()), 0);
    EXPECT_EQ(getTiffPageCount(QUrl("https://example.invalid/a.pdf")), 0);
}

TEST_F(PageCount, PrintsNothingAndIsSafeOnSeveralThreads)
{
    ASSERT_TRUE(fixtures::writePdf(path("a.pdf"), {.pages = 21, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writeTiff(path("b.tif"), {.pages = 13}));
    const QByteArray pdf = fixtures::readBytes(path("a.pdf"));
    // Damaged in the middle: qpdf would warn while it recovers.
    QByteArray damaged = pdf;
    damaged.replace(damaged.size() / 3, 20, QByteArray(20, 'x'));
    ASSERT_TRUE(fixtures::writeBytes(path("damaged.pdf"), damaged));
    ASSERT_TRUE(fixtures::writeBytes(path("cut.tif"), fixtures::readBytes(path("b.tif")).left(300)));

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    std::atomic_int wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                if (count("a.pdf") != 21 || count("b.tif") != 13)
                    ++wrong;
                count("damaged.pdf");
                count("cut.tif");
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
}

class FileItemTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

TEST_F(FileItemTest, MeasuresSizeAndPagesOnce)
{
    ASSERT_TRUE(fixtures::writeTiff(path("a.tif"), {.pages = 3, .width = 300, .height = 300}));
    const auto item = FileItem::initWithURL(QUrl::fromLocalFile(path("a.tif")));
    ASSERT_TRUE(item);
    EXPECT_TRUE(item->isSelected());
    EXPECT_EQ(item->pages(), 3);
    EXPECT_GT(item->size(), 0);
    EXPECT_EQ(item->size() % 512, 0); // allocated blocks, not the length in bytes
    EXPECT_EQ(item->name(), "a.tif");
    EXPECT_EQ(item->location(), m_dir.path());
    EXPECT_EQ(item->type(), "tif");
    EXPECT_EQ(item->typeToUpper(), "TIF");
    EXPECT_TRUE(item->dateModified().has_value());
    EXPECT_TRUE(item->dateAccessed().has_value());

    QFile::remove(path("a.tif"));
    EXPECT_EQ(item->pages(), 3);                    // measured once
    EXPECT_FALSE(item->dateModified().has_value()); // dates follow the file
}

TEST_F(FileItemTest, MissingFileStillMakesAnItem)
{
    const auto item = FileItem::initWithURL(QUrl::fromLocalFile(path("gone.pdf")));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->pages(), 0);
    EXPECT_EQ(item->size(), 0);
    EXPECT_EQ(item->sizeInKB(), "0 KB");
    EXPECT_FALSE(item->dateModified());
    EXPECT_FALSE(item->dateCreated());
    EXPECT_FALSE(item->dateAccessed());
    EXPECT_FALSE(item->displayField("dateModified").isValid());
}

TEST_F(FileItemTest, NoItemForNonFileUrls)
{
    EXPECT_FALSE(FileItem::initWithURL(QUrl()));
    EXPECT_FALSE(FileItem::initWithURL(QUrl("https://example.invalid/a.pdf")));
}

TEST_F(FileItemTest, RelativePathsTakenAgainstCurrentFolder)
{
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    const auto item = FileItem::initWithURL(QUrl::fromLocalFile("sub/../x.tif"));
    QDir::setCurrent(previous);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->path(), m_dir.path() + "/sub/../x.tif"); // absolute, not normalised
    EXPECT_EQ(item->filePath(), QUrl::fromLocalFile(m_dir.path() + "/sub/../x.tif"));
}

TEST(FileItem, EqualWhenUrlTextsEqual)
{
    const auto a = FileItem::makeForTesting("/scans/Box/a.tif", 1, 0);
    const auto same = FileItem::makeForTesting("/scans/Box/a.tif", 5, 100);
    const auto otherCase = FileItem::makeForTesting("/scans/box/a.tif", 1, 0);
    const auto dotted = FileItem::makeForTesting("/scans/./Box/a.tif", 1, 0);
    EXPECT_TRUE(a->isEqual(a.get()));
    EXPECT_TRUE(a->isEqual(same.get()));
    EXPECT_FALSE(a->isEqual(otherCase.get()));
    EXPECT_FALSE(a->isEqual(dotted.get()));
    EXPECT_FALSE(a->isEqual(nullptr));
}

TEST(FileItem, DerivedTexts)
{
    const auto item = FileItem::makeForTesting("/data/Scans.v2/report.final.TIFF", 2, 0);
    EXPECT_EQ(item->name(), "report.final.TIFF");
    EXPECT_EQ(item->location(), "/data/Scans.v2");
    EXPECT_EQ(item->type(), "TIFF");
    EXPECT_EQ(item->typeToUpper(), "TIFF");
    const auto noExtension = FileItem::makeForTesting("/data.d/README", 0, 0);
    EXPECT_EQ(noExtension->type(), "");
    const auto atRoot = FileItem::makeForTesting("/a.pdf", 0, 0);
    EXPECT_EQ(atRoot->location(), "/");
    const auto empty = FileItem::makeForTesting("", 0, 0);
    EXPECT_EQ(empty->name(), "");
    EXPECT_EQ(empty->location(), "");
    EXPECT_EQ(empty->type(), "");
    EXPECT_TRUE(empty->filePath().isEmpty());
}

TEST(FileItem, DisplayFieldIgnoresIdentifierCase)
{
    const auto item = FileItem::makeForTesting("/x/a.tif", 7, 1500);
    item->setIsSelected(false);
    EXPECT_EQ(item->displayField("isselected"), QVariant(false));
    EXPECT_EQ(item->displayField("ISSELECTED"), QVariant(false));
    EXPECT_EQ(item->displayField("name"), QVariant("a.tif"));
    EXPECT_EQ(item->displayField("Pages"), QVariant(7));
    EXPECT_EQ(item->displayField("sizeInKB"), QVariant("2 KB"));
    EXPECT_EQ(item->displayField("TYPE"), QVariant("tif"));
    EXPECT_EQ(item->displayField("location"), QVariant("/x"));
    EXPECT_EQ(item->displayField("color"), QVariant(""));
    EXPECT_EQ(item->displayField(""), QVariant(""));
}

TEST(FileItem, DisplayDatePattern)
{
    const QDateTime morning(QDate(2011, 5, 3), QTime(9, 5, 33));
    const QDateTime evening(QDate(2011, 12, 13), QTime(22, 41, 0));
    EXPECT_EQ(FileItem::displayDate(morning), "03-May-2011 9:05 AM");
    EXPECT_EQ(FileItem::displayDate(evening), "13-Dec-2011 10:41 PM");
}

TEST(FileItem, SizeTexts)
{
    EXPECT_EQ(FileItem::sizeText(0), "0 KB");
    EXPECT_EQ(FileItem::sizeText(499), "0 KB");
    EXPECT_EQ(FileItem::sizeText(500), "1 KB");
    EXPECT_EQ(FileItem::sizeText(1'500), "2 KB");
    EXPECT_EQ(FileItem::sizeText(999'499), "999 KB");
    EXPECT_EQ(FileItem::sizeText(1'000'000), "1000 KB");
    EXPECT_EQ(FileItem::sizeText(1'000'001), " 1 MB");
    EXPECT_EQ(FileItem::sizeText(1'250'000), " 1.2 MB");
    EXPECT_EQ(FileItem::sizeText(1'500'000), " 1.5 MB");
    EXPECT_EQ(FileItem::sizeText(2'000'000), " 2 MB");
    EXPECT_EQ(FileItem::sizeText(9'960'000), "10 MB");
    EXPECT_EQ(FileItem::sizeText(12'345'678), "12.3 MB");
    EXPECT_EQ(FileItem::sizeText(123'456'789), "123.5 MB");
    EXPECT_EQ(FileItem::sizeText(999'960'000), "1000 MB");
    EXPECT_EQ(FileItem::sizeText(1'000'000'000), "1000 MB");
    EXPECT_EQ(FileItem::sizeText(1'500'000'000), " 1.5 GB");
    EXPECT_EQ(FileItem::sizeText(2'147'483'647), " 2.1 GB");
    // Past 32 bits the text goes on into GB and TB.
    EXPECT_EQ(FileItem::sizeText(2'147'483'648), " 2.1 GB");
    EXPECT_EQ(FileItem::sizeText(3'000'000'000'000), " 3 TB");
    EXPECT_EQ(FileItem::sizeText(2'000'000'000'000'000), "2000 TB");
}

TEST(FileItem, SizeTextIgnoresProcessLocale)
{
    std::setlocale(LC_ALL, "de_DE.UTF-8"); // may be absent; then the C locale stays
    EXPECT_EQ(FileItem::sizeText(1'500'000), " 1.5 MB");
    std::setlocale(LC_ALL, "C");
}

} // namespace
