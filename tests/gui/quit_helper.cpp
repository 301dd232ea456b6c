// Starts the application and quits while it is busy, printing "quitting" right before.
//   quit_helper FOLDER                 a collection job over FOLDER; prints "running" once the
//                                      job has admitted a file
//   quit_helper export-dialog TARGET   the export's save dialog is open
//   quit_helper export-write TARGET    the quit comes while the list is being written to TARGET

#include "app/Application.h"
#include "app/FolimeterAppDelegate.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

void announceQuit()
{
    std::printf("quitting\n");
    std::fflush(stdout);
}

void fillList(FolimeterAppDelegate& delegate, int count)
{
    for (int i = 0; i < count; ++i)
        delegate.files().append(FileItem::makeForTesting("/nowhere/file" + QByteArray::number(i) + ".tif", i, 0));
    delegate.reloadTable();
    delegate.resetView(true);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    const bool exportDialog = std::strcmp(argv[1], "export-dialog") == 0;
    const bool exportWrite = std::strcmp(argv[1], "export-write") == 0;
    if (exportDialog || exportWrite) {
        if (argc < 3)
            return 2;
        const QString target = QString::fromLocal8Bit(argv[2]);
        fillList(delegate, exportWrite ? 1000 : 20);
        if (exportDialog) {
            QTimer::singleShot(0, &app, [&delegate] { delegate.exportAction(); });
            QTimer::singleShot(300, &app, [] {
                announceQuit();
                QCoreApplication::quit();
            });
        } else {
            QTimer::singleShot(0, &app, [&delegate, &app, target] {
                QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
                announceQuit();
                delegate.exportToFile(target);
            });
        }
        return runApplication(app, delegate);
    }
    delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1]))}, true, true});
    auto* poll = new QTimer(&app);
    QObject::connect(poll, &QTimer::timeout, &app, [&delegate, poll] {
        if (delegate.files().isEmpty())
            return;
        poll->stop();
        std::printf(delegate.isProcessing() ? "running\n" : "finished\n");
        announceQuit();
        QCoreApplication::quit();
    });
    poll->start(20);
    return runApplication(app, delegate);
}
