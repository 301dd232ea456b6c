#pragma once

#include "model/FileItem.h"

#include <QHash>

#include <functional>
#include <vector>

// The ordered list of listed files. Duplicates (equal URL texts) are refused through a hash
// index on the path, and the whole-list TIFF and PDF page sums are kept as running sums, so
// neither costs more as the list grows. Not synchronised: one thread at a time.
class FileList {
public:
    enum class PageClass { Tiff, Pdf, Other };

    // TIFF for the upper-cased types "TIF" and "TIFF", PDF for "PDF", Other for the rest.
    static PageClass classify(const FileItem& item);

    qsizetype size() const { return qsizetype(m_items.size()); }
    bool isEmpty() const { return m_items.empty(); }
    const FileItemPtr& at(qsizetype i) const { return m_items[size_t(i)]; }
    auto begin() const { return m_items.cbegin(); }
    auto end() const { return m_items.cend(); }
    const std::vector<FileItemPtr>& items() const { return m_items; }

    // True when an item equal to `item` is listed.
    bool contains(const FileItem& item) const;
    bool containsPath(const QByteArray& nativePath) const;
    // Position of the listed item equal to `item`, or -1.
    qsizetype indexOf(const FileItem& item) const;

    // Appends `item` unless an equal one is listed; returns whether it was appended.
    bool append(FileItemPtr item);

    // Removes the items at the given positions (any order; positions out of range are ignored).
    void removeAt(std::vector<qsizetype> positions);
    void clear();

    // Removes the item at `from` and inserts it at `to` (positions in the list before the call).
    void move(qsizetype from, qsizetype to);

    // Replaces the order with `items`, which must hold exactly the listed items.
    void reorder(std::vector<FileItemPtr> items);

    // Running sums of `pages` over the TIFF and the PDF items.
    qint64 tiffPages() const { return m_tiffPages; }
    qint64 pdfPages() const { return m_pdfPages; }

private:
    void account(const FileItem& item, int sign);

    std::vector<FileItemPtr> m_items;
    QHash<QByteArray, FileItem*> m_index;
    qint64 m_tiffPages = 0;
    qint64 m_pdfPages = 0;
};
