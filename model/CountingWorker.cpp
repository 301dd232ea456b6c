#include "model/CountingWorker.h"

#include "model/CountingBudget.h"

#include "model/worker/WorkerProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace workerprotocol;
using Status = CountingWorker::Result::Status;
using Clock = std::chrono::steady_clock;

// A count's wall-time bound: the processor-time bound is the one that matters, this one only
// ends a helper that is stopped or blocked without using processor time.
constexpr auto kWallBound = std::chrono::seconds(20);
// How long a starting helper may take to greet, on a loaded machine.
constexpr auto kGreetingBound = std::chrono::seconds(5);
// How long a helper that closed its end may take to exit before it is killed.
constexpr auto kExitGrace = std::chrono::milliseconds(500);

// What all connections share; made on first use, so that a static initializer elsewhere may
// set the program's path.
struct Shared {
    std::mutex mutex;
    std::vector<pid_t> live; // helpers started and not yet waited for
    bool stopped = false;
    QByteArray programPath;
    // Why the program at programPath cannot serve as a helper, once that is known: it is not
    // tried again for every file.
    QString unusable;
};

Shared& shared()
{
    static Shared s;
    return s;
}

std::atomic_bool g_stoppedFlag{false}; // shared().stopped, read without the lock
std::atomic<std::uint64_t> g_stops{0}; // stopAll() calls so far: helpers started before one were killed
std::atomic_int g_startFailures{0};
std::atomic<qint64> g_peakKiB{0};

// For scripts/robustness-report.sh: with FOLIMETER_PEAK_REPORT naming a file, the program
// appends to it at exit (or quick_exit) its own peak resident set and its helpers' highest, in KiB
// ("program 41234 helpers 5120"). Nothing else reads it.
void writePeakReport()
{
    const char* path = std::getenv("FOLIMETER_PEAK_REPORT");
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    if (FILE* report = path ? std::fopen(path, "ae") : nullptr) {
        std::fprintf(report, "program %ld helpers %lld\n", self.ru_maxrss, static_cast<long long>(g_peakKiB.load()));
        std::fclose(report);
    }
}

[[maybe_unused]] const bool g_peakReport = [] {
    if (std::getenv("FOLIMETER_PEAK_REPORT")) {
        std::atexit(writePeakReport);
        std::at_quick_exit(writePeakReport); // folimeter-cli ends that way
    }
    return true;
}();

QByteArray defaultProgramPath()
{
    if (const char* path = std::getenv("FOLIMETER_WORKER"); path && *path)
        return QByteArray(path);
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return QByteArray(kProgramName);
    QByteArray path(self, qsizetype(n));
    return path.left(path.lastIndexOf('/') + 1) + kProgramName;
}

QString describeError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString describeStatus(int status)
{
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = ::sigabbrev_np(signal);
        return QStringLiteral("the counting helper crashed (signal %1, %2)")
            .arg(signal)
            .arg(QLatin1String(name ? name : "?"));
    }
    if (WIFEXITED(status))
        return QStringLiteral("the counting helper ended unexpectedly (exit status %1)").arg(WEXITSTATUS(status));
    return QStringLiteral("the counting helper ended unexpectedly");
}

CountingWorker::Result failed(const QString& reason)
{
    CountingWorker::Result result;
    result.status = Status::Failed;
    result.reason = reason;
    return result;
}

CountingWorker::Result withStatus(Status status)
{
    CountingWorker::Result result;
    result.status = status;
    return result;
}

std::int64_t cpuNanoseconds(clockid_t clock)
{
    timespec now{};
    if (::clock_gettime(clock, &now) != 0)
        return -1;
    return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Reads exactly `size` bytes, waiting at most until `deadline`. Returns the bytes read: fewer
// when the other end closed, the deadline passed or `stop` says so (checked at every wake-up).
template <typename Stop>
size_t receiveUntil(int fd, void* data, size_t size, Clock::time_point deadline, int sliceMs, const Stop& stop)
{
    char* bytes = static_cast<char*>(data);
    size_t got = 0;
    while (got < size) {
        if (stop())
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(std::min<long long>(left, sliceMs)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        const ssize_t n = ::recv(fd, bytes + got, size - got, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    return got;
}

// Sends the request with the file's descriptor, then the password.
bool sendRequest(int socket, int fd, const Request& request, const QByteArray& password)
{
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec part{const_cast<Request*>(&request), sizeof request};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    ssize_t n;
    do {
        n = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    // The rest of the header, if the first call took only part of it, then the password.
    const QByteArray rest =
        QByteArray(reinterpret_cast<const char*>(&request) + n, qsizetype(sizeof request) - n) + password;
    qsizetype done = 0;
    while (done < rest.size()) {
        const ssize_t sent = ::send(socket, rest.constData() + done, size_t(rest.size() - done), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += sent;
    }
    return true;
}

} // namespace

CountingWorker& CountingWorker::forThisThread()
{
    thread_local CountingWorker worker;
    return worker;
}

CountingWorker::~CountingWorker()
{
    end();
}

QByteArray CountingWorker::programPath()
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    if (s.programPath.isEmpty())
        s.programPath = defaultProgramPath();
    return s.programPath;
}

void CountingWorker::setProgramPath(const QByteArray& path)
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    s.programPath = path;
    s.unusable.clear();
}

void CountingWorker::stopAll()
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    s.stopped = true;
    g_stoppedFlag = true;
    ++g_stops;
    CountingBudget::stopAll(); // the program's own readers too
    // A helper in this list has not been waited for, so its process id is still its own.
    for (const pid_t pid : s.live)
        ::kill(pid, SIGKILL);
}

void CountingWorker::resume()
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    s.stopped = false;
    g_stoppedFlag = false;
    CountingBudget::resumeAll();
}

int CountingWorker::startFailures()
{
    return g_startFailures;
}

qint64 CountingWorker::peakResidentKiB()
{
    return g_peakKiB;
}

namespace {

// A start failure that the next attempt would meet again (a resource that is short is not).
CountingWorker::Result unusableProgram(const QString& reason)
{
    ++g_startFailures;
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    s.unusable = reason;
    return failed(reason);
}

} // namespace

CountingWorker::Result CountingWorker::start()
{
    const QByteArray path = programPath();
    {
        Shared& s = shared();
        std::lock_guard lock(s.mutex);
        if (!s.unusable.isEmpty()) {
            ++g_startFailures;
            return failed(s.unusable);
        }
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return failed(QStringLiteral("the counting helper cannot start: %1").arg(describeError(errno)));
    int childEnd = ends[1];
    if (childEnd == kSocketFd) {
        // dup2 onto itself would leave it close-on-exec.
        childEnd = ::fcntl(ends[1], F_DUPFD_CLOEXEC, kSocketFd + 1);
        ::close(ends[1]);
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    // Standard input and output are not the helper's: the command line's output is the list.
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, childEnd, kSocketFd);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, kSocketFd + 1);
    // Every signal at its default and none blocked, whatever the counting thread has; a process
    // group of its own, so that Ctrl+C on a terminal reaches the program, which ends its helpers.
    sigset_t mask;
    sigemptyset(&mask);
    ::posix_spawnattr_setsigmask(&attributes, &mask);
    sigfillset(&mask);
    ::posix_spawnattr_setsigdefault(&attributes, &mask);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const QByteArray parent = QByteArray::number(qint64(::getpid()));
    char* argv[] = {const_cast<char*>(path.constData()), const_cast<char*>(kServeArgument),
                    const_cast<char*>(parent.constData()), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    ::close(childEnd);
    if (error != 0) {
        ::close(ends[0]);
        const QString reason = QStringLiteral("the counting helper %1 cannot start: %2")
                                   .arg(QString::fromLocal8Bit(path), describeError(error));
        if (error == EAGAIN || error == ENOMEM || error == EMFILE || error == ENFILE) {
            ++g_startFailures;
            return failed(reason);
        }
        return unusableProgram(reason);
    }
    m_pid = pid;
    m_socket = ends[0];
    {
        Shared& s = shared();
        std::lock_guard lock(s.mutex);
        s.live.push_back(pid);
        m_stopsAtStart = g_stops;
        if (s.stopped)
            ::kill(pid, SIGKILL);
    }
    if (::clock_getcpuclockid(pid, &m_clock) != 0)
        m_clock = CLOCK_MONOTONIC; // never: a child's clock can always be read

    Greeting greeting{};
    const size_t got = receiveUntil(m_socket, &greeting, sizeof greeting, Clock::now() + kGreetingBound, 100,
                                    [] { return g_stoppedFlag.load(); });
    if (g_stoppedFlag) {
        end();
        return withStatus(Status::Cancelled);
    }
    if (got == sizeof greeting && std::memcmp(greeting.magic, kGreetingMagic, sizeof greeting.magic) == 0 &&
        greeting.version == kVersion)
        return withStatus(Status::Counted);
    end();
    const QString program = QString::fromLocal8Bit(path);
    if (got == sizeof greeting && std::memcmp(greeting.magic, kGreetingMagic, sizeof greeting.magic) == 0)
        return unusableProgram(QStringLiteral("the counting helper %1 is of another version (protocol %2, expected %3)")
                                   .arg(program)
                                   .arg(greeting.version)
                                   .arg(kVersion));
    return unusableProgram(QStringLiteral("%1 is not a counting helper (it did not greet as one)").arg(program));
}

int CountingWorker::end(bool kill)
{
    if (m_pid < 0)
        return 0;
    {
        // Off the list before it is waited for: stopAll() must never signal a reused id.
        Shared& s = shared();
        std::lock_guard lock(s.mutex);
        s.live.erase(std::remove(s.live.begin(), s.live.end(), m_pid), s.live.end());
    }
    int status = 0;
    rusage usage{};
    pid_t waited = 0;
    if (!kill) {
        const auto deadline = Clock::now() + kExitGrace;
        while ((waited = ::wait4(m_pid, &status, WNOHANG, &usage)) == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (waited == 0) {
        ::kill(m_pid, SIGKILL);
        do {
            waited = ::wait4(m_pid, &status, 0, &usage);
        } while (waited < 0 && errno == EINTR);
    }
    if (waited == m_pid) {
        qint64 peak = g_peakKiB;
        while (usage.ru_maxrss > peak && !g_peakKiB.compare_exchange_weak(peak, usage.ru_maxrss)) {
        }
    }
    ::close(m_socket);
    m_socket = -1;
    m_pid = -1;
    return status;
}

CountingWorker::Result CountingWorker::ended()
{
    if (g_stoppedFlag) {
        end();
        return withStatus(Status::Cancelled);
    }
    const int status = end(false);
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
        return withStatus(Status::TimeBound);
    return failed(describeStatus(status));
}

CountingWorker::Result CountingWorker::count(int fd, Kind kind, const QByteArray& password, std::int64_t cpuNanoseconds)
{
    if (g_stoppedFlag)
        return withStatus(Status::Cancelled);
    Request request{kRequestMagic,
                    kind == Kind::Tiff ? std::uint32_t(workerprotocol::Kind::Tiff)
                                       : std::uint32_t(workerprotocol::Kind::Pdf),
                    std::uint32_t(password.size()),
                    std::uint32_t(std::clamp<std::int64_t>(cpuNanoseconds / 1'000'000, 1, 3'600'000))};
    if (password.size() > qsizetype(kMaxPasswordBytes))
        return failed(QStringLiteral("the password is longer than %1 bytes").arg(kMaxPasswordBytes));
    // A helper that stopAll() killed while it waited may not have ended yet, and would take the
    // request: it is waited for, and a fresh one started.
    if (m_pid >= 0 && m_stopsAtStart != g_stops)
        end();
    // A helper that ended while it waited (killed from outside) fails the send: one fresh try.
    bool sent = false;
    for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
        if (m_pid < 0) {
            if (const Result started = start(); started.status != Status::Counted)
                return started;
        }
        sent = sendRequest(m_socket, fd, request, password);
        if (!sent)
            end();
    }
    if (!sent)
        return failed(QStringLiteral("the counting helper does not take requests"));

    const std::int64_t cpuStart = ::cpuNanoseconds(m_clock);
    const auto wallDeadline = Clock::now() + kWallBound;
    Reply reply{};
    size_t got = 0;
    bool overTime = false;
    while (got < sizeof reply) {
        // The helper runs one thread, so it cannot use more processor time than wall time: a
        // wait as long as the time it has left wakes up no earlier than needed.
        const std::int64_t used = ::cpuNanoseconds(m_clock) - cpuStart;
        if (used > cpuNanoseconds) {
            overTime = true;
            break;
        }
        const int sliceMs = int(std::min<std::int64_t>((cpuNanoseconds - used) / 1'000'000 + 1, 1000));
        const size_t n = receiveUntil(m_socket, reinterpret_cast<char*>(&reply) + got, sizeof reply - got,
                                      std::min(wallDeadline, Clock::now() + std::chrono::milliseconds(sliceMs)),
                                      sliceMs, [] { return g_stoppedFlag.load(); });
        got += n;
        if (got == sizeof reply || g_stoppedFlag)
            break;
        if (Clock::now() >= wallDeadline) {
            end();
            return failed(QStringLiteral("the counting helper did not answer within %1 s")
                              .arg(std::chrono::duration_cast<std::chrono::seconds>(kWallBound).count()));
        }
        if (n == 0) {
            // Either the slice passed or the helper closed its end: poll tells which.
            pollfd p{m_socket, POLLIN, 0};
            char byte;
            if (::poll(&p, 1, 0) > 0 && ::recv(m_socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                return ended();
        }
    }
    if (g_stoppedFlag) {
        end();
        return withStatus(Status::Cancelled);
    }
    if (overTime) {
        end();
        return withStatus(Status::TimeBound);
    }
    const bool sane =
        reply.magic == kReplyMagic && reply.locked <= 1 && reply.reserved == 0 &&
        (reply.outcome == std::uint32_t(Outcome::Counted) ||
         ((reply.outcome == std::uint32_t(Outcome::Memory) || reply.outcome == std::uint32_t(Outcome::Depth)) &&
          reply.pages == 0 && reply.locked == 0));
    if (!sane) {
        end();
        return failed(QStringLiteral("the counting helper answered nonsense"));
    }
    if (reply.outcome != std::uint32_t(Outcome::Counted)) {
        // Past a bound the helper's state is not to be trusted with another file.
        end();
        return withStatus(reply.outcome == std::uint32_t(Outcome::Memory) ? Status::MemoryBound : Status::DepthBound);
    }
    Result result;
    result.status = Status::Counted;
    result.pages = reply.pages;
    result.passwordProtected = reply.locked == 1;
    return result;
}
