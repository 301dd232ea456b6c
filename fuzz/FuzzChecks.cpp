#include "fuzz/FuzzChecks.h"

#include "app/Platform.h"
#include "gather/ImportListParser.h"
#include "list/Exporter.h"
#include "model/CountingBudget.h"
#include "model/CountingWorker.h"
#include "model/FileItem.h"
#include "model/FileList.h"
#include "model/FileReader.h"
#include "model/PageCounter.h"
#include "model/TiffDirectoryWalk.h"
#include "model/pdf/PageTree.h"
#include "model/worker/LibraryCounts.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>

#include <sys/mman.h>
#include <unistd.h>

#include <exception>

namespace fuzzcheck {

namespace {

// The checks count through the counting helper of this build, unless told otherwise.
[[maybe_unused]] const bool g_workerFound = [] {
    if (!std::getenv("FOLIMETER_WORKER"))
        CountingWorker::setProgramPath(FOLIMETER_WORKER_PATH);
    return true;
}();

// Counts the log lines written while it lives (a count stopped at a bound writes one).
class LogLines {
public:
    LogLines()
    {
        platform::setLogSink([this](const QString&) { ++m_lines; });
    }
    ~LogLines() { platform::setLogSink({}); }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;

    int count() const { return m_lines; }

private:
    int m_lines = 0;
};

// The input as an unnamed in-memory file, reachable by a path for as long as it lives.
class ScratchFile {
public:
    ScratchFile(const std::uint8_t* data, std::size_t size) : m_fd(::memfd_create("fuzz-input", MFD_CLOEXEC))
    {
        // A write to memory is whole unless memory runs out.
        if (m_fd >= 0 && ::write(m_fd, data, size) != ssize_t(size)) {
            ::close(m_fd);
            m_fd = -1;
        }
        m_path = "/proc/self/fd/" + QByteArray::number(m_fd);
    }
    ~ScratchFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    bool ok() const { return m_fd >= 0; }
    const QByteArray& path() const { return m_path; }

private:
    int m_fd;
    QByteArray m_path;
};

std::string describe(const QString& text)
{
    return text.left(200).toStdString();
}

bool startsWithTiffSignature(const std::uint8_t* b, std::size_t size)
{
    if (size < 8)
        return false;
    const bool little = b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0;
    const bool big = b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43);
    return little || big;
}

// The directory walk's answer alone, under bounds like the counter's.
std::optional<quint32> walkedDirectories(const QByteArray& path)
{
    pagecount::FileReader reader(path);
    if (!reader.isOpen())
        return 0;
    CountingBudget budget({2'000'000'000, 256 * 1024 * 1024, 4 * 1024 * 1024});
    return pagecount::walkTiffDirectories(reader, budget);
}

constexpr CountingBudget::Limits kLimits{2'000'000'000, 256 * 1024 * 1024, 4 * 1024 * 1024};

// What `check` returns, or the exception that escaped it, as a failure of `what`.
template <typename Check> Failure guarded(const char* what, const Check& check)
{
    try {
        return check();
    } catch (const std::exception& e) {
        return std::string("exception escaped ") + what + ": " + e.what();
    } catch (...) {
        return std::string("unknown exception escaped ") + what;
    }
}

} // namespace

Failure tiffCount(const std::uint8_t* data, std::size_t size)
{
    ScratchFile file(data, size);
    if (!file.ok())
        return std::nullopt; // out of descriptors or memory: nothing to learn about the counter
    try {
        const LogLines log;
        const qint32 count = pagecount::tiffImageCount(file.path());
        if (count < 0)
            return "negative TIFF image count " + std::to_string(count);
        if (count > 0 && !startsWithTiffSignature(data, size))
            return "TIFF images counted in a file without a TIFF signature";
        // The path has no ".pdf", so the general entry point may only read it as a TIFF.
        const qint32 general = pageCountForPath(file.path());
        if (general != count)
            return "pageCountForPath " + std::to_string(general) + " differs from tiffImageCount " +
                   std::to_string(count);
        // A TIFFReadDirectory loop over the same bytes in this process, without the counter's
        // bounds: the directory walk, wherever it answers, and the count, unless stopped at a
        // bound (it logs then), give its count.
        pagecount::FileReader reader(file.path());
        const std::uint64_t reference =
            reader.isOpen() && startsWithTiffSignature(data, size) ? librarycount::tiffPageCount(reader.fd()) : 0;
        if (const std::optional<quint32> walked = walkedDirectories(file.path()); walked && *walked != reference)
            return "directory walk counts " + std::to_string(*walked) + ", libtiff " + std::to_string(reference);
        if (log.count() == 0 && std::uint64_t(count) != reference)
            return "tiffImageCount " + std::to_string(count) + " differs from libtiff's " + std::to_string(reference);
    } catch (const std::exception& e) {
        return std::string("exception escaped the TIFF counter: ") + e.what();
    } catch (...) {
        return "unknown exception escaped the TIFF counter";
    }
    return std::nullopt;
}

Failure pdfCount(const std::uint8_t* data, std::size_t size)
{
    ScratchFile file(data, size);
    if (!file.ok())
        return std::nullopt;
    return guarded("the PDF counter", [&]() -> Failure {
        const qint32 count = pagecount::pdfPageCount(file.path(), QString());
        return count < 0 ? Failure("negative PDF page count " + std::to_string(count)) : std::nullopt;
    });
}

Failure pdfTree(const std::uint8_t* data, std::size_t size)
{
    ScratchFile file(data, size);
    std::optional<pdftree::PageTreeCount> quick;
    if (const Failure failure = guarded("the page-tree reader", [&]() -> Failure {
            pagecount::FileReader reader(file.path());
            CountingBudget budget(kLimits); // the counter's own bounds, so that both readers stop where it would
            if (reader.isOpen())
                quick = pdftree::countPages(reader, QByteArray(), budget);
            return std::nullopt;
        }))
        return failure;
    // qpdf's count, in the counting helper under the counter's bounds. Where qpdf cannot open the
    // file or walk its tree (a loop, a locked file, a bound), any answer goes; the helper gives 0
    // then, as it does for an empty tree. A table rebuilt from the objects follows the repairing
    // viewers, whose rules are not qpdf's (the last trailer, objects anywhere on a line).
    if (quick && quick->rebuilt)
        return std::nullopt;
    const LogLines log;
    const qint32 pages = pagecount::qpdfPageCount(file.path(), QString());
    if (pages == 0 || log.count() > 0)
        return std::nullopt;
    if (quick && quint64(pages) != quick->pages)
        return "page-tree reader counts " + std::to_string(quick->pages) + " pages, qpdf " + std::to_string(pages);
    return std::nullopt;
}

Failure importList(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // An empty entry is among the accepted types on purpose: it must never match.
    const QStringList allowed = {QStringLiteral("TIF"), QStringLiteral("TIFF"), QStringLiteral("PDF"), QString()};
    const QString text = QString::fromUtf8(bytes);
    QList<QUrl> urls;
    try {
        urls = parseImportList(text, allowed);
    } catch (...) {
        return "exception escaped parseImportList";
    }

    // Every line in the absolute form the parser must give it: leading slashes name the same
    // file as one.
    const QString base =
        QDir::currentPath().endsWith(QLatin1Char('/')) ? QDir::currentPath() : QDir::currentPath() + '/';
    QSet<QString> candidates;
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        QString path = line.startsWith(QLatin1Char('/')) ? line : base + line;
        while (path.startsWith(QLatin1String("//")))
            path.remove(0, 1);
        candidates.insert(path);
    }
    QSet<QString> seen;
    for (const QUrl& url : urls) {
        const QString path = url.toLocalFile(), extension = importListPathExtension(path).toUpper();
        if (!url.isLocalFile() || !candidates.contains(path) || extension.isEmpty() || !allowed.contains(extension) ||
            seen.contains(path))
            return "not the absolute local file of a line, with an accepted extension, listed once: " +
                   describe(url.toString());
        seen.insert(path);
    }

    // Appending to a list that already holds the first half adds exactly the second half.
    QList<QUrl> appended = urls.mid(0, urls.size() / 2);
    appendImportList(text, allowed, appended);
    if (appended != urls)
        return "appendImportList onto a prefix differs from parseImportList";

    // The same text read from a file: equal for valid UTF-8 (a leading byte-order mark is not
    // part of the text), empty otherwise.
    ScratchFile file(data, size);
    if (file.ok()) {
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString decoded = decoder.decode(bytes);
        const QList<QUrl> expected = decoder.hasError() ? QList<QUrl>() : parseImportList(decoded, allowed);
        if (parseImportListFile(QString::fromLatin1(file.path()), allowed) != expected)
            return "parseImportListFile differs from parsing the decoded text";
    }
    return std::nullopt;
}

std::optional<std::vector<QStringList>> readExportRecords(const QString& text)
{
    static const QRegularExpression field(QStringLiteral("\"((?:[^\"]++|\"\")*+)\"([\t\n])|([^\t\n\"\r]*+)([\t\n])"));
    std::vector<QStringList> records(1);
    for (qsizetype at = 0; at < text.size();) {
        const QRegularExpressionMatch m =
            field.match(text, at, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
        if (!m.hasMatch())
            return std::nullopt;
        const bool quoted = m.capturedStart(1) >= 0;
        records.back() << (quoted ? m.captured(1).replace(QLatin1String("\"\""), QLatin1String("\"")) : m.captured(3));
        if (m.captured(quoted ? 2 : 4) == QLatin1String("\n"))
            records.emplace_back();
        at = m.capturedEnd();
    }
    if (!records.back().isEmpty())
        return std::nullopt; // the last record has no line feed
    records.pop_back();
    return records;
}

Failure exportText(const std::uint8_t* data, std::size_t size)
{
    FileList list;
    std::vector<FileItemPtr> listed;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& record : bytes.split('\0').mid(0, 512)) {
        QList<QByteArray> parts = record.split('\x01');
        QByteArray path = parts.size() < 3 ? record : record.mid(parts[0].size() + parts[1].size() + 2);
        if (!path.startsWith('/'))
            path.prepend('/');
        const bool numbered = parts.size() >= 3;
        const FileItemPtr item =
            FileItem::makeForTesting(path, numbered ? parts[0].toInt() : 0, numbered ? parts[1].toLongLong() : 0);
        if (list.append(item))
            listed.push_back(item);
    }

    const QString text = exporter::text(list);
    if (!text.startsWith(exporter::headerLine()))
        return "export does not start with the header line";
    if (QString::fromUtf8(text.toUtf8()) != text) // the file is written as UTF-8
        return "export text does not survive UTF-8";
    const std::optional<std::vector<QStringList>> records = readExportRecords(text);
    if (!records)
        return "export text breaks the quoting rule";
    if (records->size() != listed.size() + 1)
        return "expected " + std::to_string(listed.size() + 1) + " records, read " + std::to_string(records->size());
    static const QRegularExpression date(
        QStringLiteral("^(\\(null\\)|\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000)$"));
    for (std::size_t r = 0; r < records->size(); ++r) {
        const QStringList& f = (*records)[r];
        if (f.size() != 8)
            return "record " + std::to_string(r) + " has " + std::to_string(f.size()) + " fields";
        if (r == 0)
            continue;
        const FileItem& item = *listed[r - 1];
        const QStringList expected = {
            item.name(),    QString::number(item.pages()), item.sizeInKB(), item.type(), f[4], f[5], f[6],
            item.location()};
        if (f != expected)
            return "record " + std::to_string(r) + " does not read back: " + describe(f.join('|'));
        for (int d = 4; d <= 6; ++d) {
            if (!date.match(f[d]).hasMatch())
                return "malformed date field: " + describe(f[d]);
        }
    }
    return std::nullopt;
}

} // namespace fuzzcheck
