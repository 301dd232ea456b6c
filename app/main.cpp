#include "app/Application.h"
#include "app/FolimeterAppDelegate.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>

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
    delegate.awakeFromNib();
    return runApplication(app, delegate);
}
