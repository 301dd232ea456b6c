// The listed files and what the list commands do with them: the items and their texts, sorting,
// moves, check marks, totals and export.

#include "list/Exporter.h"
#include "list/FileSorting.h"
#include "list/ListEdits.h"
#include "list/Totals.h"
#include "model/FileItem.h"
#include "model/FileList.h"
#include "support/Fixtures.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <clocale>
#include <random>

namespace {

using Rows = std::vector<qsizetype>;

FileList listOf(const QByteArrayList& paths, const std::vector<qint64>& sizes = {})
{
    FileList files;
    for (qsizetype i = 0; i < paths.size(); ++i)
        files.append(FileItem::makeForTesting(paths[i], qint32(i % 4 + 1), sizes.empty() ? 0 : sizes[size_t(i)]));
    return files;
}

// Names without their extension, in list order; "." marks an unchecked item.
QString names(const FileList& files)
{
    QStringList result;
    for (const FileItemPtr& item : files)
        result << item->name().section('.', 0, 0) + (item->isSelected() ? "" : ".");
    return result.join(' ');
}

// Size (allocated blocks) and pages are measured once, when the item is made, also for a file that
// is not there; dates are read each time. A relative path is taken against the current folder, not
// cleaned; a URL that is no file makes no item.
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
        {"b.tif", "b.tif", "/", "tif"},
        {"/x/b.", "b.", "/x", ""},
        {"/x/.tif", ".tif", "/x", "tif"},
        {"x/b.tif", "b.tif", "x", "tif"},
        {"", "", "", ""}};
    for (const auto& [path, name, location, type] : cases) {
        const auto item = FileItem::makeForTesting(path, 2, 0);
        EXPECT_EQ(QStringList({item->name(), item->location(), item->type(), item->typeToUpper()}),
                  QStringList({name, location, type, QString(type).toUpper()}));
    }
}

// Cells by column identifier in any letter case; dates as "dd-MMM-yyyy h:mm a"; sizes in KB up to a
// million bytes, then with one decimal in MB, GB and TB, whatever the process's locale.
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
    std::setlocale(LC_ALL,
                   "de_DE.UTF-8"); // may be absent; then the C locale stays
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

// Texts by letter case ignored and digit runs by value (in the C locale too), numbers as numbers,
// unchecked first, later keys breaking ties, unknown keys ordering nothing.
TEST(FileSorting, OrdersByEveryKeyAndBreaksTiesWithTheLaterOnes)
{
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const std::pair<SortDescriptors, const char*> cases[] = {
        {{{"name", true}}, "A b p1 P2 p9 p10 x0. x1 x2. x3"},
        {{{"NAME", false}}, "x3 x2. x1 x0. p10 p9 P2 p1 b A"},
        {{{"pages", true}, {"name", false}}, "x2. p9 b p10 p1 A x3 P2 x1 x0."},
        {{{"size", false}, {"location", true}}, "A x3 x0. p10 p1 x1 P2 x2. b p9"},
        {{{"type", true}, {"pages", false}}, "P2 A p9 x2. x0. x1 x3 p1 p10 b"},
        {{{"isSelected", true}}, "x0. x2. A b p1 P2 p9 p10 x1 x3"},
        {{{"sizeInKB", true}, {"colour", false}}, "A b p1 P2 p9 p10 x0. x1 x2. x3"},
    };
    FileList files = listOf({"/d/x2.pdf", "/e/p10.tif", "/d/P2.pdf", "/d/x0.tif", "/d/b.tif", "/d/p1.tif",
                             "/a10/x3.tif", "/d/x1.tif", "/d/p9.pdf", "/a2/A.pdf"},
                            {500, 9000, 700, 9000, 80, 900, 9000, 800, 1, 9000});
    files.at(0)->setIsSelected(false);
    files.at(3)->setIsSelected(false);
    for (const auto& [order, expected] : cases) {
        filesorting::sortFiles(files, {{"name", true}}, english);
        filesorting::sortFiles(files, order, english);
        EXPECT_EQ(names(files), expected);
    }
    filesorting::sortFiles(files, {{"name", false}}, QLocale::c());
    EXPECT_EQ(names(files), "x3 x2. x1 x0. p10 p9 P2 p1 b A");
    EXPECT_TRUE(filesorting::isSortKey("DATEMODIFIED") && !filesorting::isSortKey("sizeInKB"));

    // A header click makes its key primary (reversed when it was), the others tie-breakers.
    SortDescriptors order;
    for (const char* key : {"name", "name", "pages", "size", "name"})
        order = filesorting::sortDescriptorsAfterClick(order, key);
    EXPECT_EQ(order, SortDescriptors({{"name", true}, {"size", true}, {"pages", true}}));
    EXPECT_EQ(filesorting::sortDescriptorsAfterClick({{"name", true}}, "name"), SortDescriptors({{"name", false}}));
}

TEST(FileSorting, DatesCompareAsDatesWithAbsentDatesFirst)
{
    QTemporaryDir dir;
    // Modification times chosen so that text order and time order disagree.
    FileList files;
    for (const auto& [name, days] : std::initializer_list<std::pair<const char*, int>>{{"a", 40}, {"b", 0}, {"c", 3}}) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) &&
                    file.setFileTime(QDateTime(QDate(2024, 3, 1), QTime(12, 0)).addDays(days),
                                     QFileDevice::FileModificationTime));
        file.close();
        files.append(FileItem::fromNativePath(QFile::encodeName(dir.filePath(name))));
    }
    files.append(FileItem::makeForTesting(QFile::encodeName(dir.filePath("gone")), 1, 0));
    filesorting::sortFiles(files, {{"dateModified", true}});
    EXPECT_EQ(names(files), "gone b c a");
    filesorting::sortFiles(files, {{"dateModified", false}});
    EXPECT_EQ(names(files), "a c b gone");
}

// Moves carry blocks of rows and the selection follows; check marks by tag on rows or on all.
TEST(ListEdits, MovesAndCheckMarks)
{
    const struct {
        bool up;
        Rows rows;
        const char* after;
        Rows selected;
    } moves[] = {
        {true, {3, 2}, "A C D B E", {1, 2}}, {true, {1, 3}, "B A D C E", {0, 2}},  {true, {4, 4, 9}, "A B C E D", {3}},
        {true, {0, 2}, "A B C D E", {0, 2}}, {false, {1, 2}, "A D B C E", {2, 3}}, {false, {0, 2}, "B A D C E", {1, 3}},
        {false, {1, 4}, "A B C D E", {}},
    };
    for (const auto& m : moves) {
        FileList files = listOf({"/l/A", "/l/B", "/l/C", "/l/D", "/l/E"});
        EXPECT_EQ(m.up ? listedits::moveUp(files, m.rows) : listedits::moveDown(files, m.rows), m.selected) << m.after;
        EXPECT_EQ(names(files), m.after);
        EXPECT_EQ(files.indexOf(*files.at(4)), 4) << m.after;
        files.move(5, 0);
        files.move(0, 5);
        EXPECT_EQ(names(files), m.after);
    }
    FileList files = listOf({"/l/A", "/l/B", "/l/C", "/l/D", "/l/E"});
    files.at(3)->setIsSelected(false);
    const std::tuple<Rows, int, const char*> steps[] = {
        {{3, 1}, listedits::InvertTag, "A B. C D E"}, {{0, 4, 7}, listedits::UncheckTag, "A. B. C D E."},
        {{1}, listedits::CheckTag, "A. B C D E."},    {{0, 1}, 4, "A. B C D E."},
        {{}, listedits::InvertTag, "A B. C. D. E"},   {{}, 5, "A B. C. D. E"},
        {{}, listedits::CheckTag, "A B C D E"},       {{}, listedits::UncheckTag, "A. B. C. D. E."},
    };
    for (const auto& [rows, tag, after] : steps) {
        rows.empty() ? listedits::setAllCheckMarks(files, tag) : listedits::setCheckMarks(files, rows, tag);
        EXPECT_EQ(names(files), after);
    }
}

// TIFF and PDF sums by type (check marks play no part) of the selected rows and, as running sums
// past 32 bits, of the whole list.
TEST(Totals, SumsAndTextsOfTheSelectedRowsAndOfTheWholeList)
{
    FileList list = listOf({"/s/a.tif", "/s/b.TIFF", "/s/c.pdf", "/s/a.tif", "/s/d.jpg", "/s/e.Pdf"});
    list.at(0)->setIsSelected(false);
    EXPECT_EQ(totalFilesText(list.size(), 3, pageTotals(list, {0, 2, 3, 9})),
              "5 Total file(s); 3 file selected; Total page count of selected "
              "TIFF file(s) : 1 PDF file(s) : 3");
    EXPECT_EQ(totalPagesText(pageTotals(list)), "Total Pages TIFF : 3 PDF : 5");
    list.removeAt({0, 4, 4, 7});
    EXPECT_EQ(totalPagesText(pageTotals(list)), "Total Pages TIFF : 2 PDF : 3");
    for (const char* path : {"/s/a.tif", "/big/a.pdf", "/big/b.pdf", "/big/c.pdf"})
        list.append(FileItem::makeForTesting(path, 2'000'000'000, 0));
    EXPECT_EQ(list.indexOf(*list.at(3)), 3);
    EXPECT_EQ(pageTotals(list).pdf, 6'000'000'003);
    list.clear();
    EXPECT_EQ(totalFilesText(0, 0, pageTotals(list, {})) + totalPagesText(pageTotals(list)),
              "0 Total file(s); 0 file selected; Total page count of selected "
              "TIFF file(s) : 0 PDF file(s) : 0"
              "Total Pages TIFF : 0 PDF : 0");
}

TEST(Export, HeaderThenOneLinePerItemWithQuotedFieldsAndDatesInUtc)
{
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeTiff(dir.filePath("a.tif"), {.pages = 3}));
    FileList list;
    list.append(FileItem::fromNativePath(QFile::encodeName(dir.filePath("a.tif"))));
    list.append(FileItem::makeForTesting(QFile::encodeName(dir.filePath("gone.pdf")), 12, 1'500'000));
    list.append(FileItem::makeForTesting("/in\"box/tab\there.pdf", 1, 0));
    list.append(FileItem::makeForTesting("/x/line\nbreak.tif", 2, 0));
    list.at(0)->setIsSelected(false);
    const QString text = exporter::text(list), header = exporter::text(FileList());
    EXPECT_EQ(header, "Name\tPages\tSize\tType\tModified Date\tAccessed "
                      "Date\tCreated Date\tLocation\n");
    EXPECT_EQ(header.toUtf8().size(), 71);
    const QString date = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000\t",
                  folder = QRegularExpression::escape(dir.path());
    EXPECT_TRUE(QRegularExpression("^" + header + "a.tif\t3\t\\d+ KB\ttif\t" + date + date + ".*\t" + folder +
                                   "\ngone.pdf\t12\t 1.5 MB\tpdf\t\\(null\\)\t\\(null\\)\t\\(null\\)\t" + folder +
                                   "\n$")
                    .match(text.left(text.indexOf("\n\"tab") + 1))
                    .hasMatch())
        << text.toStdString();
    EXPECT_TRUE(text.endsWith("\n\"tab\there.pdf\"\t1\t0 "
                              "KB\tpdf\t(null)\t(null)\t(null)\t\"/in\"\"box\"\n"
                              "\"line\nbreak.tif\"\t2\t0 KB\ttif\t(null)\t(null)\t(null)\t/x\n"));
    EXPECT_EQ(exporter::defaultFileName(QDateTime(QDate(2026, 12, 5), QTime(3, 4, 5))),
              "Export 05-Dec-2026 03-04-05 AM.txt");
    ASSERT_TRUE(exporter::writeToFile(list, dir.filePath("list.txt")));
    EXPECT_EQ(fixtures::readBytes(dir.filePath("list.txt")), text.toUtf8());
    QString error;
    EXPECT_FALSE(exporter::writeToFile(list, dir.filePath("missing/x.txt"), &error) || error.isEmpty());
}

// A long list is written in parts on several threads: the same lines, in the list's order.
TEST(Export, LongListKeepsItsOrder)
{
    FileList list;
    QString expected = exporter::headerLine();
    for (int i = 0; i < 5000; ++i) {
        list.append(FileItem::makeForTesting("/x/" + QByteArray::number(i) + ".pdf", i, i * 1000));
        expected += exporter::line(*list.at(i));
    }
    EXPECT_EQ(exporter::text(list), expected);
}

// The export's dates against Qt's own formatting in UTC: instants from year 1 to 9999, the
// edges of that range, of a day and of 1970 (before it, seconds round down), leap days, random ones.
TEST(Export, DatesAsQtWritesThemInUtc)
{
    std::mt19937_64 rng(7);
    std::vector<qint64> msecs = {0, -1, -999, -1000, -1001};
    for (const QDate day :
         {QDate(1, 1, 1), QDate(2000, 2, 29), QDate(2100, 3, 1), QDate(9999, 12, 31), QDate(10000, 1, 1)})
        for (const qint64 delta : {-1, 0, 86'399'999})
            msecs.push_back(QDateTime(day, QTime(0, 0), Qt::UTC).toMSecsSinceEpoch() + delta);
    for (int i = 0; i < 2000; ++i)
        msecs.push_back(qint64(rng() % 316'000'000'000'000ULL) - 62'200'000'000'000LL);
    for (const qint64 ms : msecs) {
        const QDateTime date = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        const QString text = date.toString("yyyy-MM-dd HH:mm:ss") + " +0000";
        EXPECT_EQ(exporter::dateText(date), text) << ms;
        EXPECT_EQ(exporter::dateText(date.toLocalTime()), text) << ms;
    }
}

} // namespace
