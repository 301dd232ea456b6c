// Files and folders dropped onto the list: one collection job per drop.
#include "app/FolimeterAppDelegate.h"

#include "gather/LocalPath.h"
#include "model/FileItem.h"
#include "ui_MainWindow.h"

#include <QMimeData>

namespace {

const QString kUriListType = QStringLiteral("text/uri-list");

// The local file URLs of a drag, in its order; other URLs are ignored.
QList<QUrl> localUrls(const QMimeData* data)
{
    QList<QUrl> urls;
    if (!data || !data->hasUrls())
        return urls;
    for (const QUrl& url : data->urls()) {
        // Remade from the path's bytes, which a name that is not UTF-8 keeps (its text does not).
        const QByteArray path = FileItem::nativePathOfUrl(url);
        if (!path.isEmpty())
            urls.append(localpath::fileUrl(path));
    }
    return urls;
}

} // namespace

void FolimeterAppDelegate::registerForDraggedTypes()
{
    CustomTableView* table = m_ui->mainTableView;
    table->setAcceptDrops(true);
    table->viewport()->setAcceptDrops(true);
    // The list offers no drags of its own.
    table->setDragEnabled(false);
    table->setDropHandlers(
        [this](const QMimeData* data, const QObject* source) { return tableViewValidateDrop(data, source); },
        [this](const QMimeData* data) { return tableViewAcceptDrop(data); });
}

bool FolimeterAppDelegate::tableViewValidateDrop(const QMimeData* data, const QObject* source) const
{
    const CustomTableView* table = m_ui->mainTableView;
    // The list is disabled from the start of a job until the job has ended; a cancelled
    // job still appends until its thread ends.
    if (!table->isEnabled() || isListLocked())
        return false;
    for (const QObject* from = source; from; from = from->parent()) {
        if (from == table)
            return false;
    }
    return !localUrls(data).isEmpty();
}

bool FolimeterAppDelegate::tableViewAcceptDrop(const QMimeData* data)
{
    if (!data || !data->hasFormat(kUriListType))
        return false;
    m_ui->lableDragAndDrop->hide();
    endEditing();
    const QList<QUrl> urls = localUrls(data);
    if (urls.isEmpty() || isListLocked())
        return false;
    return loadURLsInBackground(Arguments{urls, true, m_ui->inculdeSubfoldersBtn->isChecked()});
}
