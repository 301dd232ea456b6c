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
#include "model/PdfPageTree.h"
#include "model/TiffDirectoryWalk.h"
#include "model/worker/LibraryCounts.h"

#include <QDir>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

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
    ScratchFile(const std::uint8_t* data, std::size_t size)
    {
        m_fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
        if (m_fd < 0)
            return;
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(m_fd, data + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::close(m_fd);
                m_fd = -1;
                return;
            }
            done += std::size_t(n);
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
    int m_fd = -1;
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
    try {
        const qint32 count = pagecount::pdfPageCount(file.path(), QString());
        if (count < 0)
            return "negative PDF page count " + std::to_string(count);
    } catch (const std::exception& e) {
        return std::string("exception escaped the PDF counter: ") + e.what();
    } catch (...) {
        return "unknown exception escaped the PDF counter";
    }
    return std::nullopt;
}

Failure pdfTree(const std::uint8_t* data, std::size_t size)
{
    // The counter's own bounds, so that both readers stop where the counter would.
    constexpr CountingBudget::Limits kLimits{2'000'000'000, 256 * 1024 * 1024, 4 * 1024 * 1024};
    ScratchFile file(data, size);
    if (!file.ok())
        return std::nullopt;
    std::optional<pdftree::PageTreeCount> quick;
    try {
        pagecount::FileReader reader(file.path());
        if (!reader.isOpen())
            return std::nullopt;
        CountingBudget budget(kLimits);
        quick = pdftree::countPages(reader, QByteArray(), budget);
    } catch (const CountingBudget::Exceeded&) {
        return std::nullopt;
    } catch (const std::exception& e) {
        return std::string("exception escaped the page-tree reader: ") + e.what();
    } catch (...) {
        return "unknown exception escaped the page-tree reader";
    }
    if (!quick)
        return std::nullopt;
    // qpdf's count, in the counting helper under the counter's bounds. Where qpdf cannot open the
    // file or walk its tree (a loop, a locked file, a bound), any answer goes; the helper gives 0
    // then, as it does for an empty tree.
    const LogLines log;
    const qint32 pages = pagecount::qpdfPageCount(file.path(), QString());
    if (pages == 0 || log.count() > 0)
        return std::nullopt;
    if (quint64(pages) != quick->pages)
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

    // Every line in the absolute form the parser must give it.
    QString base = QDir::currentPath();
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    QSet<QString> candidates;
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        QString path = line.startsWith(QLatin1Char('/')) ? line : base + line;
        // Leading slashes name the same file as one.
        while (path.startsWith(QLatin1String("//")))
            path.remove(0, 1);
        candidates.insert(path);
    }
    if (urls.size() > candidates.size())
        return "more URLs than distinct lines";

    QSet<QString> seen;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile())
            return "not a local file URL: " + describe(url.toString());
        const QString path = url.toLocalFile();
        if (!path.startsWith(QLatin1Char('/')))
            return "not an absolute path: " + describe(path);
        if (!candidates.contains(path))
            return "URL does not read back to any line: " + describe(url.toString());
        const QString extension = importListPathExtension(path).toUpper();
        if (extension.isEmpty() || !allowed.contains(extension))
            return "accepted a path whose extension is not allowed: " + describe(path);
        if (seen.contains(url.toString()))
            return "URL listed twice: " + describe(url.toString());
        seen.insert(url.toString());
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
        const QList<QUrl> fromFile = parseImportListFile(QString::fromLatin1(file.path()), allowed);
        const QList<QUrl> expected = decoder.hasError() ? QList<QUrl>() : parseImportList(decoded, allowed);
        if (fromFile != expected)
            return "parseImportListFile differs from parsing the decoded text";
    }
    return std::nullopt;
}

std::vector<ExportItemFields> exportItemsFromBytes(const std::uint8_t* data, std::size_t size)
{
    std::vector<ExportItemFields> items;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    qsizetype start = 0;
    while (items.size() < 512) {
        qsizetype end = bytes.indexOf('\0', start);
        if (end < 0)
            end = bytes.size();
        const QByteArray record = bytes.mid(start, end - start);
        ExportItemFields item;
        const qsizetype first = record.indexOf('\x01');
        const qsizetype second = first < 0 ? -1 : record.indexOf('\x01', first + 1);
        if (second < 0) {
            item.nativePath = record;
        } else {
            item.pages = record.left(first).toInt();
            item.size = record.mid(first + 1, second - first - 1).toLongLong();
            item.nativePath = record.mid(second + 1);
        }
        if (!item.nativePath.startsWith('/'))
            item.nativePath.prepend('/');
        items.push_back(item);
        if (end >= bytes.size())
            break;
        start = end + 1;
    }
    return items;
}

QByteArray exportBytesFromItems(const std::vector<ExportItemFields>& items)
{
    QByteArray out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out.append('\0');
        out += QByteArray::number(items[i].pages) + '\x01' + QByteArray::number(items[i].size) + '\x01' +
               items[i].nativePath;
    }
    return out;
}

std::optional<std::vector<QStringList>> readExportRecords(const QString& text)
{
    std::vector<QStringList> records;
    QStringList fields;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        QString field;
        if (text.at(i) == QLatin1Char('"')) {
            ++i;
            for (;;) {
                if (i >= n)
                    return std::nullopt; // unterminated quotes
                if (text.at(i) == QLatin1Char('"')) {
                    if (i + 1 < n && text.at(i + 1) == QLatin1Char('"')) {
                        field += QLatin1Char('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += text.at(i++);
            }
            if (i >= n || (text.at(i) != QLatin1Char('\t') && text.at(i) != QLatin1Char('\n')))
                return std::nullopt; // text after the closing quote
        } else {
            while (i < n && text.at(i) != QLatin1Char('\t') && text.at(i) != QLatin1Char('\n')) {
                if (text.at(i) == QLatin1Char('"') || text.at(i) == QLatin1Char('\r'))
                    return std::nullopt; // would have needed quotes
                field += text.at(i++);
            }
            if (i >= n)
                return std::nullopt; // the last record has no line feed
        }
        fields.append(field);
        if (text.at(i) == QLatin1Char('\n')) {
            records.push_back(fields);
            fields.clear();
        }
        ++i;
    }
    return records;
}

Failure exportText(const std::uint8_t* data, std::size_t size)
{
    const std::vector<ExportItemFields> itemFields = exportItemsFromBytes(data, size);
    FileList list;
    std::vector<FileItemPtr> listed;
    for (const ExportItemFields& fields : itemFields) {
        FileItemPtr item = FileItem::makeForTesting(fields.nativePath, fields.pages, fields.size);
        if (list.append(item))
            listed.push_back(item);
    }

    const QString text = exporter::text(list);
    if (!text.startsWith(exporter::headerLine()))
        return "export does not start with the header line";
    // The file is written as UTF-8; it must read back as the same text.
    if (QString::fromUtf8(text.toUtf8()) != text)
        return "export text does not survive UTF-8";

    const std::optional<std::vector<QStringList>> records = readExportRecords(text);
    if (!records)
        return "export text breaks the quoting rule";
    if (records->size() != listed.size() + 1)
        return "expected " + std::to_string(listed.size() + 1) + " records, read " + std::to_string(records->size());

    static const QRegularExpression dateField(
        QStringLiteral("^(\\(null\\)|\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000)$"));
    for (std::size_t r = 0; r < records->size(); ++r) {
        const QStringList& fields = (*records)[r];
        if (fields.size() != 8)
            return "record " + std::to_string(r) + " has " + std::to_string(fields.size()) + " fields";
        if (r == 0)
            continue;
        const FileItem& item = *listed[r - 1];
        if (fields[0] != item.name())
            return "name does not read back: " + describe(fields[0]);
        if (fields[1] != QString::number(item.pages()))
            return "pages do not read back: " + describe(fields[1]);
        if (fields[2] != item.sizeInKB())
            return "size does not read back: " + describe(fields[2]);
        if (fields[3] != item.type())
            return "type does not read back: " + describe(fields[3]);
        for (int d = 4; d <= 6; ++d) {
            if (!dateField.match(fields[d]).hasMatch())
                return "malformed date field: " + describe(fields[d]);
        }
        if (fields[7] != item.location())
            return "location does not read back: " + describe(fields[7]);
    }
    return std::nullopt;
}

} // namespace fuzzcheck
