#include "app/Application.h"
#include "app/FolimeterAppDelegate.h"
#include "app/SingleInstance.h"
#include "gather/LocalPath.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv); // takes Qt's own options out of argv
    QApplication::setApplicationName(QStringLiteral("Folimeter"));
    QApplication::setOrganizationName(QStringLiteral("Folimeter"));
    QApplication::setDesktopFileName(QStringLiteral("org.folimeter.Folimeter"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/folimeter.png")));

    // The files and folders named at launch ("Open With" in a file manager), in their bytes as
    // given: Qt's decoded arguments lose a name that is not UTF-8. Made absolute here, since a
    // running instance that takes them has a current folder of its own.
    QList<QByteArray> paths;
    const QByteArray currentFolder = localpath::currentFolder();
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '\0')
            paths << localpath::absolute(argv[i], currentFolder);
    }

    // A second launch hands a reopen request and its files to the running program and ends.
    SingleInstance instance;
    if (instance.forwardToRunningInstance(paths))
        return 0;

    FolimeterAppDelegate delegate;
    QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate,
                     [&delegate] { delegate.applicationShouldHandleReopen(delegate.window()->isVisible()); });
    QObject::connect(&instance, &SingleInstance::filesRequested, &delegate, &FolimeterAppDelegate::addNamedFiles);
    delegate.awakeFromNib();
    delegate.addNamedFiles(paths);
    return runApplication(app, delegate);
}
