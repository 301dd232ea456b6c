#pragma once

#include "gather/GatherHost.h"

#include <QByteArrayView>
#include <QList>
#include <QUrl>

// The gathering work of a collection job: walks the given URLs, finds the TIFF and PDF files
// in them, measures each (size and page count) and appends the new ones to the host's list.
//
// Files are measured ahead of admission on `threads` threads and admitted strictly in the
// order they were found, so the list, the totals after each admission and Cancel look as in
// a one-thread walk: when Cancel is seen, the file at the head of the queue is still
// admitted and the files measured ahead of it are dropped.
class FileSystemHelper {
public:
    explicit FileSystemHelper(GatherHost& host, int threads = 1, JobProgress* progress = nullptr);

    // Folders are scanned (hidden entries skipped and never entered, symbolic links to
    // folders not followed, subfolders entered when asked, entries of each folder in name
    // order); files, given or found, are admitted when their extension is one of the six
    // accepted ones, compared exactly. Returns whether the list grew. Never throws: a failure
    // is logged and ends the scan, keeping what was admitted.
    bool addFolderToList(const QList<QUrl>& urls, bool includeSubdirectories);

    // Admits each URL as a file, with no extension or folder test. Returns whether the list grew.
    bool addFilesToList(const QList<QUrl>& urls);

    // Whether the last component of `path` ends in one of the six accepted extensions, compared
    // exactly: "Tif" or "Pdf" is not accepted.
    static bool hasAllowedExtension(QByteArrayView path);

private:
    GatherHost& m_host;
    int m_threads;
    JobProgress* m_progress;
};
