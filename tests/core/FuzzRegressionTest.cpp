// Every input the fuzz targets once failed on, replayed through the same checks
// (tests/data/fuzz-regressions/<target>/); the seed corpus; the checks' own helpers.

#include "fuzz/FuzzChecks.h"
#include "model/PageCounter.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

namespace {

using Check = std::function<fuzzcheck::Failure(const std::uint8_t*, std::size_t)>;

// Runs `check` over every saved input of `target`; returns how many there were.
int replay(const char* target, const Check& check)
{
    const QDir dir(QStringLiteral(FOLIMETER_FUZZ_REGRESSIONS_DIR "/") + QLatin1String(target));
    int count = 0;
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files, QDir::Name)) {
        QFile file(info.filePath());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << info.filePath().toStdString();
        const QByteArray bytes = file.readAll();
        const fuzzcheck::Failure failure =
            check(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
        EXPECT_FALSE(failure.has_value()) << info.fileName().toStdString() << ": " << failure.value_or("");
        ++count;
    }
    return count;
}

TEST(FuzzRegressions, TiffCounter)
{
    replay("tiff_count", fuzzcheck::tiffCount);
}

TEST(FuzzRegressions, PdfCounter)
{
    replay("pdf_count", fuzzcheck::pdfCount);
}

TEST(FuzzRegressions, PdfTreeReader)
{
    replay("pdf_tree", fuzzcheck::pdfTree);
}

TEST(FuzzRegressions, ImportList)
{
    EXPECT_GT(replay("import_list", fuzzcheck::importList), 0);
}

TEST(FuzzRegressions, ExportText)
{
    replay("export", fuzzcheck::exportText);
}

// The seed corpus CI starts every fuzz run from: written whole, every seed holds its target's
// properties, and the counters give what each seed was made with.
TEST(FuzzSeeds, EverySeedPassesItsCheckAndCountsWhatItWasMadeWith)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QProcess writer;
    writer.start(QStringLiteral(FOLIMETER_FUZZ_SEEDS_PATH), {dir.path()});
    ASSERT_TRUE(writer.waitForFinished(120000));
    ASSERT_EQ(writer.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();

    const struct {
        const char* target;
        Check check;
        int atLeast;
    } targets[] = {
        {"tiff_count", fuzzcheck::tiffCount, 36}, {"pdf_count", fuzzcheck::pdfCount, 17},
        {"pdf_tree", fuzzcheck::pdfTree, 22},     {"import_list", fuzzcheck::importList, 8},
        {"export", fuzzcheck::exportText, 5},
    };
    static const QRegularExpression madeWith(QStringLiteral("-(\\d+)p\\.(tif|pdf)$"));
    for (const auto& t : targets) {
        const QDir targetDir(dir.filePath(QLatin1String(t.target)));
        const QFileInfoList seeds = targetDir.entryInfoList(QDir::Files, QDir::Name);
        EXPECT_GE(seeds.size(), t.atLeast) << t.target;
        for (const QFileInfo& info : seeds) {
            SCOPED_TRACE(info.fileName().toStdString());
            QFile file(info.filePath());
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            const fuzzcheck::Failure failure =
                t.check(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
            EXPECT_FALSE(failure.has_value()) << failure.value_or("");
            const QRegularExpressionMatch match = madeWith.match(info.fileName());
            if (match.hasMatch()) {
                EXPECT_EQ(pageCountForPath(QFile::encodeName(info.filePath())), match.captured(1).toInt());
            }
        }
    }

    // The damaged ones: a directory pointing back at itself counts once, a header pointing past
    // the end counts nothing, a locked PDF its page (its tree is not encrypted), a page tree
    // without a cross-reference table what it holds, and a /Count past 32 bits the pages that
    // are there.
    const auto count = [&](const char* name) { return pageCountForPath(QFile::encodeName(dir.filePath(name))); };
    EXPECT_EQ(count("tiff_count/loop.tif"), 1);
    EXPECT_EQ(count("tiff_count/past-end.tif"), 0);
    EXPECT_EQ(count("pdf_count/aes256-locked.pdf"), 1);
    EXPECT_EQ(count("pdf_count/no-xref.pdf"), 2);
    EXPECT_EQ(count("pdf_count/huge-count.pdf"), 1);
}

TEST(FuzzChecks, ExportItemsSurviveTheirByteForm)
{
    const std::vector<fuzzcheck::ExportItemFields> items = {
        {"/a/b.pdf", 3, 4096},
        {"/t\tab\n\"q\".tif", -7, -1},
        {"/caf\xc3\xa9\xff.pdf", 2147483647, 7'000'000'000'000},
    };
    const QByteArray bytes = fuzzcheck::exportBytesFromItems(items);
    const auto back = fuzzcheck::exportItemsFromBytes(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                                      std::size_t(bytes.size()));
    ASSERT_EQ(back.size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(back[i].nativePath, items[i].nativePath);
        EXPECT_EQ(back[i].pages, items[i].pages);
        EXPECT_EQ(back[i].size, items[i].size);
    }
    // Without both separators the record is all path; numbers that do not read are 0.
    const QByteArray loose = QByteArray("x\x01y", 3) + '\0' + QByteArray("z\x01\x01p", 4);
    const auto made = fuzzcheck::exportItemsFromBytes(reinterpret_cast<const std::uint8_t*>(loose.constData()),
                                                      std::size_t(loose.size()));
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0].nativePath, QByteArray("/x\x01y"));
    EXPECT_EQ(made[0].pages, 0);
    EXPECT_EQ(made[1].nativePath, "/p");
    EXPECT_EQ(made[1].pages, 0);
    EXPECT_EQ(made[1].size, 0);
}

TEST(FuzzChecks, ExportRecordsFollowTheQuotingRule)
{
    const auto records = fuzzcheck::readExportRecords("a\t\"b\tc\"\t\"say \"\"hi\"\"\"\n\"\"\t\n");
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0], QStringList({"a", "b\tc", "say \"hi\""}));
    EXPECT_EQ((*records)[1], QStringList({"", ""}));

    // Texts a writer that broke the rule would give.
    EXPECT_FALSE(fuzzcheck::readExportRecords("a\tb"));        // no final line feed
    EXPECT_FALSE(fuzzcheck::readExportRecords("a\"b\tc\n"));   // a bare quote
    EXPECT_FALSE(fuzzcheck::readExportRecords("a\rb\n"));      // a bare carriage return
    EXPECT_FALSE(fuzzcheck::readExportRecords("\"ab\tc\n"));   // unterminated quotes
    EXPECT_FALSE(fuzzcheck::readExportRecords("\"a\"b\tc\n")); // text after the closing quote
    EXPECT_FALSE(fuzzcheck::readExportRecords("\"a\"\"\n"));   // a doubled quote, then the end
}

TEST(FuzzChecks, ImportListCheckHoldsForEveryKindOfLine)
{
    const QByteArray text = "/a.pdf\r\nrel/b.TIF\n//Host/c.pdf\n/a.pdf\n/no-ext\n/bad\xff.tif\n/d.tiff\r";
    EXPECT_FALSE(
        fuzzcheck::importList(reinterpret_cast<const std::uint8_t*>(text.constData()), std::size_t(text.size())));
}

TEST(FuzzChecks, CountersAnswerOnEmptyAndSignatureOnlyInput)
{
    const std::uint8_t tiffHeader[] = {'I', 'I', 42, 0, 8, 0, 0, 0};
    EXPECT_FALSE(fuzzcheck::tiffCount(tiffHeader, sizeof tiffHeader));
    EXPECT_FALSE(fuzzcheck::tiffCount(nullptr, 0));
    const char pdf[] = "%PDF-1.4\n%%EOF\n";
    EXPECT_FALSE(fuzzcheck::pdfCount(reinterpret_cast<const std::uint8_t*>(pdf), sizeof pdf - 1));
}

} // namespace
