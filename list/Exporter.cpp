#include "list/Exporter.h"

#include "app/Platform.h"

namespace exporter {

namespace {

// Spreadsheet programs read a quoted field as one cell, so a name holding a tab or a line
// break no longer shifts the columns or splits the row. Every other field stays as it is.
QString field(const QString& value)
{
    static const QString special = QStringLiteral("\t\r\n\"");
    const bool needsQuotes = std::any_of(value.begin(), value.end(), [](QChar c) { return special.contains(c); });
    if (!needsQuotes)
        return value;
    QString quoted = value;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QString headerLine()
{
    return QStringLiteral("Name\tPages\tSize\tType\tModified Date\tAccessed Date\tCreated Date\tLocation\n");
}

QString dateText(const std::optional<QDateTime>& date)
{
    if (!date || !date->isValid())
        return QStringLiteral("(null)");
    return date->toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QLatin1String(" +0000");
}

QString line(const FileItem& item)
{
    QString out;
    out += field(item.name());
    out += QLatin1Char('\t');
    out += QString::number(item.pages());
    out += QLatin1Char('\t');
    out += field(item.sizeInKB());
    out += QLatin1Char('\t');
    out += field(item.type());
    out += QLatin1Char('\t');
    out += dateText(item.dateModified());
    out += QLatin1Char('\t');
    out += dateText(item.dateAccessed());
    out += QLatin1Char('\t');
    out += dateText(item.dateCreated());
    out += QLatin1Char('\t');
    out += field(item.location());
    out += QLatin1Char('\n');
    return out;
}

QString text(const FileList& files)
{
    QString out = headerLine();
    for (const FileItemPtr& item : files)
        out += line(*item);
    return out;
}

QString defaultFileName(const QDateTime& now)
{
    return QStringLiteral("Export %1.txt").arg(platform::formatDate(now, QStringLiteral("dd-MMM-yyyy hh-mm-ss a")));
}

bool writeToFile(const FileList& files, const QString& path, QString* errorString)
{
    return platform::writeTextFileAtomically(path, text(files), errorString);
}

} // namespace exporter
