// The counting helper seen from the program: it is started only for the files the libraries
// count; a helper that cannot start, crashes or answers nonsense costs its one file a count
// of 0 and one log line; Cancel ends a count at once.

#include "model/CountingWorker.h"
#include "app/Platform.h"
#include "core/FakeJobHost.h"
#include "gather/CollectionJob.h"
#include "model/FileItem.h"
#include "model/PageCounter.h"
#include "support/Fixtures.h"

#include <QFile>
#include <QMutex>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>
#include <utility>

namespace {

// A PDF of `pages` pages that only qpdf counts: the page tree's /Type is written with a #
// escape, which the program's own reader leaves to qpdf.
QByteArray qpdfOnlyPdf(int pages)
{
    QByteArray kids;
    for (int i = 0; i < pages; ++i)
        kids += "3 0 R ";
    return fixtures::pdfFromObjects(
        {"<< /Type /Catalog /Pages 2 0 R >>", "<< /Typ#65 /Pages /Kids [" + kids + "] >>", "<< /Type /Page >>"});
}

class CountingWorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        platform::setLogSink([this](const QString& line) {
            QMutexLocker lock(&m_mutex);
            m_log << line;
        });
    }
    void TearDown() override
    {
        platform::setLogSink({});
        CountingWorker::setProgramPath({});
        CountingWorker::resume();
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }
    void write(const QString& name, const QByteArray& bytes, bool executable = false)
    {
        ASSERT_TRUE(fixtures::writeBytes(path(name), bytes));
        if (executable)
            QFile::setPermissions(path(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    qint32 count(const QString& name) { return pageCountForPath(QFile::encodeName(path(name))); }
    QStringList takeLog()
    {
        QMutexLocker lock(&m_mutex);
        return std::exchange(m_log, {});
    }

    QTemporaryDir m_dir;
    QMutex m_mutex;
    QStringList m_log;
};

// Files the program's own readers count never start a helper: with none to be had they count
// all the same. A file for a library then counts 0 and logs why, once; a helper that could not
// start is counted for the command line's exit status.
TEST_F(CountingWorkerTest, StartedOnlyForTheLibrariesAndReportedWhenUnfit)
{
    ASSERT_TRUE(fixtures::writeTiff(path("scan.tif"), {.pages = 7, .compression = fixtures::TiffCompression::Ccitt4}));
    ASSERT_TRUE(fixtures::writePdf(path("plain.pdf"), {.pages = 12, .objectStreams = true}));
    ASSERT_TRUE(fixtures::writePdf(path("aes.pdf"), {.pages = 3, .encryption = fixtures::PdfEncryption::Aes256}));
    write("qpdf.pdf", qpdfOnlyPdf(4));
    // Stand-ins for the helper: each greets (or not) and answers (or not) as a broken or foreign
    // program would.
    const QByteArray greet = "#!/bin/sh\nprintf 'FOLWORK\\000\\001\\000\\000\\000\\000\\000\\000\\000' >&3\n";
    write("other-version", QByteArray(greet).replace("\\001", "\\002") + "sleep 5\n", true);
    write("nonsense", greet + "head -c 16 <&3 >/dev/null\nprintf 'not the reply of a helper' >&3\nsleep 5\n", true);
    write("exits", greet + "head -c 16 <&3 >/dev/null\nexit 3\n", true);
    const std::pair<QString, QString> helpers[] = {
        {path("missing"), "the counting helper " + path("missing") + " cannot start: No such file or directory"},
        {"/bin/true", "/bin/true is not a counting helper (it did not greet as one)"},
        {path("other-version"),
         "the counting helper " + path("other-version") + " is of another version (protocol 2, expected 1)"},
        {path("nonsense"), "the counting helper answered nonsense"},
        {path("exits"), "the counting helper ended unexpectedly (exit status 3)"},
    };
    // A helper left from an earlier run of the suite would go on counting: none is alive here.
    CountingWorker::stopAll();
    CountingWorker::resume();
    const int failures = CountingWorker::startFailures();
    for (const auto& [program, reason] : helpers) {
        CountingWorker::setProgramPath(QFile::encodeName(program));
        EXPECT_EQ(count("scan.tif") + count("plain.pdf") + count("aes.pdf"), 7 + 12 + 3) << qPrintable(program);
        EXPECT_EQ(takeLog(), QStringList()) << qPrintable(program);
        EXPECT_EQ(count("qpdf.pdf"), 0) << qPrintable(program);
        EXPECT_EQ(takeLog(), QStringList{"Error in (getTiffPageCount) : " + path("qpdf.pdf") + ": " + reason});
    }
    EXPECT_EQ(CountingWorker::startFailures(), failures + 3); // the first three
    CountingWorker::setProgramPath({});
    EXPECT_EQ(count("qpdf.pdf"), 4);
    // A PDF of 2 GB, all hole past its first bytes: qpdf's repair, which looks for a line end,
    // skips the hole instead of reading it, and gives the file up well within the time bound.
    write("sparse.pdf", "%PDF-1.4\n" + QByteArray(100, 'A'));
    ASSERT_TRUE(QFile::resize(path("sparse.pdf"), qint64(2) << 30));
    struct stat st {};
    if (::stat(QFile::encodeName(path("sparse.pdf")).constData(), &st) != 0 || st.st_blocks > 1024)
        GTEST_SKIP() << "the file system keeps no holes";
    EXPECT_EQ(count("sparse.pdf"), 0);
    EXPECT_EQ(takeLog(), QStringList());
}

// A collection job over files, one of which crashes its helper: that file counts 0 with its one
// log line, fresh helpers count the rest, and the list holds every file.
TEST_F(CountingWorkerTest, ACollectionJobGoesOnPastAHelperThatCrashed)
{
    for (int i = 1; i <= 6; ++i)
        write(QString("f%1.pdf").arg(i), qpdfOnlyPdf(i));
    // The job's counting threads are new, so their helpers start with the switch set.
    qputenv("FOLIMETER_WORKER_ABORT_ON", "f3.pdf");
    FakeHost host;
    const Arguments arguments{{QUrl::fromLocalFile(m_dir.path())}, true, true};
    loadURLs(host, &arguments, 2);
    qunsetenv("FOLIMETER_WORKER_ABORT_ON");
    ASSERT_EQ(host.files().size(), 6);
    for (const FileItemPtr& item : host.files()) {
        const int number = item->name().mid(1, 1).toInt();
        EXPECT_EQ(item->pages(), number == 3 ? 0 : number) << qPrintable(item->name());
    }
    EXPECT_EQ(takeLog(), QStringList{"Error in (getTiffPageCount) : " + path("f3.pdf") +
                                     ": the counting helper crashed (signal 6, ABRT)"});
}

// Cancel: a count the libraries or the program's own reader are making ends without a count and
// without a log line, and so does every count asked for until the next job; a file whose count
// was cut off is not listed.
TEST_F(CountingWorkerTest, StopAllCutsCountsOffUntilResumed)
{
    write("slow.pdf", qpdfOnlyPdf(1000000)); // qpdf copies the page for every reference
    // Seconds of the own reader's work, past its processor-time bound: each object a string left open.
    write("own-slow.pdf", "%PDF-1.4\n" + QByteArray("1 0 obj (\n").repeated(8000000));
    write("quick.pdf", qpdfOnlyPdf(2));
    for (const char* name : {"slow.pdf", "own-slow.pdf"}) {
        PageCount slow;
        std::thread counting([&] { slow = measurePages(QFile::encodeName(path(name))); });
        // Lets the count get under way; stopped earlier, it would end the same.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CountingWorker::stopAll();
        counting.join();
        EXPECT_TRUE(slow.interrupted) << name;
        EXPECT_EQ(slow.pages, 0);
        EXPECT_EQ(FileItem::fromNativePath(QFile::encodeName(path("quick.pdf"))), nullptr);
        EXPECT_EQ(takeLog(), QStringList());
        CountingWorker::resume();
        EXPECT_EQ(count("quick.pdf"), 2);
    }
}

} // namespace
