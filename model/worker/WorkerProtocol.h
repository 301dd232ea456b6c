#pragma once

// The messages between the program and folimeter-worker, the helper process that runs libtiff
// and qpdf on the files the program's own readers leave to them. Both ends are built from the
// same sources and run on the same machine, so the messages are plain structures in host byte
// order; the version in the greeting keeps a helper of another build from being talked to.
//
// The program makes a connected pair of Unix stream sockets and starts the helper with its end
// as descriptor kSocketFd. The helper sets its limits and sends a Greeting. Then, one file at a
// time: the program sends a Request, with the open file's descriptor attached (SCM_RIGHTS) and
// the password's bytes right after it; the helper counts and sends a Reply. The helper ends
// when the program closes its end. A helper past a bound, crashed or killed sends nothing more:
// the program takes the end of the connection, or the helper's exit status, as the answer.

#include <cstddef>
#include <cstdint>

namespace workerprotocol {

constexpr std::uint32_t kVersion = 1;

// The helper's name, looked for beside the running program.
constexpr char kProgramName[] = "folimeter-worker";
// The first argument the helper is started with; without it, it refuses to run.
constexpr char kServeArgument[] = "--serve";
// The descriptor of the helper's end of the connection.
constexpr int kSocketFd = 3;

// Limits the helper puts on itself before it greets, enforced by the kernel from then on.
constexpr std::uint64_t kAddressSpaceBytes = 512ull * 1024 * 1024;
constexpr std::uint64_t kStackBytes = 8ull * 1024 * 1024;
// Processor time past a request's own bound before the kernel ends the helper (SIGXCPU): a
// backstop for the program's own watch of the helper's processor clock.
constexpr std::uint32_t kCpuBackstopSeconds = 2;

constexpr std::uint32_t kMaxPasswordBytes = 4096;

constexpr char kGreetingMagic[8] = {'F', 'O', 'L', 'W', 'O', 'R', 'K', '\0'};
constexpr std::uint32_t kRequestMagic = 0x51574C46; // "FLWQ"
constexpr std::uint32_t kReplyMagic = 0x52574C46;   // "FLWR"

struct Greeting {
    char magic[8];
    std::uint32_t version;
    std::uint32_t reserved;
};

enum class Kind : std::uint32_t {
    Tiff = 1, // libtiff: the directories it reads as images
    Pdf = 2,  // qpdf: the pages of the page tree
};

struct Request {
    std::uint32_t magic;
    std::uint32_t kind; // a Kind
    std::uint32_t passwordBytes;
    std::uint32_t cpuMilliseconds; // the processor time this count may take
};

enum class Outcome : std::uint32_t {
    Counted = 1, // pages and locked hold the count (0 when the library cannot read the file)
    Memory = 2,  // the library ran out of the helper's address space
    Depth = 3,   // the library overflowed the helper's stack
};

struct Reply {
    std::uint32_t magic;
    std::uint32_t outcome; // an Outcome
    std::uint64_t pages;
    std::uint32_t locked; // 1: a PDF that the password does not open
    std::uint32_t reserved;
};

static_assert(sizeof(Greeting) == 16 && sizeof(Request) == 16 && sizeof(Reply) == 24);

} // namespace workerprotocol
