// Every input a fuzz target once failed on (tests/data/fuzz-regressions/<target>/), replayed
// through the target's own check.

#include "fuzz/FuzzChecks.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

TEST(FuzzRegressions, EverySavedInputPassesItsTargetsCheck)
{
    const std::pair<const char*, fuzzcheck::Failure (*)(const std::uint8_t*, std::size_t)> targets[] = {
        {"tiff_count", fuzzcheck::tiffCount},   {"pdf_count", fuzzcheck::pdfCount}, {"pdf_tree", fuzzcheck::pdfTree},
        {"import_list", fuzzcheck::importList}, {"export", fuzzcheck::exportText},
    };
    int replayed = 0;
    for (const auto& [target, check] : targets) {
        const QDir dir(QStringLiteral(FOLIMETER_FUZZ_REGRESSIONS_DIR "/") + QLatin1String(target));
        for (const QFileInfo& info : dir.entryInfoList(QDir::Files)) {
            QFile file(info.filePath());
            ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << info.filePath().toStdString();
            const QByteArray bytes = file.readAll();
            const fuzzcheck::Failure failure =
                check(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
            EXPECT_EQ(failure, std::nullopt) << info.filePath().toStdString();
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 10);
    // The export check reads quoted fields back, and fails on texts that break the quoting rule.
    EXPECT_EQ(fuzzcheck::readExportRecords("a\t\"b\tc\"\t\"say \"\"hi\"\"\"\n\"\"\t\n"),
              std::vector<QStringList>({{"a", "b\tc", "say \"hi\""}, {"", ""}}));
    for (const char* broken : {"a\tb", "a\"b\tc\n", "a\rb\n", "\"ab\tc\n", "\"a\"b\tc\n", "\"a\"\"\n"})
        EXPECT_FALSE(fuzzcheck::readExportRecords(broken)) << broken;
}

} // namespace
