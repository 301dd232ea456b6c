// Starts the application with a collection job over the folder given and quits once the job has
// admitted a file, printing "running" (or "finished" when it has ended) and "quitting" first.

#include "app/Application.h"
#include "app/FolimeterAppDelegate.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    FolimeterAppDelegate delegate;
    delegate.awakeFromNib();
    delegate.loadURLsInBackground(Arguments{{QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1]))}, true, true});
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (delegate.files().isEmpty())
            return;
        poll.stop();
        std::printf(delegate.isProcessing() ? "running\nquitting\n" : "finished\nquitting\n");
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    poll.start(20);
    return runApplication(app, delegate);
}
