#include "list/Totals.h"

PageTotals pageTotals(const FileList& files, const std::vector<qsizetype>& rows)
{
    PageTotals totals;
    for (const qsizetype row : rows) {
        if (row < 0 || row >= files.size())
            continue;
        const FileItem& item = *files.at(row);
        switch (FileList::classify(item)) {
        case FileList::PageClass::Tiff:
            totals.tiff += item.pages();
            break;
        case FileList::PageClass::Pdf:
            totals.pdf += item.pages();
            break;
        case FileList::PageClass::Other:
            break;
        }
    }
    return totals;
}

PageTotals pageTotals(const FileList& files)
{
    return {files.tiffPages(), files.pdfPages()};
}

// The sums are 64-bit: a list of many large files must not wrap to a negative total.
QString totalFilesText(qsizetype fileCount, qsizetype selectedCount, const PageTotals& selected)
{
    return QStringLiteral("%1 Total file(s); %2 file selected; Total page count of selected TIFF file(s) : %3 PDF "
                          "file(s) : %4")
        .arg(qint64(fileCount))
        .arg(qint64(selectedCount))
        .arg(selected.tiff)
        .arg(selected.pdf);
}

QString totalPagesText(const PageTotals& totals)
{
    return QStringLiteral("Total Pages TIFF : %1 PDF : %2").arg(totals.tiff).arg(totals.pdf);
}
