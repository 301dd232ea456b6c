#include "gather/FileSystemHelper.h"

#include "app/Platform.h"
#include "app/Utilities.h"
#include "gather/AdmissionQueue.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <vector>

namespace {

QByteArray nativePathOfUrl(const QUrl& url)
{
    return FileItem::absoluteNativePath(FileItem::nativePathOfUrl(url));
}

struct Entry {
    QByteArray name;
    unsigned char type;
};

// Reads a folder's entries, hidden ones left out, in name order (byte order, so the order is
// the same on every file system and every run). False when the folder cannot be read.
// Unless `followLink`, a symbolic link is not opened: a folder swapped for a link after its
// parent was read is passed over, like any folder that can no longer be read.
bool readFolder(const QByteArray& folder, bool followLink, std::vector<Entry>& entries, int& error)
{
    entries.clear();
    const int fd =
        ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        error = errno;
        return false;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        error = errno;
        ::close(fd);
        return false;
    }
    while (const dirent* d = ::readdir(dir)) {
        if (d->d_name[0] != '.') // hidden, and "." and ".."
            entries.push_back({QByteArray(d->d_name), d->d_type});
    }
    // A folder that goes away while it is read ends its listing early; what was read stands.
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return true;
}

// Whether an entry is a folder to descend into. Symbolic links count as files, so a link to
// a folder is never followed and a link loop cannot trap the scan.
bool isFolderEntry(const QByteArray& path, unsigned char type)
{
    if (type == DT_DIR)
        return true;
    if (type != DT_UNKNOWN)
        return false;
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

class FolderScan {
public:
    FolderScan(GatherHost& host, AdmissionQueue& queue, bool includeSubdirectories)
        : m_host(host), m_queue(queue), m_includeSubdirectories(includeSubdirectories)
    {
    }

    // Walks one chosen folder depth first, each folder's entries in name order, a subfolder's
    // contents right after the subfolder itself. Returns false when the scan must stop.
    bool scan(const QByteArray& root)
    {
        struct Level {
            QByteArray path;
            std::vector<Entry> entries;
            size_t next = 0;
        };
        std::vector<Level> stack;
        int error = 0;
        stack.push_back({root, {}, 0});
        if (!readFolder(root, true, stack.back().entries, error)) {
            m_host.pathUnreadable(root, error);
            return true;
        }
        while (!stack.empty()) {
            Level& level = stack.back();
            if (level.next >= level.entries.size()) {
                stack.pop_back();
                continue;
            }
            const Entry& entry = level.entries[level.next++];
            if (!m_host.isProcessing())
                return false;
            QByteArray path = level.path;
            if (!path.endsWith('/'))
                path += '/';
            path += entry.name;
            m_host.scanWillVisit(path);
            if (isFolderEntry(path, entry.type)) {
                if (!m_includeSubdirectories)
                    continue;
                Level child{path, {}, 0};
                if (!readFolder(path, false, child.entries, error)) {
                    m_host.pathUnreadable(path, error); // passed over; the scan goes on
                    continue;
                }
                stack.push_back(std::move(child));
                continue;
            }
            if (FileSystemHelper::hasAllowedExtension(entry.name) && !m_queue.submit(path))
                return false;
        }
        return true;
    }

private:
    GatherHost& m_host;
    AdmissionQueue& m_queue;
    bool m_includeSubdirectories;
};

} // namespace

bool FileSystemHelper::hasAllowedExtension(QByteArrayView path)
{
    static const std::vector<QByteArray> allowed = [] {
        std::vector<QByteArray> types;
        for (const QString& type : allowedFileTypes())
            types.push_back(type.toUtf8());
        return types;
    }();
    const QByteArrayView extension = FileItem::nativePathParts(path).extension;
    return std::any_of(allowed.begin(), allowed.end(), [&](const QByteArray& t) { return extension == t; });
}

FileSystemHelper::FileSystemHelper(GatherHost& host, int threads, JobProgress* progress)
    : m_host(host), m_threads(std::max(threads, 1)), m_progress(progress)
{
}

bool FileSystemHelper::addFolderToList(const QList<QUrl>& urls, bool includeSubdirectories)
{
    AdmissionQueue queue(m_host, m_threads, m_progress);
    try {
        FolderScan folderScan(m_host, queue, includeSubdirectories);
        for (const QUrl& url : urls) {
            if (!m_host.isProcessing())
                break;
            const QByteArray path = nativePathOfUrl(url);
            struct stat st {};
            // The chosen URLs themselves are followed through links and never judged hidden.
            const bool exists = !path.isEmpty() && ::stat(path.constData(), &st) == 0;
            if (!path.isEmpty() && !exists)
                m_host.pathUnreadable(path, errno);
            if (exists && S_ISDIR(st.st_mode)) {
                if (!folderScan.scan(path))
                    break;
            } else if (!path.isEmpty() && hasAllowedExtension(path)) {
                if (!queue.submit(path))
                    break;
            }
        }
        return queue.finish() > 0;
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(addFolderToList:)"), QString::fromUtf8(e.what()));
    } catch (...) {
        platform::logError(QStringLiteral("(addFolderToList:)"), QStringLiteral("unknown error"));
    }
    queue.abandon();
    return queue.appended() > 0;
}

bool FileSystemHelper::addFilesToList(const QList<QUrl>& urls)
{
    AdmissionQueue queue(m_host, m_threads, m_progress);
    try {
        for (const QUrl& url : urls) {
            if (!m_host.isProcessing())
                break;
            const QByteArray path = nativePathOfUrl(url);
            if (path.isEmpty())
                continue; // not a file URL: no item
            if (!queue.submit(path))
                break;
        }
        return queue.finish() > 0;
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(addFilesToList:)"), QString::fromUtf8(e.what()));
    } catch (...) {
        platform::logError(QStringLiteral("(addFilesToList:)"), QStringLiteral("unknown error"));
    }
    queue.abandon();
    return queue.appended() > 0;
}
