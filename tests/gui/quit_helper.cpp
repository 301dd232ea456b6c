// Starts the application on a folder, and quits while the collection job still runs.
// Prints "running" once the job has admitted a file, then "quitting" right before it quits.

#include "app/Application.h"
#include "app/FolimeterAppDelegate.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1]))}, true, true});
    auto* poll = new QTimer(&app);
    QObject::connect(poll, &QTimer::timeout, &app, [&delegate, poll] {
        if (delegate.files().isEmpty())
            return;
        poll->stop();
        std::printf(delegate.isProcessing() ? "running\n" : "finished\n");
        std::printf("quitting\n");
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    poll->start(20);
    return runApplication(app, delegate);
}
