// The controller's side of the About window and the agreement viewer.

#include "app/FolimeterAppDelegate.h"

#include "app/Platform.h"
#include "windows/AboutWindowController.h"
#include "windows/EULAWindowController.h"

#include <QMainWindow>

#include <exception>

namespace {

// Replaces the kept controller with a new one, window-modal on `parent`.
template <typename Controller> void presentFresh(QPointer<Controller>& kept, QWidget* parent)
{
    delete kept.data();
    kept = new Controller(parent);
    kept->open();
}

} // namespace

AboutWindowController* FolimeterAppDelegate::aboutWindowController() const
{
    return m_aboutWindowController;
}

EULAWindowController* FolimeterAppDelegate::eulaWindowController() const
{
    return m_eulaWindowController;
}

void FolimeterAppDelegate::aboutAction()
{
    try {
        presentFresh(m_aboutWindowController, window());
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("showAbout"), QString::fromUtf8(e.what()));
    }
}

void FolimeterAppDelegate::showLicenseAgreement()
{
    try {
        presentFresh(m_eulaWindowController, window());
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("showEULA"), QString::fromUtf8(e.what()));
    }
}
