#include "app/Platform.h"
#include "app/MainThread.h"
#include "app/Utilities.h"
#include "support/Fixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(BundleInfo, KeysAndTitle)
{
    EXPECT_EQ(bundleInfoValue("CFBundleDisplayName"), "Folimeter");
    EXPECT_FALSE(bundleInfoValue("CFBundleVersion").isEmpty());
    EXPECT_FALSE(bundleInfoValue("CFBundleIconFile").isEmpty());
    EXPECT_TRUE(bundleInfoValue("NSHumanReadableCopyright").contains("Folimeter"));
    EXPECT_EQ(bundleInfoValue("NoSuchKey"), "");
    EXPECT_EQ(getAppTitle(), "Folimeter");
    EXPECT_EQ(getAppTitle(""), "Folimeter");
    EXPECT_EQ(getAppTitle(" Help"), "Folimeter Help");
    EXPECT_EQ(allowedFileTypes(), QStringList({"tif", "TIF", "tiff", "TIFF", "pdf", "PDF"}));
}

TEST(SystemLog, OneLinePerCallInTheErrorFormat)
{
    QStringList lines;
    platform::setLogSink([&](const QString& line) { lines << line; });
    platform::logError("(loadURLs:)", "no such file");
    platform::logError("showAbout", "gone");
    platform::setLogSink({});
    EXPECT_EQ(lines, QStringList({"Error in (loadURLs:) : no such file", "Error in showAbout : gone"}));

    testing::internal::CaptureStderr();
    platform::logError("(export)", "disk full");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error in (export) : disk full\n");
}

TEST(UserDefaults, FalseWhenAbsentAndStoredAtOnce)
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    EXPECT_FALSE(platform::userDefaultBool("INCLUDESUBFOLDERS"));
    platform::setUserDefaultBool("INCLUDESUBFOLDERS", true);
    EXPECT_TRUE(platform::userDefaultBool("INCLUDESUBFOLDERS"));
    const QString stored = fixtures::readBytes(config.path() + "/Folimeter/Folimeter.conf");
    EXPECT_TRUE(stored.contains("INCLUDESUBFOLDERS=true")) << stored.toStdString();
    platform::setUserDefaultBool("INCLUDESUBFOLDERS", false);
    EXPECT_FALSE(platform::userDefaultBool("INCLUDESUBFOLDERS"));
}

TEST(TextFiles, ReadsOnlyValidUtf8)
{
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("good.txt"), "/a/b\xC3\xA9.pdf\n"));
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("latin1.txt"), "/a/b\xE9.pdf\n"));
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("empty.txt"), ""));
    EXPECT_EQ(platform::readTextFileUtf8(dir.filePath("good.txt")), QString::fromUtf8("/a/bé.pdf\n"));
    EXPECT_FALSE(platform::readTextFileUtf8(dir.filePath("latin1.txt")).has_value());
    EXPECT_EQ(platform::readTextFileUtf8(dir.filePath("empty.txt")), QString(""));
    EXPECT_FALSE(platform::readTextFileUtf8(dir.filePath("missing.txt")).has_value());
    EXPECT_FALSE(platform::readTextFileUtf8(dir.path()).has_value());
}

TEST(TextFiles, AtomicWriteReplacesOrLeavesTheOldFile)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("list.txt");
    QString error;
    ASSERT_TRUE(platform::writeTextFileAtomically(target, QString::fromUtf8("first é\n"), &error));
    EXPECT_EQ(fixtures::readBytes(target), "first \xC3\xA9\n");
    ASSERT_TRUE(platform::writeTextFileAtomically(target, "second\n", &error));
    EXPECT_EQ(fixtures::readBytes(target), "second\n");

    EXPECT_FALSE(platform::writeTextFileAtomically(dir.filePath("no/such/folder/x.txt"), "x", &error));
    EXPECT_FALSE(error.isEmpty());

    // A write that runs out of room (a file-size limit stands in for a full disk, and holds
    // for root too) fails and leaves the old content in place.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool ok = platform::writeTextFileAtomically(target, QString(4096, 'x'));
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(fixtures::readBytes(target), "second\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"list.txt"})); // no temporary left
}

TEST(ResourceValues, SizesAndDates)
{
    QTemporaryDir dir;
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("a.bin"), QByteArray(10000, 'a')));
    const auto values = platform::resourceValues(QFile::encodeName(dir.filePath("a.bin")));
    ASSERT_TRUE(values);
    EXPECT_FALSE(values->isDirectory);
    EXPECT_EQ(values->fileSize, 10000);
    EXPECT_GE(values->allocatedSize, 10000);
    EXPECT_EQ(values->allocatedSize % 512, 0);
    EXPECT_EQ(platform::allocatedSize(QFile::encodeName(dir.filePath("a.bin"))), values->allocatedSize);
    ASSERT_TRUE(values->contentModificationDate);
    EXPECT_LE(qAbs(values->contentModificationDate->secsTo(QDateTime::currentDateTime())), 60);
    EXPECT_TRUE(values->contentAccessDate);
    EXPECT_TRUE(platform::resourceValues(QFile::encodeName(dir.path()))->isDirectory);
    EXPECT_FALSE(platform::resourceValues(QFile::encodeName(dir.filePath("missing"))));
    EXPECT_FALSE(platform::allocatedSize(QFile::encodeName(dir.filePath("missing"))));
    EXPECT_FALSE(platform::resourceDate(QFile::encodeName(dir.filePath("missing")), platform::DateKey::Creation));
}

TEST(DateFormatting, UnicodePatternInUserLocale)
{
    const QDateTime date(QDate(2026, 12, 5), QTime(15, 4, 5));
    EXPECT_EQ(platform::formatDate(date, "dd-MMM-yyyy hh-mm-ss a"), "05-Dec-2026 03-04-05 PM");
    EXPECT_EQ(platform::formatDate(date, "dd-MMM-yyyy h:mm a"), "05-Dec-2026 3:04 PM");
}

int g_argc = 1;
char g_arg0[] = "test";
char* g_argv[] = {g_arg0, nullptr};

TEST(MainThread, RunsOnTheMainThreadAndWaits)
{
    QCoreApplication app(g_argc, g_argv);
    const auto mainThread = std::this_thread::get_id();
    int ran = 0;
    bool onMain = true;
    std::atomic_bool workerDone{false};
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i) {
            const int before = ran;
            EXPECT_TRUE(performOnMainThread([&] {
                onMain = onMain && std::this_thread::get_id() == mainThread;
                ++ran;
            }));
            EXPECT_EQ(ran, before + 1); // the call has run by the time it returns
        }
        workerDone = true;
    });
    while (!workerDone)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    EXPECT_EQ(ran, 50);
    EXPECT_TRUE(onMain);
}

TEST(MainThread, QuittingReleasesAWaitingWorker)
{
    QCoreApplication app(g_argc, g_argv);
    std::atomic_int calls{0};
    std::atomic_bool refused{false};
    std::thread worker([&] {
        // Keeps asking until a call is refused; without the release it would wait forever.
        while (performOnMainThread([&] {
            if (++calls == 10)
                QCoreApplication::quit();
        })) {
        }
        refused = true;
    });
    QTimer::singleShot(10000, &app, [] { std::abort(); });
    QCoreApplication::exec();
    worker.join();
    EXPECT_TRUE(refused);
    EXPECT_GE(calls.load(), 10);
    EXPECT_TRUE(isApplicationQuitting());
    bool late = true;
    std::thread([&] { late = performOnMainThread([] {}); }).join();
    EXPECT_FALSE(late);
}

} // namespace
