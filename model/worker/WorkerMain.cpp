// folimeter-worker: counts pages with libtiff and qpdf for the program, one file at a time, in
// a process of its own under limits the kernel enforces, so that a library that crashes, loops
// or eats memory on a hostile file ends this process and never the program. The program starts
// it (see model/CountingWorker.cpp) and talks to it as model/worker/WorkerProtocol.h describes;
// run by hand it refuses to start.
//
// Test-only: when FOLIMETER_WORKER_ABORT_ON names a file (its last path component), the helper
// aborts on receiving that file, as a library crash would.

#include "app/Sanitizers.h"
#include "model/worker/LibraryCounts.h"
#include "model/worker/WorkerProtocol.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

using namespace workerprotocol;

// Set when an allocation failed during a count: a library may catch std::bad_alloc and go on
// with less, but the answer is then the memory bound's, whatever it returned.
volatile sig_atomic_t g_outOfMemory = 0;

// The lowest address the stack may grow to, and the reply the stack-overflow handler sends.
std::uintptr_t g_stackLow = 0;
Reply g_depthReply{kReplyMagic, std::uint32_t(Outcome::Depth), 0, 0, 0};

void onAllocationFailure()
{
    g_outOfMemory = 1;
    std::set_new_handler(nullptr);
    throw std::bad_alloc();
}

// Moves `size` bytes through `io` (send or recv on the socket), whatever the pieces it takes.
template <typename Byte, typename Io> bool transferAll(Byte* bytes, size_t size, const Io& io)
{
    while (size > 0) {
        const ssize_t n = io(bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

bool sendAll(const void* data, size_t size)
{
    return transferAll(static_cast<const char*>(data), size,
                       [](const char* bytes, size_t n) { return ::send(kSocketFd, bytes, n, MSG_NOSIGNAL); });
}

bool receiveAll(void* data, size_t size)
{
    return transferAll(static_cast<char*>(data), size,
                       [](char* bytes, size_t n) { return ::recv(kSocketFd, bytes, n, 0); });
}

// A fault within reach of the stack's end is the stack running out (a library recursing over a
// nested structure): that is answered as the depth bound. Any other fault ends the helper as a
// crash. Runs on its own stack; uses only async-signal-safe calls.
void onFault(int signal, siginfo_t* info, void*)
{
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    constexpr std::uintptr_t kReach = 1024 * 1024;
    if (signal == SIGSEGV && g_stackLow != 0 && address + kReach >= g_stackLow && address < g_stackLow + kReach) {
        [[maybe_unused]] const ssize_t n = ::send(kSocketFd, &g_depthReply, sizeof g_depthReply, MSG_NOSIGNAL);
        ::_exit(0);
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void setLimit(int resource, rlim_t value)
{
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? value : std::min<rlim_t>(value, limit.rlim_max);
    ::setrlimit(resource, &limit);
}

std::uintptr_t stackLowEnd()
{
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) != 0)
        return 0;
    void* low = nullptr;
    size_t size = 0;
    const bool ok = ::pthread_attr_getstack(&attributes, &low, &size) == 0;
    ::pthread_attr_destroy(&attributes);
    return ok ? reinterpret_cast<std::uintptr_t>(low) : 0;
}

// The limits, the fault handler and the allocation-failure hook; false when the helper cannot
// run as the program expects it to.
bool prepare()
{
    // No core files: a crash on a hostile file is an answer, not something to keep.
    setLimit(RLIMIT_CORE, 0);
    ::prctl(PR_SET_DUMPABLE, 0);
    // Address space bounds everything the libraries allocate. A sanitizer reserves terabytes of
    // it up front, so a sanitized helper goes without (the build makes it unsanitized).
#ifndef FOLIMETER_SANITIZED
    setLimit(RLIMIT_AS, kAddressSpaceBytes);
#endif
    setLimit(RLIMIT_STACK, kStackBytes);
    g_stackLow = stackLowEnd();

    static char alternateStack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    if (::sigaltstack(&stack, nullptr) != 0)
        return false;
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    if (::sigaction(SIGSEGV, &action, nullptr) != 0)
        return false;
    std::set_new_handler(onAllocationFailure);
    return true;
}

// The processor time the helper has used, in whole seconds rounded up.
rlim_t cpuSecondsUsed()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return rlim_t(now.tv_sec) + 1;
}

// Receives one request and the descriptor that comes with it; false at the end of the
// connection or on a request that breaks the protocol.
bool receiveRequest(Request& request, int& fd, std::string& password)
{
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    iovec part{&request, sizeof request};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(kSocketFd, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    fd = -1;
    int extra = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            if (fd < 0) {
                fd = received;
            } else {
                ::close(received);
                ++extra;
            }
        }
    }
    if (size_t(n) < sizeof request && !receiveAll(reinterpret_cast<char*>(&request) + n, sizeof request - size_t(n)))
        return false;
    if (fd < 0 || extra > 0 || (message.msg_flags & MSG_CTRUNC) || request.magic != kRequestMagic ||
        request.passwordBytes > kMaxPasswordBytes)
        return false;
    password.assign(request.passwordBytes, '\0');
    return receiveAll(password.data(), password.size());
}

// The test-only crash: the request's file is the one FOLIMETER_WORKER_ABORT_ON names.
bool isAbortTarget(int fd)
{
    const char* name = std::getenv("FOLIMETER_WORKER_ABORT_ON");
    if (!name || !*name)
        return false;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    const char* last = std::strrchr(target, '/');
    return std::strcmp(last ? last + 1 : target, name) == 0;
}

Reply count(const Request& request, int fd, const std::string& password)
{
    Reply reply{kReplyMagic, std::uint32_t(Outcome::Counted), 0, 0, 0};
    g_outOfMemory = 0;
    std::set_new_handler(onAllocationFailure);
    try {
        if (request.kind == std::uint32_t(Kind::Tiff)) {
            reply.pages = librarycount::tiffPageCount(fd);
        } else {
            const librarycount::PdfCount pdf = librarycount::pdfPageCount(fd, password);
            reply.pages = pdf.pages;
            reply.locked = pdf.passwordProtected ? 1 : 0;
        }
    } catch (const std::bad_alloc&) {
        g_outOfMemory = 1;
    }
    if (g_outOfMemory) {
        reply.outcome = std::uint32_t(Outcome::Memory);
        reply.pages = 0;
        reply.locked = 0;
    }
    return reply;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || std::strcmp(argv[1], kServeArgument) != 0) {
        std::fprintf(stderr, "%s: a helper of folimeter and folimeter-cli, started by them; it does not run alone\n",
                     kProgramName);
        return 2;
    }
    // Ends with the program, however the program ends; a program gone already is not waited for.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc >= 3 && std::strtol(argv[2], nullptr, 10) != long(::getppid()))
        return 0;
    if (!prepare())
        return 3;
    Greeting greeting{};
    std::memcpy(greeting.magic, kGreetingMagic, sizeof greeting.magic);
    greeting.version = kVersion;
    if (!sendAll(&greeting, sizeof greeting))
        return 0;

    Request request{};
    int fd = -1;
    std::string password;
    while (receiveRequest(request, fd, password)) {
        if (request.kind != std::uint32_t(Kind::Tiff) && request.kind != std::uint32_t(Kind::Pdf))
            return 3;
        if (isAbortTarget(fd))
            std::abort();
        // The kernel's backstop: this count's processor time and a little more, from now.
        setLimit(RLIMIT_CPU, cpuSecondsUsed() + (request.cpuMilliseconds + 999) / 1000 + kCpuBackstopSeconds);
        const Reply reply = count(request, fd, password);
        ::close(fd);
        // What the count allocated goes back to the system, so that the next count starts from
        // the same address space whatever this one took.
        ::malloc_trim(0);
        if (!sendAll(&reply, sizeof reply))
            return 0;
    }
    return 0;
}
