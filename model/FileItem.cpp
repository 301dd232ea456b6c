#include "model/FileItem.h"

#include "app/Platform.h"
#include "model/PageCounter.h"

#include <QDir>
#include <QFile>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale.h>

QByteArray FileItem::absoluteNativePath(const QByteArray& path)
{
    if (path.isEmpty() || path.startsWith('/'))
        return path;
    // Joined as written: no cleaning of "." or "..", so the text stays what the user gave.
    QByteArray base = QFile::encodeName(QDir::currentPath());
    if (!base.endsWith('/'))
        base += '/';
    return base + path;
}

QUrl FileItem::fileUrl(const QByteArray& nativePath)
{
    if (nativePath.isEmpty())
        return QUrl();
    const QString text = QFile::decodeName(nativePath);
    if (QFile::encodeName(text) == nativePath)
        return QUrl::fromLocalFile(text);
    // Characters that keep their meaning unencoded in a path stay as they are; every other
    // byte is written as %XX, which QUrl keeps as written when it is not UTF-8.
    return QUrl::fromEncoded("file://" + nativePath.toPercentEncoding("/!$&'()*+,;=:@~"), QUrl::StrictMode);
}

QByteArray FileItem::nativePathOfUrl(const QUrl& url)
{
    if (!url.isValid() || !url.isLocalFile())
        return {};
    // A URL with a host ("file://server/share") is a network path, as Qt writes it.
    if (!url.host().isEmpty())
        return QFile::encodeName(url.toLocalFile());
    // The path's bytes as encoded: decoding to text first would lose bytes that are not UTF-8.
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

namespace {

// printf-style formatting in the C locale, whatever the process locale: the size text's
// decimal separator is always ".", and ties round to even as the C library does.
QString formatOneDecimal(double value)
{
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    const locale_t previous = uselocale(cLocale);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%4.1f", value);
    uselocale(previous);
    return QString::fromLatin1(buffer);
}

FileItem::Dates datesOf(const std::optional<platform::ResourceValues>& values)
{
    if (!values)
        return {};
    return {values->contentModificationDate, values->contentAccessDate, values->creationDate};
}

} // namespace

std::shared_ptr<FileItem> FileItem::initWithURL(const QUrl& url)
{
    if (!url.isValid() || !url.isLocalFile())
        return nullptr;
    auto item = std::make_shared<FileItem>();
    // The item keeps a URL of its own, parsed from the given URL's text.
    item->setFilePath(QUrl(url.toString()));
    return item;
}

std::shared_ptr<FileItem> FileItem::fromNativePath(const QByteArray& nativePath, bool keepDates)
{
    if (nativePath.isEmpty())
        return nullptr;
    auto item = std::make_shared<FileItem>();
    item->m_nativePath = absoluteNativePath(nativePath);
    if (!item->measure(keepDates))
        return nullptr;
    return item;
}

void FileItem::setFilePath(const QUrl& url)
{
    m_nativePath = absoluteNativePath(nativePathOfUrl(url));
    measure();
}

bool FileItem::measure(bool keepDates)
{
    // The size alone: making the dates of resourceValues costs more than a stat, for every file.
    // Dates to keep are read after the count, so that the access date is the one the count left.
    if (!keepDates) {
        if (const auto size = platform::allocatedSize(m_nativePath))
            m_size = *size;
    }
    const PageCount count = measurePages(m_nativePath, QString(""));
    m_pages = count.pages;
    m_passwordProtected = count.passwordProtected;
    if (keepDates) {
        const auto values = platform::resourceValues(m_nativePath);
        m_size = values ? values->allocatedSize : 0;
        m_keptDates = std::make_shared<const Dates>(datesOf(values));
    }
    return !count.interrupted;
}

QUrl FileItem::filePath() const
{
    return fileUrl(m_nativePath);
}

QString FileItem::path() const
{
    return QFile::decodeName(m_nativePath);
}

FileItem::NativePathParts FileItem::nativePathParts(QByteArrayView path)
{
    const auto* slashAt =
        static_cast<const char*>(path.isEmpty() ? nullptr : ::memrchr(path.data(), '/', size_t(path.size())));
    const qsizetype slash = slashAt ? slashAt - path.data() : -1;
    NativePathParts parts;
    parts.name = path.sliced(slash + 1);
    parts.folder = path.isEmpty() ? QByteArrayView() : slash <= 0 ? QByteArrayView("/") : path.first(slash);
    const auto* dotAt = static_cast<const char*>(
        parts.name.isEmpty() ? nullptr : ::memrchr(parts.name.data(), '.', size_t(parts.name.size())));
    if (dotAt)
        parts.extension = parts.name.sliced(dotAt - parts.name.data() + 1);
    return parts;
}

QString FileItem::name() const
{
    return QFile::decodeName(nativePathParts(m_nativePath).name.toByteArray());
}

QString FileItem::location() const
{
    if (m_nativePath.isEmpty())
        return QString("");
    return QFile::decodeName(nativePathParts(m_nativePath).folder.toByteArray());
}

QString FileItem::type() const
{
    const QByteArrayView extension = nativePathParts(m_nativePath).extension;
    return extension.isEmpty() ? QString("") : QFile::decodeName(extension.toByteArray());
}

QString FileItem::typeToUpper() const
{
    return type().toUpper();
}

std::optional<QDateTime> FileItem::dateModified() const
{
    return platform::resourceDate(m_nativePath, platform::DateKey::ContentModification);
}

std::optional<QDateTime> FileItem::dateCreated() const
{
    return platform::resourceDate(m_nativePath, platform::DateKey::Creation);
}

std::optional<QDateTime> FileItem::dateAccessed() const
{
    return platform::resourceDate(m_nativePath, platform::DateKey::ContentAccess);
}

FileItem::Dates FileItem::dates() const
{
    return m_keptDates ? *m_keptDates : datesOf(platform::resourceValues(m_nativePath));
}

bool FileItem::isEqual(const FileItem* other) const
{
    if (other == this)
        return true;
    // The URL is a one-to-one function of the path bytes, so equal bytes mean equal URL texts.
    return other && other->m_nativePath == m_nativePath;
}

QString FileItem::displayDate(const QDateTime& date)
{
    return platform::formatDate(date, QStringLiteral("dd-MMM-yyyy h:mm a"));
}

QVariant FileItem::displayField(const QString& identifier) const
{
    if (identifier.isEmpty())
        return QString("");
    const QString key = identifier.toUpper();
    auto date = [](const std::optional<QDateTime>& d) { return d ? QVariant(displayDate(*d)) : QVariant(); };
    if (key == QLatin1String("ISSELECTED"))
        return m_isSelected;
    if (key == QLatin1String("NAME"))
        return name();
    if (key == QLatin1String("PAGES"))
        return m_pages;
    if (key == QLatin1String("SIZEINKB"))
        return sizeInKB();
    if (key == QLatin1String("TYPE"))
        return type();
    if (key == QLatin1String("DATEMODIFIED"))
        return date(dateModified());
    if (key == QLatin1String("DATECREATED"))
        return date(dateCreated());
    if (key == QLatin1String("DATEACCESSED"))
        return date(dateAccessed());
    if (key == QLatin1String("LOCATION"))
        return location();
    return QString("");
}

namespace {

struct ScaledSize {
    float value;
    int unit; // 0 B, 1 KB, 2 MB, 3 GB, 4 TB
};

// Single precision on purpose: the texts are defined by float arithmetic.
ScaledSize scaledSize(qint64 bytes)
{
    constexpr int lastUnit = 4;
    ScaledSize scaled{float(bytes), 0};
    while (scaled.value > 1000.0f && scaled.unit < lastUnit) {
        scaled.value = scaled.value / 1000.0f;
        ++scaled.unit;
    }
    return scaled;
}

} // namespace

std::optional<qint64> FileItem::wholeKilobytes(qint64 bytes)
{
    if (scaledSize(bytes).unit > 1)
        return std::nullopt;
    return qint64(std::roundf(float(bytes) / 1000.0f));
}

QString FileItem::sizeText(qint64 bytes)
{
    static const char* const units[] = {"B", "KB", "MB", "GB", "TB"};
    if (const auto kilobytes = wholeKilobytes(bytes))
        return QString::number(*kilobytes) + QLatin1String(" KB");
    const ScaledSize scaled = scaledSize(bytes);
    const QString number = formatOneDecimal(double(scaled.value));
    const qsizetype point = number.indexOf(QLatin1Char('.'));
    if (point >= 0 && point + 1 < number.size() && number.at(point + 1) == QLatin1Char('0'))
        return number.left(point) + QLatin1Char(' ') + QLatin1String(units[scaled.unit]);
    return number + QLatin1Char(' ') + QLatin1String(units[scaled.unit]);
}

std::shared_ptr<FileItem> FileItem::makeForTesting(const QByteArray& nativePath, qint32 pages, qint64 size,
                                                   bool passwordProtected)
{
    auto item = std::make_shared<FileItem>();
    item->m_nativePath = nativePath;
    item->m_pages = pages;
    item->m_size = size;
    item->m_passwordProtected = passwordProtected;
    return item;
}
