#pragma once

#include "model/FileList.h"

#include <QString>

#include <vector>

struct PageTotals {
    qint64 tiff = 0;
    qint64 pdf = 0;
};

// TIFF and PDF page sums over the items at `rows` (positions in `files`; out of range ignored).
PageTotals pageTotals(const FileList& files, const std::vector<qsizetype>& rows);

// The whole-list sums (kept as running sums by the list).
PageTotals pageTotals(const FileList& files);

// "%d Total file(s); %d file selected; Total page count of selected TIFF file(s) : %d PDF file(s) : %d"
QString totalFilesText(qsizetype fileCount, qsizetype selectedCount, const PageTotals& selected);

// "Total Pages TIFF : %d PDF : %d"
QString totalPagesText(const PageTotals& totals);
