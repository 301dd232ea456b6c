#include "model/pdf/FileBytes.h"

#include "model/FileReader.h"

#include <algorithm>

namespace pdftree {

FileBytes::FileBytes(pagecount::FileReader& file, std::vector<char>& whole, std::vector<char> (&windows)[kWindowCount],
                     Meter& meter)
    : m_file(file), m_wholeBuffer(whole), m_windows(windows), m_meter(meter), m_size(file.size())
{
    for (auto& start : m_windowStart)
        start = std::numeric_limits<quint64>::max();
}

bool FileBytes::load()
{
    if (m_size > kWholeFileBytes) {
        if (m_size <= kMappedFileBytes && m_mapping.map(m_file.fd(), m_size))
            m_whole = m_mapping.data();
        return true;
    }
    m_meter.charge(size_t(m_size));
    // Grown, never shrunk: bytes past this file's end are not zeroed again for every file.
    if (m_wholeBuffer.size() < m_size)
        m_wholeBuffer.resize(size_t(m_size));
    if (m_file.readAt(0, m_wholeBuffer.data(), size_t(m_size)) != m_size)
        return false;
    m_meter.work(size_t(m_size) / 16); // a read costs about a sixteenth of a scan
    m_whole = m_wholeBuffer.data();
    m_isRead = true;
    return true;
}

quint64 FileBytes::dataFrom(quint64 offset)
{
    return m_isRead || offset >= m_size ? offset : m_file.dataFrom(offset);
}

Span FileBytes::span(quint64 offset, size_t want)
{
    if (offset >= m_size)
        return {};
    const quint64 left = m_size - offset;
    if (m_whole)
        return {m_whole + offset, size_t(left), true};
    const size_t need = size_t(std::min<quint64>(want, left));
    for (size_t i = 0; i < kWindowCount; ++i) {
        const quint64 start = m_windowStart[i];
        if (start != std::numeric_limits<quint64>::max() && offset >= start &&
            offset + need <= start + m_windows[i].size()) {
            const size_t at = size_t(offset - start);
            return {m_windows[i].data() + at, m_windows[i].size() - at, start + m_windows[i].size() == m_size};
        }
    }
    const size_t i = m_nextWindow++ % kWindowCount;
    const size_t length = size_t(std::min<quint64>(std::max(need, kWindowBytes), left));
    // The window is charged for the bytes it is asked to hold, whatever it held before.
    m_meter.charge(length);
    m_meter.discharge(m_windowCharge[i]);
    m_windowCharge[i] = length;
    m_windowStart[i] = std::numeric_limits<quint64>::max();
    std::vector<char>& window = m_windows[i];
    window.resize(length);
    // Straight into the window: the reader's own window would only copy it again.
    const ssize_t read = m_file.preadFully(window.data(), length, offset);
    const size_t got = read > 0 ? size_t(read) : 0;
    m_meter.work(length / 16);
    window.resize(got);
    m_windowStart[i] = offset;
    return {window.data(), got, offset + got == m_size};
}

} // namespace pdftree
