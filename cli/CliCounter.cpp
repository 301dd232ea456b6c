#include "cli/CliCounter.h"

#include "app/Platform.h"
#include "app/Sanitizers.h"
#include "app/SurrogateEscape.h"
#include "app/Utilities.h"
#include "cli/HeadlessJobHost.h"
#include "gather/FileSystemHelper.h"
#include "gather/ImportListParser.h"
#include "gather/LocalPath.h"
#include "list/Exporter.h"
#include "list/Totals.h"
#include "model/CountingWorker.h"

#include <QSet>
#include <QStringDecoder>
#include <QThread>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

#ifdef FOLIMETER_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

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
        std::fprintf(stderr, "\r%s\x1b[K", encodeSurrogateEscape(text).constData());
        std::fflush(stderr);
        m_shown = true;
    }

    // A whole line, below which the progress line is drawn again at its next refresh. Names in
    // it keep their bytes, as ls prints them.
    void printLine(const QString& text)
    {
        clear();
        std::fprintf(stderr, "%s\n", encodeSurrogateEscape(text).constData());
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

// Adds the accepted lines of the list at `path` ("-": standard input) to `list`, all or none.
// The list is read in blocks and taken line by line, so a list of any length costs only its
// accepted entries; a line longer than PATH_MAX bytes (no path is that long: /dev/zero, an
// endless line) ends the read. False with a reason when the list cannot be read, is not UTF-8
// or holds such a line.
bool readList(const QByteArray& path, ImportList& list, QString& reason)
{
    const bool standardInput = path == "-";
    const int fd = standardInput ? STDIN_FILENO : ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = errorText(errno);
        return false;
    }
    ImportList read(allowedFileTypes());
    qint64 lineNumber = 0;
    const auto take = [&](QByteArrayView line) {
        ++lineNumber;
        if (line.size() > PATH_MAX) {
            reason = QStringLiteral("line %1 is longer than %2 bytes").arg(lineNumber).arg(PATH_MAX);
            return false;
        }
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(line);
        if (decoder.hasError())
            reason = QStringLiteral("not UTF-8 text (line %1)").arg(lineNumber);
        else
            read.appendLine(text);
        return !decoder.hasError();
    };
    QByteArray pending;
    char buffer[65536];
    bool ok = true;
    while (ok) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            if (count < 0)
                reason = errorText(errno);
            ok = count == 0 && (pending.isEmpty() || take(pending));
            break;
        }
        pending.append(buffer, count);
        qsizetype start = 0;
        for (qsizetype end = 0; ok && (end = pending.indexOf('\n', start)) >= 0; start = end + 1)
            ok = take(QByteArrayView(pending).sliced(start, end - start));
        pending.remove(0, start);
        ok = ok && (pending.size() <= PATH_MAX || take(pending));
    }
    if (!standardInput)
        ::close(fd);
    if (!ok)
        return false;
    // The first list read is taken whole; a later one adds what the earlier ones did not hold.
    if (list.files().isEmpty()) {
        list = std::move(read);
        return true;
    }
    for (const QUrl& url : read.files())
        list.appendUrl(url);
    return true;
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

// Writes all of `bytes` to standard output; 0, or the error that stopped it.
int writeStandardOutput(const QByteArray& bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t count = ::write(STDOUT_FILENO, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno != EINTR)
            return errno;
        done += std::max<ssize_t>(count, 0);
    }
    return 0;
}

} // namespace

int runCliCounter(const CliOptions& options, bool standardOutputClosed)
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
            programMessage(QStringLiteral("cannot read '%1': %2").arg(decodeSurrogateEscape(nativePath), reason)));
        exitStatus = 1;
    };

    // The lists are read before the handlers go in, so Ctrl+C ends a wait on a terminal at once.
    ImportList lists(allowedFileTypes());
    for (const QString& list : options.lists) {
        QString reason;
        if (!readList(encodeSurrogateEscape(list), lists, reason)) {
            const QString name = list == QLatin1String("-") ? QStringLiteral("standard input") : list;
            status.printLine(programMessage(QStringLiteral("cannot read list '%1': %2").arg(name, reason)));
            exitStatus = 1;
        }
    }
    // The paths as a drop of them: folders are scanned, a file is listed by its extension, and
    // one named with another is reported rather than dropped without a word.
    Arguments drop{{}, true, options.includeSubfolders};
    const QByteArray currentFolder = localpath::currentFolder();
    for (const QString& path : options.paths) {
        const QByteArray absolute = localpath::absolute(encodeSurrogateEscape(path), currentFolder);
        struct stat st {};
        if (::stat(absolute.constData(), &st) == 0 && !S_ISDIR(st.st_mode) &&
            !FileSystemHelper::hasAllowedExtension(absolute)) {
            status.printLine(programMessage(QStringLiteral("skipped '%1': not a .tif, .tiff or .pdf name").arg(path)));
            continue;
        }
        drop.urls.append(localpath::fileUrl(absolute, currentFolder));
    }
    const Arguments import{lists.files(), false, options.includeSubfolders};

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
    // listed as the window lists them, and reported. Such a file counted 0 pages, so the others
    // need no second look.
    const FileList& files = host.files();
    for (const FileItemPtr& item : files) {
        if (g_signal)
            break;
        if (item->pages() != 0)
            continue;
        if (const int error = unreadableReason(item->nativePath()))
            reportUnreadable(item->nativePath(), error);
    }
    status.clear();

    const QByteArray bytes = exporter::encode(files, options.format);
    if (g_signal)
        endBySignal(g_signal, status);
    if (!options.output.isEmpty()) {
        // The handlers stay in while the file is written, so an interruption cannot leave a
        // half-written temporary file behind; it takes effect right after. The file is written
        // through QSaveFile, which takes its name as text: a name that is not UTF-8 is refused
        // rather than written under another name.
        QString reason = QStringLiteral("the name is not UTF-8");
        const bool written = encodeSurrogateEscape(options.output) == options.output.toUtf8() &&
                             platform::writeFileAtomically(options.output, bytes, &reason);
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
        const int error = standardOutputClosed ? EBADF : writeStandardOutput(bytes);
        if (error != 0) {
            const QString closed = standardOutputClosed ? QStringLiteral(" (standard output is closed)") : QString();
            status.printLine(
                programMessage(QStringLiteral("cannot write standard output: %1%2").arg(errorText(error), closed)));
            exitStatus = 1;
        }
    }

    std::fprintf(stderr, "%s\n%s\n", totalFilesText(files.size(), 0, PageTotals{}).toUtf8().constData(),
                 totalPagesText(pageTotals(files)).toUtf8().constData());
    // Everything is written: the process ends here rather than taking the list down item by
    // item and the libraries' state after it, a millisecond or more of a long run spent on
    // nothing anyone sees (what asked to run at a quick exit still runs). Counting helpers still
    // running read the end of their input and end.
    // Sanitized builds take everything down as usual, so that a leak is still found.
    std::fflush(stdout);
    std::fflush(stderr);
    if (!kSanitized)
        std::quick_exit(exitStatus);
    ::close(wake[0]);
    ::close(wake[1]);
    g_wakeWrite = -1;
    return exitStatus;
}
