#include "model/PageCounter.h"

#include "app/Platform.h"
#include "model/CountingBudget.h"
#include "model/CountingWorker.h"
#include "model/FileItem.h"
#include "model/FileReader.h"
#include "model/TiffDirectoryWalk.h"
#include "model/pdf/PageTree.h"
#include "model/worker/WorkerProtocol.h"

#include <QFile>

#include <time.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace pagecount {

namespace {

// The work one file may cost in the program's own readers. A valid PDF of a few thousand pages
// takes some tens of milliseconds and a few megabytes; one of 50,000 pages about 1.5 s and
// 170 MB, near where both bounds lie. Past them the file is taken as hostile or hopeless and
// counts 0: on a list of thousands of files one such file must not hold the job up for minutes
// or take the memory of the machine, and a count of 0 with its log line is what any unreadable
// file gives. The processor time is one bound for the whole count: what the helper may take is
// what the program's readers left of it.
constexpr CountingBudget::Limits kLimits{
    2'000'000'000,     // processor time: 2 s
    256 * 1024 * 1024, // memory the readers account for
    4 * 1024 * 1024,   // stack below the counter's frame
};

// The one log line of a count stopped at a bound, or of a count out of range.
void logStopped(const QByteArray& path, const QString& reason)
{
    platform::logError(QStringLiteral("(getTiffPageCount)"),
                       QStringLiteral("%1: %2").arg(QFile::decodeName(path), reason));
}

// The log's words for a bound the count passed, in the program or in the helper.
QString reasonFor(CountingBudget::Bound bound)
{
    CountingBudget::Limits limits = kLimits;
    limits.memoryBytes = std::int64_t(workerprotocol::kAddressSpaceBytes); // only the helper stops at its memory bound
    return CountingBudget::describe(bound, limits);
}

// A count as the callers' signed 32-bit integer. A larger one cannot be told apart from a
// wrapped one downstream (totals add counts up), so it is refused: 0 and a log line.
qint32 narrowedCount(quint64 count, const QByteArray& path)
{
    if (count <= quint64(std::numeric_limits<qint32>::max()))
        return qint32(count);
    logStopped(path, QStringLiteral("%1 pages do not fit a 32-bit count").arg(count));
    return 0;
}

bool hasTiffSignature(const char* data, size_t size)
{
    if (size < 8)
        return false;
    const auto b = reinterpret_cast<const unsigned char*>(data);
    const bool little = b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0;
    const bool big = b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43);
    return little || big;
}

bool startsAsTiff(FileReader& file)
{
    char header[8];
    return file.readAt(0, header, sizeof header) == sizeof header && hasTiffSignature(header, sizeof header);
}

// A count; stopped: at a bound or by a failure of the helper (then logged already, and 0);
// interrupted: cut off by Cancel or quit (nothing logged, and no count).
struct Count {
    qint32 pages = 0;
    bool stopped = false;
    bool passwordProtected = false;
    bool interrupted = false;
};

Count stoppedCount(const QByteArray& path, const QString& reason)
{
    logStopped(path, reason);
    return {0, true};
}

Count interruptedCount()
{
    Count interrupted;
    interrupted.interrupted = true;
    return interrupted;
}

// The count a budget passed ends with: interrupted by Cancel or quit, else stopped and logged.
Count pastBound(const QByteArray& path, const CountingBudget& budget)
{
    return budget.exceeded() == CountingBudget::Bound::Stopped ? interruptedCount()
                                                               : stoppedCount(path, budget.reason());
}

// The library's count of the file in the thread's helper, within the processor time the count
// has left since `cpuStart`.
Count libraryCount(FileReader& file, CountingWorker::Kind kind, const QByteArray& path, const QByteArray& password,
                   std::int64_t cpuStart)
{
    using Status = CountingWorker::Result::Status;
    const std::int64_t left = kLimits.cpuNanoseconds - (CountingBudget::threadCpuNanoseconds() - cpuStart);
    if (left <= 0)
        return stoppedCount(path, reasonFor(CountingBudget::Bound::Time));
    const CountingWorker::Result result = CountingWorker::forThisThread().count(file.fd(), kind, password, left);
    switch (result.status) {
    case Status::Counted:
        return {narrowedCount(result.pages, path), false, result.passwordProtected};
    case Status::TimeBound:
        return stoppedCount(path, reasonFor(CountingBudget::Bound::Time));
    case Status::MemoryBound:
        return stoppedCount(path, reasonFor(CountingBudget::Bound::Memory));
    case Status::DepthBound:
        return stoppedCount(path, reasonFor(CountingBudget::Bound::Depth));
    case Status::Failed:
        return stoppedCount(path, result.reason);
    case Status::Cancelled:
        break;
    }
    return interruptedCount();
}

// The directory walk answers for the common files; libtiff, in the helper, for the rest.
Count tiffImageCountOf(FileReader& file, const QByteArray& path)
{
    if (!startsAsTiff(file))
        return {};
    std::int64_t cpuStart = 0;
    std::optional<quint32> count;
    {
        CountingBudget budget(kLimits);
        cpuStart = budget.cpuStart();
        count = walkTiffDirectories(file, budget);
        if (budget.exceeded() != CountingBudget::Bound::None)
            return pastBound(path, budget);
    }
    if (count)
        return {narrowedCount(*count, path)};
    return libraryCount(file, CountingWorker::Kind::Tiff, path, {}, cpuStart);
}

Count libtiffImageCountOf(FileReader& file, const QByteArray& path)
{
    if (!startsAsTiff(file))
        return {};
    return libraryCount(file, CountingWorker::Kind::Tiff, path, {}, CountingBudget::threadCpuNanoseconds());
}

// The page-tree reader answers for the common files; qpdf, in the helper, for the rest.
Count pdfPageCountOf(FileReader& file, const QByteArray& path, const QString& password)
{
    const QByteArray pw = password.toUtf8();
    std::int64_t cpuStart = 0;
    std::optional<pdftree::PageTreeCount> quick;
    {
        CountingBudget budget(kLimits);
        cpuStart = budget.cpuStart();
        try {
            quick = pdftree::countPages(file, pw, budget);
        } catch (...) {
            // Out of memory: qpdf in the helper, with memory of its own, may still manage.
            quick.reset();
        }
        if (budget.exceeded() != CountingBudget::Bound::None)
            return pastBound(path, budget);
    }
    if (quick)
        return {narrowedCount(quick->pages, path), false, quick->passwordProtected};
    return libraryCount(file, CountingWorker::Kind::Pdf, path, pw, cpuStart);
}

} // namespace

qint32 tiffImageCount(const QByteArray& nativePath)
{
    FileReader file(nativePath);
    return file.isOpen() ? tiffImageCountOf(file, nativePath).pages : 0;
}

qint32 libtiffImageCount(const QByteArray& nativePath)
{
    FileReader file(nativePath);
    return file.isOpen() ? libtiffImageCountOf(file, nativePath).pages : 0;
}

qint32 pdfPageCount(const QByteArray& nativePath, const QString& password)
{
    FileReader file(nativePath);
    return file.isOpen() ? pdfPageCountOf(file, nativePath, password).pages : 0;
}

qint32 qpdfPageCount(const QByteArray& nativePath, const QString& password)
{
    FileReader file(nativePath);
    return file.isOpen() ? libraryCount(file, CountingWorker::Kind::Pdf, nativePath, password.toUtf8(),
                                        CountingBudget::threadCpuNanoseconds())
                               .pages
                         : 0;
}

} // namespace pagecount

namespace {

bool hasPdfExtension(const QByteArray& nativePath)
{
    return FileItem::nativePathParts(nativePath).extension.compare("pdf", Qt::CaseInsensitive) == 0;
}

} // namespace

PageCount measurePages(const QByteArray& nativePath, const QString& password)
{
    if (nativePath.isEmpty())
        return {};
    pagecount::FileReader file(nativePath);
    if (!file.isOpen())
        return {};
    // A TIFF stopped at a bound has been logged; it is not tried again as a PDF.
    if (const pagecount::Count images = pagecount::tiffImageCountOf(file, nativePath);
        images.pages != 0 || images.stopped || images.interrupted)
        return {images.pages, false, images.interrupted};
    if (!hasPdfExtension(nativePath))
        return {};
    const pagecount::Count pages = pagecount::pdfPageCountOf(file, nativePath, password);
    return {pages.pages, pages.passwordProtected, pages.interrupted};
}

qint32 pageCountForPath(const QByteArray& nativePath, const QString& password)
{
    return measurePages(nativePath, password).pages;
}

qint32 getTiffPageCount(const QUrl& url, const QString& password)
{
    if (!url.isValid() || !url.isLocalFile())
        return 0;
    return pageCountForPath(QFile::encodeName(url.toLocalFile()), password);
}
