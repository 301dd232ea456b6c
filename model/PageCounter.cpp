#include "model/PageCounter.h"

#include "app/Platform.h"
#include "model/CountingBudget.h"
#include "model/FileReader.h"
#include "model/TiffDirectoryWalk.h"
#include "model/pdf/PageTree.h"

#include <QFile>

#include <qpdf/InputSource.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace pagecount {

namespace {

// The work one file may cost. A valid PDF of a few thousand pages takes some tens of
// milliseconds and a few megabytes; one of 50,000 pages about 1.5 s and 170 MB, near where
// both bounds lie. Past them the file is taken as hostile or hopeless and counts 0: on a list
// of thousands of files one such file must not hold the job up for minutes or take the memory
// of the machine, and a count of 0 with its log line is what any unreadable file gives.
constexpr CountingBudget::Limits kLimits{
    2'000'000'000,     // processor time: 2 s
    256 * 1024 * 1024, // memory taken through operator new (qpdf's objects and decoded streams)
    4 * 1024 * 1024,   // stack below the counter's frame (qpdf walks page trees recursively)
};

// The one log line of a count stopped at a bound, or of a count out of range.
void logStopped(const QByteArray& path, const QString& reason)
{
    platform::logError(QStringLiteral("(getTiffPageCount)"),
                       QStringLiteral("%1: %2").arg(QFile::decodeName(path), reason));
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

// libtiff reads the file through these client procedures.
struct TiffStream {
    FileReader* reader;
    toff_t position;
    CountingBudget* budget;
};

// Past the budget every read fails, which ends whatever libtiff was doing; C frames are
// never unwound by an exception.
tmsize_t streamRead(thandle_t handle, void* buffer, tmsize_t count)
{
    auto* s = static_cast<TiffStream*>(handle);
    if (count <= 0 || !s->budget->poll())
        return 0;
    const size_t n = s->reader->readAt(s->position, static_cast<char*>(buffer), size_t(count));
    s->position += n;
    return tmsize_t(n);
}

tmsize_t streamWrite(thandle_t, void*, tmsize_t)
{
    return -1;
}

toff_t streamSeek(thandle_t handle, toff_t offset, int whence)
{
    auto* s = static_cast<TiffStream*>(handle);
    if (!s->budget->poll())
        return toff_t(-1);
    toff_t base = 0;
    if (whence == SEEK_CUR)
        base = s->position;
    else if (whence == SEEK_END)
        base = s->reader->size();
    if (offset > std::numeric_limits<toff_t>::max() - base)
        return toff_t(-1);
    s->position = base + offset;
    return s->position;
}

int streamClose(thandle_t)
{
    return 0;
}

toff_t streamSize(thandle_t handle)
{
    return static_cast<TiffStream*>(handle)->reader->size();
}

// No mapping: libtiff then reads through streamRead.
int streamMap(thandle_t, void**, toff_t*)
{
    return 0;
}

void streamUnmap(thandle_t, void*, toff_t) {}

// libtiff reports through these; the count must print nothing, whatever the file holds.
int silentHandler(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

bool startsAsTiff(FileReader& file)
{
    char header[8];
    return file.readAt(0, header, sizeof header) == sizeof header && hasTiffSignature(header, sizeof header);
}

// A count and whether it was stopped at a bound (then logged already, and 0).
struct Count {
    qint32 pages = 0;
    bool stopped = false;
    bool passwordProtected = false;
};

// The count as libtiff gives it: opened reading the header alone ("h"; the directories
// themselves are not read, so none is checked), then TIFFNumberOfDirectories, which follows
// the directory chain. "m": no mapping, reads go through the stream.
tdir_t libtiffDirectoryCount(FileReader& file, CountingBudget& budget)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return 0;
    TIFFOpenOptionsSetErrorHandlerExtR(options, silentHandler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, silentHandler, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, 64 * 1024 * 1024);
    TiffStream stream{&file, 0, &budget};
    TIFF* tiff = TIFFClientOpenExt("", "rhm", &stream, streamRead, streamWrite, streamSeek, streamClose, streamSize,
                                   streamMap, streamUnmap, options);
    TIFFOpenOptionsFree(options);
    tdir_t count = 0;
    if (tiff) {
        count = TIFFNumberOfDirectories(tiff);
        TIFFClose(tiff);
    }
    return count;
}

// Reports a count stopped at the budget (logged, 0), or narrows it.
Count finishedCount(CountingBudget& budget, quint64 count, const QByteArray& path)
{
    budget.release();
    if (budget.exceeded() != CountingBudget::Bound::None) {
        logStopped(path, budget.reason());
        return {0, true};
    }
    return {narrowedCount(count, path), false};
}

// The directory walk gives libtiff's answer without libtiff's setting up; libtiff answers
// what the walk leaves open.
Count tiffImageCountOf(FileReader& file, const QByteArray& path)
{
    if (!startsAsTiff(file))
        return {};
    CountingBudget budget(kLimits);
    std::optional<quint32> count = walkTiffDirectories(file, budget);
    if (!count && budget.exceeded() == CountingBudget::Bound::None)
        count = libtiffDirectoryCount(file, budget);
    return finishedCount(budget, count.value_or(0), path);
}

Count libtiffImageCountOf(FileReader& file, const QByteArray& path)
{
    if (!startsAsTiff(file))
        return {};
    CountingBudget budget(kLimits);
    const tdir_t count = libtiffDirectoryCount(file, budget);
    return finishedCount(budget, count, path);
}

// qpdf reads the file through this, out of the reader's window, as it would read a buffer.
class ReaderInputSource : public InputSource {
public:
    ReaderInputSource(FileReader& file, std::string name, CountingBudget& budget)
        : m_file(file), m_name(std::move(name)), m_end(qpdf_offset_t(file.size())), m_budget(budget)
    {
    }

    // The offset of the next end-of-line character, or the end of the file when none is left;
    // the position moves past it and past any end-of-line characters right after it.
    qpdf_offset_t findAndSkipNextEOL() override
    {
        m_budget.check();
        char c = 0;
        while (m_offset < m_end && byteAt(m_offset, c)) {
            if (c == '\r' || c == '\n') {
                const qpdf_offset_t eol = m_offset++;
                while (m_offset < m_end && byteAt(m_offset, c) && (c == '\r' || c == '\n'))
                    ++m_offset;
                return eol;
            }
            ++m_offset;
        }
        m_offset = m_end;
        return m_end;
    }

    std::string const& getName() const override { return m_name; }
    qpdf_offset_t tell() override { return m_offset; }

    void seek(qpdf_offset_t offset, int whence) override
    {
        const qpdf_offset_t base = whence == SEEK_END ? m_end : whence == SEEK_CUR ? m_offset : 0;
        if ((offset > 0 && base > std::numeric_limits<qpdf_offset_t>::max() - offset) || base + offset < 0)
            throw std::runtime_error(m_name + ": seek out of range");
        m_offset = base + offset;
    }

    void rewind() override { m_offset = 0; }

    // Every byte qpdf reads comes through here, so a count that loops over the file or parses it
    // for too long is stopped here.
    size_t read(char* buffer, size_t length) override
    {
        m_budget.check();
        if (m_offset >= m_end) {
            last_offset = m_end;
            return 0;
        }
        last_offset = m_offset;
        const size_t n = m_file.readAt(quint64(m_offset), buffer, length);
        m_offset += qpdf_offset_t(n);
        return n;
    }

    void unreadCh(char) override
    {
        if (m_offset > 0)
            --m_offset;
    }

private:
    bool byteAt(qpdf_offset_t offset, char& c) { return m_file.readAt(quint64(offset), &c, 1) == 1; }

    FileReader& m_file;
    std::string m_name;
    qpdf_offset_t m_end;
    qpdf_offset_t m_offset = 0;
    CountingBudget& m_budget;
};

Count pdfPageCountOf(FileReader& file, const QByteArray& path, const QString& password)
{
    const QByteArray pw = password.toUtf8();
    size_t pages = 0;
    bool locked = false;
    // The document outlives the budget: its destructor allocates, and must not meet a budget
    // that throws. It is made only for the files the page-tree reader leaves to qpdf.
    std::unique_ptr<QPDF> pdf;
    CountingBudget budget(kLimits);
    std::optional<pdftree::PageTreeCount> quick;
    try {
        quick = pdftree::countPages(file, pw, budget);
    } catch (...) {
        // Out of memory; qpdf below may still manage.
        quick.reset();
    }
    if (quick) {
        pages = size_t(quick->pages);
        locked = quick->passwordProtected;
    } else if (budget.exceeded() == CountingBudget::Bound::None) {
        // Not understood, or past the reader's own memory bound, which does not hold qpdf back.
        try {
            pdf = std::make_unique<QPDF>();
            pdf->setSuppressWarnings(true);
            pdf->processInputSource(std::make_shared<ReaderInputSource>(file, path.toStdString(), budget),
                                    pw.isNull() ? "" : pw.constData());
            pages = pdf->getAllPages().size();
        } catch (const QPDFExc& e) {
            // Damaged beyond repair, or locked with another password.
            pages = 0;
            locked = e.getErrorCode() == qpdf_e_password;
        } catch (...) {
            // Unreadable or over the budget.
            pages = 0;
        }
    }
    budget.release();
    if (budget.exceeded() != CountingBudget::Bound::None) {
        logStopped(path, budget.reason());
        return {0, true};
    }
    return {narrowedCount(pages, path), false, locked};
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

} // namespace pagecount

namespace {

bool hasPdfExtension(const QByteArray& nativePath)
{
    const qsizetype slash = nativePath.lastIndexOf('/');
    const qsizetype dot = nativePath.lastIndexOf('.');
    if (dot <= slash || dot < 0)
        return false;
    return nativePath.mid(dot + 1).toUpper() == "PDF";
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
        images.pages != 0 || images.stopped)
        return {images.pages, false};
    if (!hasPdfExtension(nativePath))
        return {};
    const pagecount::Count pages = pagecount::pdfPageCountOf(file, nativePath, password);
    return {pages.pages, pages.passwordProtected};
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
