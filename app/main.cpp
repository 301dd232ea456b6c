#include "app/FolimeterAppDelegate.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Folimeter"));
    QApplication::setOrganizationName(QStringLiteral("Folimeter"));
    QApplication::setDesktopFileName(QStringLiteral("org.folimeter.Folimeter"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/folimeter.png")));

    // A second launch hands a reopen request to the running program and ends.
    SingleInstance instance;
    if (instance.forwardToRunningInstance())
        return 0;

    FolimeterAppDelegate delegate;
    QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate,
                     [&delegate] { delegate.applicationShouldHandleReopen(delegate.window()->isVisible()); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, [&delegate] {
        delegate.applicationShouldTerminate();
        delegate.setIsProcessing(false);
    });
    delegate.awakeFromNib();

    const int status = QApplication::exec();
    if (delegate.hasRunningJob()) {
        // A job's thread may be in the middle of a slow file; quitting never waits for it.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
