#include "app/Application.h"

#include "app/FolimeterAppDelegate.h"
#include "model/CountingWorker.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

int runApplication(QApplication& app, FolimeterAppDelegate& delegate)
{
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] {
        delegate.applicationShouldTerminate();
        delegate.setIsProcessing(false);
        // Counting helpers end with the program at once, whatever they were counting.
        CountingWorker::stopAll();
    });
    const int status = QApplication::exec();
    // The job notices the flag before its next entry; give it a moment, no more.
    if (!delegate.waitForJob(200)) {
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
