#include "model/worker/LibraryCounts.h"

#include <qpdf/InputSource.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <tiffio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace librarycount {

namespace {

std::uint64_t fileSize(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 0)
        return 0;
    return std::uint64_t(st.st_size);
}

// Reads up to `count` bytes at `offset`; fewer at the end of the file or on an error.
size_t preadFully(int fd, char* out, size_t count, std::uint64_t offset)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, out + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return done;
}

// ---- libtiff ----

struct TiffStream {
    int fd;
    std::uint64_t size;
    toff_t position;
};

tmsize_t streamRead(thandle_t handle, void* buffer, tmsize_t count)
{
    auto* s = static_cast<TiffStream*>(handle);
    if (count <= 0 || s->position >= s->size)
        return 0;
    const size_t n = preadFully(s->fd, static_cast<char*>(buffer), size_t(count), s->position);
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
    const toff_t base = whence == SEEK_CUR ? s->position : whence == SEEK_END ? s->size : 0;
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
    return static_cast<TiffStream*>(handle)->size;
}

// No mapping ("m" below): libtiff reads through streamRead, whatever the file's size, and gives
// the answer it gives on a mapped file.
int streamMap(thandle_t, void**, toff_t*)
{
    return 0;
}

void streamUnmap(thandle_t, void*, toff_t) {}

int silentHandler(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

// ---- qpdf ----

// qpdf reads the file through this: pread through a window of 64 KiB, so that a scan for a line
// end (qpdf's repair reads a damaged file line by line) costs one read per window, not per byte.
class DescriptorInputSource : public InputSource {
public:
    DescriptorInputSource(int fd, std::uint64_t size)
        : m_fd(fd), m_name("input"),
          m_end(qpdf_offset_t(std::min<std::uint64_t>(size, std::uint64_t(std::numeric_limits<qpdf_offset_t>::max())))),
          m_window(kWindowBytes)
    {
    }

    // The offset of the next end-of-line character, or the end of the file when none is left;
    // the position moves past it and past any end-of-line characters right after it.
    qpdf_offset_t findAndSkipNextEOL() override
    {
        qpdf_offset_t eol = -1;
        while (eol < 0 && m_offset < m_end) {
            skipHole();
            if (m_offset >= m_end)
                break;
            const size_t n = windowAt(m_offset);
            if (n == 0)
                break;
            const char* start = m_window.data() + (m_offset - m_windowStart);
            const char* hit = firstLineEnd(start, n);
            m_offset += qpdf_offset_t(hit - start);
            if (hit != start + n)
                eol = m_offset;
        }
        if (eol < 0) {
            m_offset = m_end;
            return m_end;
        }
        while (m_offset < m_end) {
            const size_t n = windowAt(m_offset);
            const char* start = m_window.data() + (m_offset - m_windowStart);
            const char* other = std::find_if(start, start + n, [](char c) { return c != '\r' && c != '\n'; });
            m_offset += qpdf_offset_t(other - start);
            if (n == 0 || other != start + n)
                break;
        }
        return eol;
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

    size_t read(char* buffer, size_t length) override
    {
        last_offset = std::min(m_offset, m_end);
        size_t done = 0;
        while (done < length && m_offset < m_end) {
            if (length - done >= kWindowBytes) {
                const size_t n = preadFully(m_fd, buffer + done, length - done, std::uint64_t(m_offset));
                m_offset += qpdf_offset_t(n);
                done += n;
                break;
            }
            const size_t available = windowAt(m_offset);
            if (available == 0)
                break;
            const size_t n = std::min(available, length - done);
            std::memcpy(buffer + done, m_window.data() + (m_offset - m_windowStart), n);
            m_offset += qpdf_offset_t(n);
            done += n;
        }
        return done;
    }

    void unreadCh(char) override
    {
        if (m_offset > 0)
            --m_offset;
    }

private:
    static constexpr size_t kWindowBytes = 64 * 1024;

    // The first '\r' or '\n' in [data, data + size), or data + size: two memchr passes, which
    // run many times faster than a loop over the bytes on a file of gigabytes with no line end.
    static const char* firstLineEnd(const char* data, size_t size)
    {
        const char* lf = static_cast<const char*>(std::memchr(data, '\n', size));
        const char* cr = static_cast<const char*>(std::memchr(data, '\r', lf ? size_t(lf - data) : size));
        return cr ? cr : lf ? lf : data + size;
    }

    // Moves the position past a hole of a sparse file: it reads as zero bytes, which hold no
    // line end, and reading gigabytes of it would take the count's whole time. (The descriptor's
    // offset moves too; the program reads with pread and never looks at it.)
    void skipHole()
    {
        if (m_offset >= m_windowStart && m_offset < m_windowStart + qpdf_offset_t(m_windowLength))
            return;
        const off_t data = ::lseek(m_fd, off_t(m_offset), SEEK_DATA);
        if (data > m_offset)
            m_offset = std::min<qpdf_offset_t>(data, m_end);
        else if (data < 0 && errno == ENXIO)
            m_offset = m_end;
    }

    // The bytes the window holds from `offset` on, read into it when it does not hold `offset`.
    size_t windowAt(qpdf_offset_t offset)
    {
        if (offset < m_windowStart || offset >= m_windowStart + qpdf_offset_t(m_windowLength)) {
            const size_t wanted = size_t(std::min<qpdf_offset_t>(qpdf_offset_t(kWindowBytes), m_end - offset));
            m_windowStart = offset;
            m_windowLength = preadFully(m_fd, m_window.data(), wanted, std::uint64_t(offset));
        }
        return size_t(m_windowStart + qpdf_offset_t(m_windowLength) - offset);
    }

    int m_fd;
    std::string m_name;
    qpdf_offset_t m_end;
    qpdf_offset_t m_offset = 0;
    std::vector<char> m_window;
    qpdf_offset_t m_windowStart = 0;
    size_t m_windowLength = 0;
};

} // namespace

std::uint64_t tiffPageCount(int fd)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return 0;
    TIFFOpenOptionsSetErrorHandlerExtR(options, silentHandler, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, silentHandler, nullptr);
    TiffStream stream{fd, fileSize(fd), 0};
    TIFF* tiff = TIFFClientOpenExt("input", "rm", &stream, streamRead, streamWrite, streamSeek, streamClose, streamSize,
                                   streamMap, streamUnmap, options);
    TIFFOpenOptionsFree(options);
    if (!tiff)
        return 0;
    std::uint64_t count = 1;
    while (TIFFReadDirectory(tiff))
        ++count;
    TIFFClose(tiff);
    return count;
}

PdfCount pdfPageCount(int fd, const std::string& password)
{
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    try {
        pdf.processInputSource(std::make_shared<DescriptorInputSource>(fd, fileSize(fd)), password.c_str());
        return {pdf.getAllPages().size(), false};
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const QPDFExc& e) {
        // Damaged beyond repair, or locked with another password.
        return {0, e.getErrorCode() == qpdf_e_password};
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace librarycount
