#include "cli/CliCounter.h"

#include "app/Platform.h"
#include "app/Utilities.h"
#include "cli/HeadlessJobHost.h"
#include "gather/ImportListParser.h"
#include "list/Exporter.h"
#include "list/Totals.h"
#include "model/CountingWorker.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringDecoder>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// ---- Signals: the handler only records the signal and wakes the main thread ----

volatile sig_atomic_t g_signal = 0;
int g_wakeWrite = -1;

extern "C" void onStopSignal(int signal)
{
    if (g_signal == 0)
        g_signal = signal;
    const int savedErrno = errno;
    const char byte = 'S';
    [[maybe_unused]] const ssize_t written = ::write(g_wakeWrite, &byte, 1);
    errno = savedErrno;
}

void setStopHandlers(bool install)
{
    struct sigaction action {};
    action.sa_handler = install ? onStopSignal : SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void maskStopSignals(bool block)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    ::pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// ---- Standard error ----

class StatusLine {
public:
    StatusLine() : m_isTerminal(::isatty(STDERR_FILENO) == 1) {}

    bool isTerminal() const { return m_isTerminal; }

    // Replaces the progress line (terminal only).
    void showProgress(const QString& text)
    {
        if (!m_isTerminal)
            return;
        std::fprintf(stderr, "\r%s\x1b[K", text.toLocal8Bit().constData());
        std::fflush(stderr);
        m_shown = true;
    }

    // A whole line, below which the progress line is drawn again at its next refresh.
    void printLine(const QString& text)
    {
        clear();
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        std::fflush(stderr);
    }

    void clear()
    {
        if (!m_shown)
            return;
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        m_shown = false;
    }

private:
    bool m_isTerminal;
    bool m_shown = false;
};

QString programMessage(const QString& text)
{
    return QStringLiteral("folimeter-cli: ") + text;
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Ends the process by `signal`, as an interrupted program should, so that a calling shell
// sees the interruption. Threads still counting end with the process.
[[noreturn]] void endBySignal(int signal, StatusLine& status)
{
    status.printLine(programMessage(QStringLiteral("interrupted")));
    setStopHandlers(false);
    maskStopSignals(false);
    ::raise(signal);
    std::_Exit(128 + signal);
}

// ---- Input ----

// The text of a list file ("-": standard input) as UTF-8; none with a reason otherwise.
std::optional<QString> readListText(const QString& path, QString& reason)
{
    QFile file;
    bool opened = false;
    if (path == QLatin1String("-")) {
        opened = file.open(stdin, QIODevice::ReadOnly);
    } else {
        file.setFileName(path);
        opened = file.open(QIODevice::ReadOnly);
    }
    if (!opened) {
        reason = file.errorString();
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        reason = file.errorString();
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        reason = QStringLiteral("not UTF-8 text");
        return std::nullopt;
    }
    return text;
}

// A command-line path as the file URL a drop makes of it: relative paths against the current folder.
QUrl urlOfArgument(const QString& path)
{
    if (path.startsWith(QLatin1Char('/')))
        return QUrl::fromLocalFile(path);
    QString base = QDir::currentPath();
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return QUrl::fromLocalFile(base + path);
}

// Why a listed file could not be read, or 0 when it can be: the page counter reads regular
// files only, so anything else is reported too.
int unreadableReason(const QByteArray& nativePath)
{
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno;
    struct stat st {};
    int reason = 0;
    if (::fstat(fd, &st) != 0)
        reason = errno;
    else if (S_ISDIR(st.st_mode))
        reason = EISDIR;
    else if (!S_ISREG(st.st_mode))
        reason = EINVAL;
    ::close(fd);
    return reason;
}

bool writeAll(FILE* stream, const QByteArray& bytes)
{
    if (!bytes.isEmpty() && std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) != size_t(bytes.size()))
        return false;
    return std::fflush(stream) == 0 && !std::ferror(stream);
}

} // namespace

int runCliCounter(const CliOptions& options)
{
    StatusLine status;
    int exitStatus = 0;
    QSet<QByteArray> reported;
    const auto reportUnreadable = [&](const QByteArray& nativePath, int error) {
        if (reported.contains(nativePath))
            return;
        reported.insert(nativePath);
        const QString reason = error == EINVAL ? QStringLiteral("not a regular file") : errorText(error);
        status.printLine(
            programMessage(QStringLiteral("cannot read '%1': %2").arg(QFile::decodeName(nativePath), reason)));
        exitStatus = 1;
    };

    // The lists are read before the handlers go in, so Ctrl+C ends a wait on a terminal at once.
    QList<QUrl> fileUrls;
    for (const QString& list : options.lists) {
        QString reason;
        const std::optional<QString> text = readListText(list, reason);
        if (!text) {
            const QString name = list == QLatin1String("-") ? QStringLiteral("standard input") : list;
            status.printLine(programMessage(QStringLiteral("cannot read list '%1': %2").arg(name, reason)));
            exitStatus = 1;
            continue;
        }
        appendImportList(*text, allowedFileTypes(), fileUrls);
    }
    Arguments drop{{}, true, options.includeSubfolders};
    for (const QString& path : options.paths)
        drop.urls.append(urlOfArgument(path));
    const Arguments import{fileUrls, false, options.includeSubfolders};

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        status.printLine(programMessage(QStringLiteral("cannot start: %1").arg(errorText(errno))));
        return 1;
    }
    g_wakeWrite = wake[1];
    setStopHandlers(true);

    // The job and its counting threads never take the stop signals: they go to this thread.
    HeadlessJobHost host;
    JobProgress progress;
    std::atomic_bool jobDone{false};
    const int threads = options.jobs > 0 ? options.jobs : std::max(1, QThread::idealThreadCount());
    maskStopSignals(true);
    std::thread job([&] {
        if (!drop.urls.isEmpty())
            loadURLs(host, &drop, threads, &progress);
        if (!import.urls.isEmpty() && host.isProcessing())
            loadURLs(host, &import, threads, &progress);
        jobDone = true;
        const char byte = 'D';
        [[maybe_unused]] const ssize_t written = ::write(wake[1], &byte, 1);
    });
    maskStopSignals(false);

    const auto waitForWake = [&](int milliseconds) {
        pollfd fd{wake[0], POLLIN, 0};
        ::poll(&fd, 1, milliseconds);
        char buffer[64];
        while (::read(wake[0], buffer, sizeof buffer) > 0) {
        }
    };
    const auto showUnreadable = [&] {
        for (const auto& path : host.takeUnreadable())
            reportUnreadable(path.nativePath, path.error);
    };

    constexpr int kRefreshMs = 100;
    while (!jobDone) {
        waitForWake(kRefreshMs);
        if (const int signal = g_signal) {
            // The job's own Cancel, then a short grace for it to end by itself; a file whose
            // count takes longer is not waited for. Counting helpers end at once.
            host.cancel();
            CountingWorker::stopAll();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            while (!jobDone && std::chrono::steady_clock::now() < deadline)
                waitForWake(50);
            if (jobDone)
                job.join();
            else
                job.detach();
            endBySignal(signal, status);
        }
        showUnreadable();
        status.showProgress(QStringLiteral("%1 file(s) found, %2 added, %3 page(s)")
                                .arg(progress.found.load())
                                .arg(progress.admitted.load())
                                .arg(progress.pages.load()));
    }
    job.join();
    showUnreadable();
    // Each file it would have counted logged why; the run as a whole fails too, so that a
    // script does not take the 0 pages of a broken installation for counts.
    if (const int failures = CountingWorker::startFailures(); failures > 0) {
        status.printLine(programMessage(QStringLiteral("the counting helper %1 could not be started (%2 time(s)); "
                                                       "the files it would have counted are listed with 0 pages")
                                            .arg(QString::fromLocal8Bit(CountingWorker::programPath()))
                                            .arg(failures)));
        exitStatus = 1;
    }

    // Files admitted without being readable (gone, no permission, not a regular file) are
    // listed as the window lists them, and reported.
    const FileList& files = host.files();
    for (const FileItemPtr& item : files) {
        if (g_signal)
            break;
        if (const int error = unreadableReason(item->nativePath()))
            reportUnreadable(item->nativePath(), error);
    }
    status.clear();

    const QString text = exporter::text(files);
    if (g_signal)
        endBySignal(g_signal, status);
    if (!options.output.isEmpty()) {
        // The handlers stay in while the file is written, so an interruption cannot leave a
        // half-written temporary file behind; it takes effect right after.
        QString reason;
        const bool written = platform::writeTextFileAtomically(options.output, text, &reason);
        if (g_signal)
            endBySignal(g_signal, status);
        setStopHandlers(false);
        if (!written) {
            status.printLine(programMessage(QStringLiteral("cannot write '%1': %2").arg(options.output, reason)));
            exitStatus = 1;
        }
    } else {
        // A blocked writer (a full pipe) must still yield to Ctrl+C.
        setStopHandlers(false);
        if (!writeAll(stdout, text.toUtf8())) {
            status.printLine(programMessage(QStringLiteral("cannot write standard output: %1").arg(errorText(errno))));
            exitStatus = 1;
        }
    }

    std::fprintf(stderr, "%s\n%s\n", totalFilesText(files.size(), 0, PageTotals{}).toLocal8Bit().constData(),
                 totalPagesText(pageTotals(files)).toLocal8Bit().constData());
    std::fflush(stderr);
    ::close(wake[0]);
    ::close(wake[1]);
    g_wakeWrite = -1;
    return exitStatus;
}
