#include "windows/AboutWindowController.h"

#include "app/Constants.h"
#include "app/Utilities.h"
#include "ui_About.h"

#include <QLayout>
#include <QPixmap>

AboutWindowController::AboutWindowController(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::About>())
{
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &AboutWindowController::okAction);
    awakeFromNib();
}

AboutWindowController::~AboutWindowController() = default;

void AboutWindowController::awakeFromNib()
{
    const QString title = getAppTitle(QString());
    setWindowTitle(QStringLiteral("About %1").arg(title));
    m_ui->logoImage->setPixmap(QPixmap(bundleInfoValue(QLatin1String(constants::kIconFileKey))));
    m_ui->titleLabel->setText(
        QStringLiteral("%1 (%2)").arg(title, bundleInfoValue(QLatin1String(constants::kVersionKey))));
    m_ui->headerLabel->setText(QStringLiteral("Thank you for using %1.").arg(title));
    const QString email = QLatin1String(constants::kSupportEmail);
    m_ui->emailLink->setUrlString(QStringLiteral("mailto:%1?subject=&body=").arg(email));
    m_ui->emailLink->setText(email);
    m_ui->copyrightLabel->setText(bundleInfoValue(QLatin1String(constants::kCopyrightKey)));
    m_ui->okButton->setToolTip(QStringLiteral("Click to continue with %1.").arg(title));
    // A fixed-size dialog: the layout sets its size, and the title bar offers no minimise or
    // maximise button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void AboutWindowController::okAction()
{
    accept();
}
