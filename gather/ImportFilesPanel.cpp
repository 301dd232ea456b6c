// The controller's side of the import-list dialog, and the start-up wiring of the Import and
// About commands.

#include "app/FolimeterAppDelegate.h"

#include "app/Platform.h"
#include "app/Utilities.h"
#include "gather/ImportFilesWindowController.h"
#include "ui_MainWindow.h"

#include <QMainWindow>

#include <exception>

void FolimeterAppDelegate::setupImportAndWindowActions()
{
    Ui::MainWindow& ui = *m_ui;
    connect(ui.importBtn, &QAbstractButton::clicked, this, [this] { importAction(); });
    connect(ui.importMenuItem, &QAction::triggered, this, [this] { importAction(); });
    connect(ui.aboutMenuItem, &QAction::triggered, this, &FolimeterAppDelegate::aboutAction, Qt::UniqueConnection);
}

void FolimeterAppDelegate::connectAboutAndAgreementItems()
{
    // The toolbar's About item and the agreement menu item are made by the toolbar and menu
    // set-up; they are found by their names.
    for (QAction* action : m_window->findChildren<QAction*>()) {
        const QString name = action->objectName();
        if (name == QLatin1String("ABOUT") || action->data().toString() == QLatin1String("ABOUT"))
            connect(action, &QAction::triggered, this, &FolimeterAppDelegate::aboutAction, Qt::UniqueConnection);
        else if (name == QLatin1String("licenseAgreementMenuItem"))
            connect(action, &QAction::triggered, this, &FolimeterAppDelegate::showLicenseAgreement,
                    Qt::UniqueConnection);
    }
}

ImportFilesWindowController* FolimeterAppDelegate::importFilesPanel() const
{
    return m_importFilesPanel;
}

void FolimeterAppDelegate::importAction()
{
    endEditing();
    openImportFilesPanel();
}

void FolimeterAppDelegate::openImportFilesPanel()
{
    try {
        if (!m_importFilesPanel) {
            m_importFilesPanel = new ImportFilesWindowController(window());
            m_importFilesPanel->setDelegate(this);
            m_importFilesPanel->setAllowedTypes(allowedFileTypes().join(QLatin1Char(',')));
        }
        m_importFilesPanel->resetView();
        m_importFilesPanel->open();
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(openImportFilesPanel)"), QString::fromUtf8(e.what()));
    }
}

void FolimeterAppDelegate::ImportFilesWindowControllerDidFinish(ImportFilesWindowController* controller)
{
    if (!controller || controller->files().isEmpty())
        return;
    Arguments arguments;
    arguments.urls = controller->files();
    arguments.isFolders = false;
    arguments.isIncludeSubdirectories = m_ui->inculdeSubfoldersBtn->isChecked();
    loadURLsInBackground(std::move(arguments));
}
