#include "model/PageCounter.h"

#include <QFile>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <tiffio.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>

namespace pagecount {

namespace {

// A read-only mapping of a whole file; empty when the file cannot be opened or is empty.
class MappedFile {
public:
    explicit MappedFile(const QByteArray& path)
    {
        // Non-blocking, so that a FIFO or device under a .tif or .pdf name cannot hold the
        // count up; only regular files are read.
        m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (m_fd < 0)
            return;
        struct stat st {};
        if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
            return;
        void* data = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, m_fd, 0);
        if (data == MAP_FAILED)
            return;
        m_data = static_cast<const char*>(data);
        m_size = size_t(st.st_size);
    }
    ~MappedFile()
    {
        if (m_data)
            ::munmap(const_cast<char*>(m_data), m_size);
        if (m_fd >= 0)
            ::close(m_fd);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const char* data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    int m_fd = -1;
    const char* m_data = nullptr;
    size_t m_size = 0;
};

bool hasTiffSignature(const char* data, size_t size)
{
    if (size < 8)
        return false;
    const auto b = reinterpret_cast<const unsigned char*>(data);
    const bool little = b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0;
    const bool big = b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43);
    return little || big;
}

// libtiff reads the mapped bytes through these client procedures.
struct MemoryStream {
    const char* data;
    toff_t size;
    toff_t position;
};

tmsize_t memRead(thandle_t handle, void* buffer, tmsize_t count)
{
    auto* s = static_cast<MemoryStream*>(handle);
    if (count <= 0 || s->position >= s->size)
        return 0;
    const toff_t available = s->size - s->position;
    const toff_t n = std::min<toff_t>(toff_t(count), available);
    std::memcpy(buffer, s->data + s->position, size_t(n));
    s->position += n;
    return tmsize_t(n);
}

tmsize_t memWrite(thandle_t, void*, tmsize_t)
{
    return -1;
}

toff_t memSeek(thandle_t handle, toff_t offset, int whence)
{
    auto* s = static_cast<MemoryStream*>(handle);
    toff_t base = 0;
    if (whence == SEEK_CUR)
        base = s->position;
    else if (whence == SEEK_END)
        base = s->size;
    if (offset > std::numeric_limits<toff_t>::max() - base)
        return toff_t(-1);
    s->position = base + offset;
    return s->position;
}

int memClose(thandle_t)
{
    return 0;
}
toff_t memSize(thandle_t handle)
{
    return static_cast<MemoryStream*>(handle)->size;
}

int memMap(thandle_t handle, void** base, toff_t* size)
{
    auto* s = static_cast<MemoryStream*>(handle);
    *base = const_cast<char*>(s->data);
    *size = s->size;
    return 1;
}

void memUnmap(thandle_t, void*, toff_t) {}

// libtiff reports through these; the count must print nothing, whatever the file holds.
int silentHandler(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

qint32 tiffImageCountInMemory(const char* data, size_t size)
{
    if (!hasTiffSignature(data, size))
        return 0;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return 0;
    TIFFOpenOptionsSetErrorHandlerExtR(options, silentHandler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, silentHandler, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, 64 * 1024 * 1024);
    MemoryStream stream{data, toff_t(size), 0};
    // "h": read only the header and first directory; "m" off: we hand libtiff the mapping ourselves.
    TIFF* tiff =
        TIFFClientOpenExt("", "rh", &stream, memRead, memWrite, memSeek, memClose, memSize, memMap, memUnmap, options);
    TIFFOpenOptionsFree(options);
    if (!tiff)
        return 0;
    const tdir_t count = TIFFNumberOfDirectories(tiff);
    TIFFClose(tiff);
    return count > tdir_t(std::numeric_limits<qint32>::max()) ? 0 : qint32(count);
}

qint32 pdfPageCountInMemory(const char* data, size_t size, const QByteArray& description, const QString& password)
{
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        const QByteArray pw = password.toUtf8();
        pdf.processMemoryFile(description.constData(), data, size, pw.isNull() ? "" : pw.constData());
        const size_t pages = QPDFPageDocumentHelper(pdf).getAllPages().size();
        return pages > size_t(std::numeric_limits<qint32>::max()) ? 0 : qint32(pages);
    } catch (...) {
        // Unreadable, damaged beyond repair, or locked with another password.
        return 0;
    }
}

} // namespace

qint32 tiffImageCount(const QByteArray& nativePath)
{
    MappedFile file(nativePath);
    return file.data() ? tiffImageCountInMemory(file.data(), file.size()) : 0;
}

qint32 pdfPageCount(const QByteArray& nativePath, const QString& password)
{
    MappedFile file(nativePath);
    return file.data() ? pdfPageCountInMemory(file.data(), file.size(), nativePath, password) : 0;
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

qint32 pageCountForPath(const QByteArray& nativePath, const QString& password)
{
    if (nativePath.isEmpty())
        return 0;
    pagecount::MappedFile file(nativePath);
    if (!file.data())
        return 0;
    if (const qint32 images = pagecount::tiffImageCountInMemory(file.data(), file.size()); images != 0)
        return images;
    if (!hasPdfExtension(nativePath))
        return 0;
    return pagecount::pdfPageCountInMemory(file.data(), file.size(), nativePath, password);
}

qint32 getTiffPageCount(const QUrl& url, const QString& password)
{
    if (!url.isValid() || !url.isLocalFile())
        return 0;
    return pageCountForPath(QFile::encodeName(url.toLocalFile()), password);
}
