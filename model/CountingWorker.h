#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <sys/types.h>
#include <time.h>

// A connection to folimeter-worker, the helper process that counts with libtiff and qpdf the
// files the program's own readers leave to them (model/worker/), so that a library that
// crashes, loops or eats memory on a hostile file ends the helper and never the program.
//
// Each counting thread has its own (forThisThread()): started on first need, kept from file to
// file, ended with the thread. The helper runs under kernel limits it sets itself (address
// space, stack, no core files, processor time as a backstop); the connection watches its
// processor clock during each count and kills it past the count's bound. A helper that ended
// for any reason is replaced by a fresh one at the next count.
//
// Counting threads have no event loop, so nothing here uses Qt's processes or timers: the helper
// is started with posix_spawn (no fork of a threaded program), every descriptor is close-on-exec,
// writes never raise SIGPIPE and every wait retries after EINTR.
class CountingWorker {
public:
    enum class Kind { Tiff, Pdf };

    struct Result {
        enum class Status {
            Counted,     // pages and passwordProtected hold the library's answer
            TimeBound,   // the count took more than its processor time
            MemoryBound, // the library ran out of the helper's address space
            DepthBound,  // the library overflowed the helper's stack
            Failed,      // the helper could not start, crashed or answered nonsense: see reason
            Cancelled,   // stopAll() ended the count: no answer
        };
        Status status = Status::Failed;
        quint64 pages = 0;
        bool passwordProtected = false;
        QString reason; // Failed: why, for the log ("the counting helper crashed (signal 11, SEGV)")
    };

    // The calling thread's connection.
    static CountingWorker& forThisThread();

    CountingWorker() = default;
    ~CountingWorker();
    CountingWorker(const CountingWorker&) = delete;
    CountingWorker& operator=(const CountingWorker&) = delete;

    // Counts the open regular file `fd` (left open; the helper reads the same open file, so it
    // sees the bytes the program's readers saw, whatever happens to the path meanwhile) with the
    // library for `kind`, opening a PDF with `password` (UTF-8). The helper may take
    // `cpuNanoseconds` of processor time and, whatever the machine's load, 20 s of wall time.
    Result count(int fd, Kind kind, const QByteArray& password, std::int64_t cpuNanoseconds);

    // ---- For the whole process ----

    // The helper program: the path set with setProgramPath(), else $FOLIMETER_WORKER (the tests
    // set it), else folimeter-worker beside the running executable, as installed.
    static QByteArray programPath();
    // An empty path goes back to the default.
    static void setProgramPath(const QByteArray& path);

    // Cancel and quit: kills every helper at once. The counts they were making, and every count
    // asked for until resume(), give Cancelled without starting a helper.
    static void stopAll();
    static void resume();

    // How many times a helper could not be started (a missing or wrong program) so far.
    static int startFailures();
    // The largest peak resident set of any helper that has ended so far, in KiB.
    static qint64 peakResidentKiB();

private:
    Result start();
    // Kills the helper (unless it ended already) and waits for it; returns its wait status.
    int end(bool kill = true);
    Result ended();

    pid_t m_pid = -1;
    int m_socket = -1;
    clockid_t m_clock{};
    std::uint64_t m_stopsAtStart = 0; // stopAll() calls before the helper started
};
