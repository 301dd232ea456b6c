#pragma once

#include <QByteArray>

#include <atomic>
#include <functional>

class FileList;

// Counters a running job publishes for a progress display; read from any thread.
struct JobProgress {
    std::atomic<qint64> found{0};    // files that passed the extension test so far
    std::atomic<qint64> admitted{0}; // files appended to the list so far
    std::atomic<qint64> pages{0};    // pages of the admitted files
};

// What the gathering needs from the owner of the list. The list is touched only inside
// performOnMain, so the owner's own reads never overlap an append.
class GatherHost {
public:
    virtual ~GatherHost() = default;

    // Runs `fn` on the thread that owns the list and waits for it. Returns false when that
    // can no longer happen (the application is quitting); the job then stops at once.
    virtual bool performOnMain(const std::function<void()>& fn) = 0;

    // Whether the job may go on; read before every entry. Cancel clears it.
    virtual bool isProcessing() const = 0;

    // The list. Only inside performOnMain.
    virtual FileList& files() = 0;

    // Called inside performOnMain after each appended file.
    virtual void updateTotalPagesLabel() = 0;

    // A folder or top-level path that could not be read (scan goes on). Any thread.
    virtual void pathUnreadable(const QByteArray& /*nativePath*/, int /*error*/) {}

    // Called on the job's thread right before a folder scan looks at an entry it found (after
    // the folder was listed, before the entry is tested, entered or measured). A seam for
    // tests that change the tree at an exact point of a scan; nothing else needs it.
    virtual void scanWillVisit(const QByteArray& /*nativePath*/) {}

    // Whether each file's dates are read with its size, right after its count, and kept in its
    // item (FileItem::fromNativePath), for a host that writes the list out as soon as the job
    // ends; the window reads them whenever it shows them. Asked once per job.
    virtual bool keepsDatesOfCount() const { return false; }
};
