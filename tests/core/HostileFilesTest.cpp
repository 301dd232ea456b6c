// Page counting over files made to break a reader: each returns its pages or 0, or is stopped
// at a bound with exactly one line naming the file and the bound.

#include "app/Platform.h"
#include "model/PageCounter.h"
#include "support/Fixtures.h"

#include <QMutex>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::setLogSink([this](const QString& line) {
            QMutexLocker lock(&m_logMutex);
            m_log << line;
        });
    }
    void TearDown() override { platform::setLogSink({}); }

    QString path(const QString& name) const { return m_dir.filePath(name); }
    void write(const QString& name, const QByteArray& bytes) const
    {
        ASSERT_TRUE(fixtures::writeBytes(path(name), bytes)) << qPrintable(name);
    }
    qint32 count(const QString& name) const { return getTiffPageCount(QUrl::fromLocalFile(path(name))); }
    QStringList takeLog()
    {
        QMutexLocker lock(&m_logMutex);
        return std::exchange(m_log, {});
    }

    QTemporaryDir m_dir;
    QMutex m_logMutex;
    QStringList m_log;
};

// Work past a bound, each file on a thread of its own at once: a tree deeper than the stack, a
// stream inflating past the memory bound, qpdf copying a page for each of a million repeats (the
// page-tree reader leaves a key written with a # escape to qpdf). Each is stopped with one line
// naming it and its bound; the counts of the files on the other threads stay right, a tenth of
// the repeats among them, which the reader counts without copies; nothing is printed, also where
// qpdf recovers from damage.
TEST_F(HostileFiles, WorkPastABoundIsStoppedWithOneLineOnItsOwnThread)
{
    QByteArray kids;
    for (int i = 0; i < 1000000; ++i)
        kids += "3 0 R ";
    const QByteArray bomb = fixtures::zeroBomb(400 * 1024 * 1024), catalog = "<< /Type /Catalog /Pages 2 0 R >>";
    const std::tuple<const char*, QByteArray, QStringList> stopped[] = {
        {"deep.pdf", fixtures::pageTreeChain(200000), {"deeply"}},
        {"objstm-bomb.pdf", fixtures::pdfWithStreams(bomb), {"memory"}},
        {"repeats.pdf",
         fixtures::pdfFromObjects({catalog, "<< /Typ#65 /Pages /Kids [" + kids + "] >>", "<< /Type /Page >>"}),
         {"processor time", "memory"}},
    };
    write("counted.pdf",
          fixtures::pdfFromObjects(
              {catalog, "<< /Type /Pages /Kids [" + kids.left(kids.size() / 10) + "] >>", "<< /Type /Page >>"}));
    ASSERT_TRUE(fixtures::writePdf(path("real.pdf"), {.pages = 2000, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writePdf(path("aes.pdf"), {.pages = 30, .encryption = fixtures::PdfEncryption::Aes256}));
    ASSERT_TRUE(fixtures::writeTiff(path("big.tif"), {.pages = 20, .bigTiff = true}));
    QByteArray damaged = fixtures::readBytes(path("real.pdf"));
    write("damaged.pdf", damaged.replace(damaged.size() / 3, 20, QByteArray(20, 'x')));
    write("cut.tif", fixtures::readBytes(path("big.tif")).left(300));
    write("xref-bomb.pdf", fixtures::pdfWithStreams({}, bomb));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    std::atomic_int wrong{0};
    std::vector<std::thread> threads;
    for (const auto& [name, bytes, bound] : stopped) {
        write(name, bytes);
        threads.emplace_back([&, name = QString(name)] { wrong += count(name) != 0; });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 3; ++i) {
            wrong += count("real.pdf") != 2000 || count("aes.pdf") != 30 || count("big.tif") != 20 ||
                     count("counted.pdf") != 100000;
            // A cross-reference stream that inflates past every bound: the table is rebuilt instead.
            wrong += count("damaged.pdf") < 0 || count("cut.tif") < 0 || count("xref-bomb.pdf") != 1;
        }
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(wrong.load(), 0);
    QStringList log = takeLog();
    log.sort();
    ASSERT_EQ(log.size(), qsizetype(std::size(stopped))) << qPrintable(log.join('\n'));
    for (const auto& [name, bytes, bound] : stopped) {
        const QString line = log.filter(path(name) + ": ").value(0);
        EXPECT_TRUE(line.startsWith("Error in (getTiffPageCount) : " + path(name) + ": "))
            << qPrintable(log.join('\n'));
        // Under a slow build (ThreadSanitizer) the deep tree may reach the time bound first.
        EXPECT_TRUE(std::any_of(bound.begin(), bound.end(), [&](const QString& word) { return line.contains(word); }) ||
                    (line.contains("deep") && line.contains("processor time")))
            << qPrintable(line);
    }
}

} // namespace
