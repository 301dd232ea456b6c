#include "gather/ImportListParser.h"

#include "app/Platform.h"
#include "gather/LocalPath.h"

QString importListPathExtension(const QString& path)
{
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    const qsizetype componentStart = slash + 1;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'), end - 1);
    if (dot < componentStart)
        return {};
    return path.mid(dot + 1, end - dot - 1);
}

ImportList::ImportList(const QStringList& allowedTypes, const QList<QUrl>& present)
    : m_base(localpath::currentFolder()), m_present(present.cbegin(), present.cend())
{
    for (const QString& type : allowedTypes) {
        if (!type.isEmpty())
            m_accepted.insert(type);
    }
}

void ImportList::appendLine(QStringView line)
{
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    if (!m_accepted.contains(importListPathExtension(line.toString()).toUpper()))
        return;
    appendUrl(localpath::fileUrl(line.toUtf8(), m_base));
}

void ImportList::appendUrl(const QUrl& url)
{
    const qsizetype present = m_present.size();
    m_present.insert(url);
    if (m_present.size() > present)
        m_files.append(url);
}

void appendImportList(const QString& text, const QStringList& allowedTypes, QList<QUrl>& files)
{
    if (text.isEmpty())
        return;
    ImportList list(allowedTypes, files);
    // Every line was followed by a line feed or by the end of the text. Each accepted entry is
    // appended at once, so what was added stays if an exception escapes.
    for (const QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        const qsizetype before = list.files().size();
        list.appendLine(line);
        if (list.files().size() > before)
            files.append(list.files().constLast());
    }
}

QList<QUrl> parseImportList(const QString& text, const QStringList& allowedTypes)
{
    QList<QUrl> files;
    appendImportList(text, allowedTypes, files);
    return files;
}

QList<QUrl> parseImportListFile(const QString& path, const QStringList& allowedTypes)
{
    const std::optional<QString> text = platform::readTextFileUtf8(path);
    if (!text)
        return {};
    return parseImportList(*text, allowedTypes);
}
