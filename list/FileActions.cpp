// The controller's actions on the selected files: open, show in folder, properties.
#include "app/FolimeterAppDelegate.h"

#include "app/Platform.h"
#include "gather/LocalPath.h"
#include "list/FileManagerClient.h"
#include "list/FilePropertiesDialog.h"

#include <QDesktopServices>
#include <QMainWindow>

#include <exception>

namespace {

std::vector<FileItemPtr> itemsAt(const FileList& files, const std::vector<qsizetype>& rows)
{
    std::vector<FileItemPtr> items;
    for (const qsizetype row : rows) {
        if (row >= 0 && row < files.size())
            items.push_back(files.at(row));
    }
    return items;
}

void openWith(const FolimeterAppDelegate::UrlOpener& opener, const QUrl& url)
{
    if (opener)
        opener(url);
    else
        QDesktopServices::openUrl(url);
}

} // namespace

void FolimeterAppDelegate::setUrlOpener(UrlOpener opener)
{
    m_urlOpener = std::move(opener);
}

FileManagerClient* FolimeterAppDelegate::fileManager()
{
    if (!m_fileManager)
        m_fileManager = new FileManagerClient(this);
    return m_fileManager;
}

void FolimeterAppDelegate::openFileWithFinder()
{
    openFiles();
}

void FolimeterAppDelegate::openFileEnclosingFolder()
{
    openEnclodingFolder();
}

void FolimeterAppDelegate::getInfoFile()
{
    getInfo();
}

void FolimeterAppDelegate::openFiles()
{
    try {
        for (const FileItemPtr& item : itemsAt(m_files, selectedRows())) {
            openWith(m_urlOpener, item->filePath());
        }
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(openFiles)"), QString::fromUtf8(e.what()));
    }
}

void FolimeterAppDelegate::openEnclodingFolder()
{
    try {
        const std::vector<FileItemPtr> items = itemsAt(m_files, selectedRows());
        // With nothing selected there is nothing to show; a file manager asked for no
        // items may still open a window.
        if (items.empty())
            return;
        QList<QUrl> urls;
        QList<QUrl> folders;
        for (const FileItemPtr& item : items) {
            urls.append(item->filePath());
            const QByteArray& path = item->nativePath();
            const qsizetype slash = path.lastIndexOf('/');
            const QUrl folder = localpath::fileUrl(slash <= 0 ? QByteArray("/") : path.left(slash));
            if (!folders.contains(folder))
                folders.append(folder);
        }
        fileManager()->showItems(urls, [this, folders] {
            try {
                for (const QUrl& folder : folders)
                    openWith(m_urlOpener, folder);
            } catch (const std::exception& e) {
                platform::logError(QStringLiteral("(openEnclodingFolder)"), QString::fromUtf8(e.what()));
            }
        });
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(openEnclodingFolder)"), QString::fromUtf8(e.what()));
    }
}

void FolimeterAppDelegate::getInfo()
{
    try {
        const std::vector<FileItemPtr> items = itemsAt(m_files, selectedRows());
        if (items.empty())
            return;
        QList<QUrl> urls;
        for (const FileItemPtr& item : items)
            urls.append(item->filePath());
        // The items are held by the fallback: the list may lose them before it runs.
        fileManager()->showItemProperties(urls, [this, items] {
            try {
                for (const FileItemPtr& item : items) {
                    auto* dialog = new FilePropertiesDialog(*item, m_window.get());
                    dialog->show();
                }
            } catch (const std::exception& e) {
                platform::logError(QStringLiteral("(getInfo)"), QString::fromUtf8(e.what()));
            }
        });
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(getInfo)"), QString::fromUtf8(e.what()));
    }
}
