#include "app/Platform.h"
#include "app/MainThread.h"
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

TEST(Platform, LogsOneLinePerErrorAndKeepsUserDefaultsAtOnce)
{
    QStringList lines;
    platform::setLogSink([&](const QString& line) { lines << line; });
    platform::logError("(loadURLs:)", "no such file");
    platform::setLogSink({});
    EXPECT_EQ(lines, QStringList({"Error in (loadURLs:) : no such file"}));
    testing::internal::CaptureStderr();
    platform::logError("showAbout", "disk full");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error in showAbout : disk full\n");

    // QSettings takes its folder from the environment once per process.
    static QTemporaryDir config;
    static const bool configured = qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    ASSERT_TRUE(configured);
    for (const bool value : {true, false}) {
        EXPECT_NE(platform::userDefaultBool("INCLUDESUBFOLDERS"), value);
        platform::setUserDefaultBool("INCLUDESUBFOLDERS", value);
        EXPECT_EQ(platform::userDefaultBool("INCLUDESUBFOLDERS"), value);
        EXPECT_TRUE(fixtures::readBytes(config.path() + "/Folimeter/Folimeter.conf")
                        .contains(value ? "INCLUDESUBFOLDERS=true" : "INCLUDESUBFOLDERS=false"));
    }
}

// Text is read whole when it is UTF-8, and written in one step: a failed write, also one that
// runs out of room (a file-size limit stands in for a full disk, and holds for root too), leaves
// the old content and no temporary file.
TEST(Platform, ReadsOnlyUtf8TextAndWritesTextAtomically)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("list.txt");
    ASSERT_TRUE(fixtures::writeBytes(dir.filePath("latin1.txt"), "/a/b\xE9.pdf\n"));
    for (const QString& unread : {dir.filePath("latin1.txt"), target, dir.path()})
        EXPECT_FALSE(platform::readTextFileUtf8(unread).has_value()) << unread.toStdString();
    QString error;
    ASSERT_TRUE(platform::writeTextFileAtomically(target, "", &error));
    EXPECT_EQ(platform::readTextFileUtf8(target), QString(""));
    ASSERT_TRUE(platform::writeTextFileAtomically(target, QString::fromUtf8("é\n"), &error));
    EXPECT_EQ(platform::readTextFileUtf8(target), QString::fromUtf8("é\n"));
    EXPECT_FALSE(platform::writeTextFileAtomically(dir.filePath("no/such/folder/x.txt"), "x", &error) ||
                 error.isEmpty());
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(platform::writeTextFileAtomically(target, QString(4096, 'x')) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(fixtures::readBytes(target), "\xC3\xA9\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"latin1.txt", "list.txt"}));
}

// Each call runs on the main thread, at once when made there, and has run when it returns.
// Quitting releases a worker waiting for a call, and refuses every later one. In a process of its
// own: quitting is for good, and a later application object may take this one's address.
TEST(MainThread, RunsCallsOnTheMainThreadUntilQuitting)
{
    const pid_t child = fork();
    if (child == 0) {
        int argc = 1;
        char name[] = "test";
        char* argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        const auto mainThread = std::this_thread::get_id();
        std::atomic_int ran{0};
        std::atomic_bool onMain{true}, refused{false};
        EXPECT_TRUE(performOnMainThread([&] { ++ran; }));
        EXPECT_EQ(ran, 1);
        std::thread worker([&] {
            for (int before = ran; !refused; before = ran) {
                refused = !performOnMainThread([&] {
                    onMain = onMain && std::this_thread::get_id() == mainThread;
                    if (++ran == 50)
                        QCoreApplication::quit();
                });
                EXPECT_EQ(ran, before + int(!refused));
            }
        });
        QTimer::singleShot(10000, &app, [] { std::abort(); });
        QCoreApplication::exec();
        worker.join();
        EXPECT_TRUE(refused && onMain && isApplicationQuitting());
        EXPECT_GE(ran.load(), 50);
        bool late = true;
        std::thread([&] { late = performOnMainThread([] {}); }).join();
        EXPECT_FALSE(late);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
