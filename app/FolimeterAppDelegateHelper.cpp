// The controller's toolbar, menus and keys.
#include "app/FolimeterAppDelegate.h"

#include "app/Constants.h"
#include "app/MenuTitles.h"
#include "app/Utilities.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

namespace {

const QString kAboutIdentifier = QStringLiteral("ABOUT");

bool isAboutItem(const QAction* action)
{
    return action->objectName() == kAboutIdentifier || action->data().toString() == kAboutIdentifier;
}

} // namespace

void FolimeterAppDelegate::setupVersion()
{
    replaceProductNameInMenus(m_window->menuBar(), QStringLiteral("Folimeter"), getAppTitle(QStringLiteral("")));
}

void FolimeterAppDelegate::setupToolbarAndMenuItems()
{
    Ui::MainWindow& ui = *m_ui;
    updateWindowTitle();

    // The About menu item and toolbar item trigger aboutAction(), the agreement item
    // showLicenseAgreement(); they are connected where the About window is set up.

    if (QToolBar* toolbar = ui.mainToolBar) {
        // The user cannot rearrange, hide or tear off the toolbar.
        toolbar->setMovable(false);
        toolbar->setFloatable(false);
        toolbar->setContextMenuPolicy(Qt::PreventContextMenu);
        toolbar->toggleViewAction()->setVisible(false);
        const QList<QAction*> items = toolbar->actions();
        if (std::none_of(items.begin(), items.end(), isAboutItem)) {
            QAction* first = items.isEmpty() ? nullptr : items.first();
            toolbar->insertAction(first, toolbarItemForIdentifier(kAboutIdentifier, true));
            if (!first || !first->isSeparator())
                toolbar->insertSeparator(first);
        }
    }

    // The application menu is the menu bar's first; the agreement item goes to index 4,
    // after a separator at index 3.
    const QAction* firstMenu = m_window->menuBar()->actions().value(0);
    if (QMenu* applicationMenu = firstMenu ? firstMenu->menu() : nullptr) {
        auto* agreement = new QAction(QStringLiteral("End-User License Agreement..."), applicationMenu);
        agreement->setObjectName(QStringLiteral("licenseAgreementMenuItem"));
        agreement->setToolTip(QStringLiteral("End-User License Agreement"));
        agreement->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
        auto* separator = new QAction(applicationMenu);
        separator->setSeparator(true);
        const QList<QAction*> items = applicationMenu->actions();
        applicationMenu->insertAction(items.value(3), separator);
        applicationMenu->insertAction(items.value(3), agreement);
    }

    // The other items of the application, Window and help menus.
    connect(ui.websiteMenuItem, &QAction::triggered, this, [this] { websiteAction(); });
    connect(ui.helpWebsiteMenuItem, &QAction::triggered, this, [this] { websiteAction(); });
    connect(ui.showMainWindowMenuItem, &QAction::triggered, this, [this] { openAppAction(); });
    connect(ui.minimizeMenuItem, &QAction::triggered, m_window.get(), &QWidget::showMinimized);
    connect(ui.quitMenuItem, &QAction::triggered, qApp, &QCoreApplication::quit);
}

QAction* FolimeterAppDelegate::toolbarItemForIdentifier(const QString& identifier, bool willBeInserted)
{
    Q_UNUSED(willBeInserted);
    if (identifier != kAboutIdentifier)
        return nullptr;
    auto* item = new QAction(QIcon(QStringLiteral(":/images/user.png")), QStringLiteral("About"), m_window.get());
    item->setObjectName(kAboutIdentifier);
    item->setData(kAboutIdentifier);
    item->setIconText(QStringLiteral("About"));
    item->setToolTip(QStringLiteral("About ") + getAppTitle());
    return item;
}

void FolimeterAppDelegate::keyDownTableView(QKeyEvent* event)
{
    if (!event || event->type() != QEvent::KeyPress || !(event->modifiers() & Qt::ControlModifier))
        return;
    if (event->key() == Qt::Key_Up && m_ui->moveUpButton->isEnabled())
        moveUp();
    else if (event->key() == Qt::Key_Down && m_ui->moveDownButton->isEnabled())
        moveDown();
}

void FolimeterAppDelegate::openAppAction()
{
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
}

void FolimeterAppDelegate::websiteAction()
{
    const QUrl url(QString::fromLatin1(constants::kWebsiteUrl));
    if (m_urlOpener)
        m_urlOpener(url);
    else
        QDesktopServices::openUrl(url);
}
