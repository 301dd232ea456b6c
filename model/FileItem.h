#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <memory>
#include <optional>

// One listed file: where it is, how many pages it has, how much disk space it occupies and
// whether the user has it checked. Size and page count are measured once, when the item is
// made; name, folder, type and the three dates are derived from the location when asked.
//
// The location is kept as the file's absolute path in its file-system bytes. Its URL is the
// file URL of that path, so two items are equal exactly when their URL texts are equal, with
// no normalisation: letter case, "." and ".." and symbolic links count as written.
class FileItem {
public:
    // A new, measured item for a file URL; null for an invalid or non-file URL. A relative
    // file URL is taken against the current folder. Made for any file URL, readable or not.
    static std::shared_ptr<FileItem> initWithURL(const QUrl& url);

    // A new, measured item for a path in its file-system bytes (relative paths are taken
    // against the current folder); null for an empty path, and when Cancel or quitting cut
    // the count off (CountingWorker::stopAll()): a file is never listed with a count that is
    // not its own. With `keepDates`, the size is read after the count, together with the
    // dates, which dates() then gives as they were then.
    static std::shared_ptr<FileItem> fromNativePath(const QByteArray& nativePath, bool keepDates = false);

    // Stores the location and measures the file: allocated size and page count.
    void setFilePath(const QUrl& url);

    QUrl filePath() const;
    // The absolute path, as text and in its file-system bytes.
    QString path() const;
    const QByteArray& nativePath() const { return m_nativePath; }

    qint32 pages() const { return m_pages; }
    // A PDF that stayed locked after the empty password; its count is what could be read
    // without the password.
    bool isPasswordProtected() const { return m_passwordProtected; }
    // Allocated size on disk in bytes (blocks × 512), 0 when it cannot be read.
    qint64 size() const { return m_size; }

    bool isSelected() const { return m_isSelected; }
    void setIsSelected(bool isSelected) { m_isSelected = isSelected; }

    QString name() const;
    QString location() const;
    QString type() const;
    QString typeToUpper() const;
    QString sizeInKB() const { return sizeText(m_size); }

    // Read from the file system on every call; none when unavailable.
    std::optional<QDateTime> dateModified() const;
    std::optional<QDateTime> dateCreated() const;
    std::optional<QDateTime> dateAccessed() const;

    struct Dates {
        std::optional<QDateTime> modified, accessed, created;
    };
    // The three dates above from one look at the file system; those kept at the count when the
    // item was made to keep them (fromNativePath).
    Dates dates() const;

    // Equal when the URL texts are equal. Null is never equal.
    bool isEqual(const FileItem* other) const;

    // The value shown for a column identifier (compared without regard to letter case):
    // a bool for "isselected", an int for "pages", a formatted text for the dates (an invalid
    // QVariant for an absent date), a string for the others, "" for an unknown identifier.
    QVariant displayField(const QString& identifier) const;

    // "dd-MMM-yyyy h:mm a" in the user's locale.
    static QString displayDate(const QDateTime& date);

    // The size text: "%d KB" up to 1,000,000 bytes, then one decimal in MB, GB and TB
    // (factors of 1000, a trailing ".0" dropped).
    static QString sizeText(qint64 bytes);

    // The parts of a native path, as views into it: the name after the last '/', the folder
    // before it ("/" for a file in the root or a bare name, empty for an empty path), and the
    // extension after the name's last '.' (empty when it has none).
    struct NativePathParts {
        QByteArrayView name, folder, extension;
    };
    static NativePathParts nativePathParts(QByteArrayView path);
    // The size in whole kilobytes when sizeText writes it as "N KB" (up to about a megabyte),
    // else none.
    static std::optional<qint64> wholeKilobytes(qint64 bytes);

    // `path` made absolute against the current folder, joined as written (no cleaning).
    static QByteArray absoluteNativePath(const QByteArray& path);

    // The file URL of a path in its file-system bytes, and back. A name that is not valid
    // UTF-8 keeps its bytes percent-encoded in the URL (a decoded text would replace them),
    // so the URL still leads to the file; other names give QUrl::fromLocalFile's URL.
    static QUrl fileUrl(const QByteArray& nativePath);
    // Empty for an invalid or non-file URL.
    static QByteArray nativePathOfUrl(const QUrl& url);

    // Test hook: an item with the given values, not measured.
    static std::shared_ptr<FileItem> makeForTesting(const QByteArray& nativePath, qint32 pages, qint64 size,
                                                    bool passwordProtected = false);

private:
    // False when the page count was cut off.
    bool measure(bool keepDates = false);

    QByteArray m_nativePath;
    qint64 m_size = 0;
    qint32 m_pages = 0;
    bool m_isSelected = true;
    bool m_passwordProtected = false;
    std::shared_ptr<const Dates> m_keptDates; // null unless made to keep them
};

using FileItemPtr = std::shared_ptr<FileItem>;
