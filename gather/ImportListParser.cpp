#include "gather/ImportListParser.h"

#include "app/Platform.h"

#include <QDir>
#include <QSet>

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

void appendImportList(const QString& text, const QStringList& allowedTypes, QList<QUrl>& files)
{
    if (text.isEmpty())
        return;
    QSet<QString> accepted;
    for (const QString& type : allowedTypes) {
        if (!type.isEmpty())
            accepted.insert(type);
    }
    if (accepted.isEmpty())
        return;

    QSet<QUrl> present(files.cbegin(), files.cend());
    QString base = QDir::currentPath();
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');

    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        // Every line was followed by a line feed or by the end of the text.
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!accepted.contains(importListPathExtension(line).toUpper()))
            continue;
        QString path = line.startsWith(QLatin1Char('/')) ? line : base + line;
        // A path opening with "//" names the same file as with one "/", but as a file URL
        // its first component would become a host name, lower-cased: "//Scans/a.pdf" would
        // list "/scans/a.pdf", another file.
        qsizetype slashes = 0;
        while (slashes < path.size() && path.at(slashes) == QLatin1Char('/'))
            ++slashes;
        if (slashes > 1)
            path.remove(0, slashes - 1);
        const QUrl url = QUrl::fromLocalFile(path);
        if (present.contains(url))
            continue;
        present.insert(url);
        files.append(url);
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
