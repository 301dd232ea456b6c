#include "model/FileList.h"

#include <algorithm>

FileList::PageClass FileList::classify(const FileItem& item)
{
    const QString type = item.typeToUpper();
    if (type == QLatin1String("TIF") || type == QLatin1String("TIFF"))
        return PageClass::Tiff;
    if (type == QLatin1String("PDF"))
        return PageClass::Pdf;
    return PageClass::Other;
}

void FileList::account(const FileItem& item, int sign)
{
    switch (classify(item)) {
    case PageClass::Tiff:
        m_tiffPages += sign * qint64(item.pages());
        break;
    case PageClass::Pdf:
        m_pdfPages += sign * qint64(item.pages());
        break;
    case PageClass::Other:
        break;
    }
}

bool FileList::contains(const FileItem& item) const
{
    return containsPath(item.nativePath());
}

bool FileList::containsPath(const QByteArray& nativePath) const
{
    return m_index.contains(nativePath);
}

qsizetype FileList::indexOf(const FileItem& item) const
{
    const auto found = m_index.constFind(item.nativePath());
    if (found == m_index.constEnd())
        return -1;
    const FileItem* target = found.value();
    const auto it =
        std::find_if(m_items.begin(), m_items.end(), [&](const FileItemPtr& p) { return p.get() == target; });
    return it == m_items.end() ? -1 : qsizetype(it - m_items.begin());
}

bool FileList::append(FileItemPtr item)
{
    if (!item || m_index.contains(item->nativePath()))
        return false;
    m_index.insert(item->nativePath(), item.get());
    account(*item, +1);
    m_items.push_back(std::move(item));
    return true;
}

void FileList::removeAt(std::vector<qsizetype> positions)
{
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    std::vector<bool> doomed(m_items.size(), false);
    for (const qsizetype p : positions) {
        if (p >= 0 && p < size())
            doomed[size_t(p)] = true;
    }
    std::vector<FileItemPtr> kept;
    kept.reserve(m_items.size());
    for (size_t i = 0; i < m_items.size(); ++i) {
        if (doomed[i]) {
            m_index.remove(m_items[i]->nativePath());
            account(*m_items[i], -1);
        } else {
            kept.push_back(std::move(m_items[i]));
        }
    }
    m_items = std::move(kept);
}

void FileList::clear()
{
    m_items.clear();
    m_index.clear();
    m_tiffPages = 0;
    m_pdfPages = 0;
}

void FileList::move(qsizetype from, qsizetype to)
{
    if (from < 0 || from >= size() || to < 0 || to >= size() || from == to)
        return;
    FileItemPtr item = std::move(m_items[size_t(from)]);
    m_items.erase(m_items.begin() + from);
    m_items.insert(m_items.begin() + to, std::move(item));
}

void FileList::reorder(std::vector<FileItemPtr> items)
{
    m_items = std::move(items);
}
