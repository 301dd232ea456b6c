#include "windows/EULAWindowController.h"

#include "app/Platform.h"
#include "app/Utilities.h"
#include "ui_EULA.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QPrintDialog>
#include <QPrinter>
#include <QTextCursor>
#include <QTextDocument>

namespace {

constexpr const char* kPlaceholder = "##APPTITLE##";

// Replaces every occurrence in the document, keeping the character formats around it.
void replaceAll(QTextDocument* document, const QString& from, const QString& to)
{
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    for (;;) {
        cursor = document->find(from, cursor, QTextDocument::FindCaseSensitively);
        if (cursor.isNull())
            break;
        cursor.insertText(to);
    }
    cursor.endEditBlock();
}

} // namespace

EULAWindowController::EULAWindowController(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::EULA>())
{
    m_ui->setupUi(this);
    connect(m_ui->printButton, &QPushButton::clicked, this, &EULAWindowController::printAction);
    connect(m_ui->saveAsButton, &QPushButton::clicked, this, &EULAWindowController::saveAsAction);
    connect(m_ui->closeButton, &QPushButton::clicked, this, &EULAWindowController::closeAction);
    awakeFromNib();
}

EULAWindowController::~EULAWindowController() = default;

QPrinter& EULAWindowController::sharedPrinter()
{
    static QPrinter printer;
    return printer;
}

void EULAWindowController::awakeFromNib()
{
    const QString title = getAppTitle(QString());
    setWindowTitle(getAppTitle(agreementFileSuffix()));
    m_ui->headerLabel->setText(QStringLiteral("%1 End-User License Agreement:").arg(title));
    replaceAll(m_ui->descriptionTextView->document(), QLatin1String(kPlaceholder), title);
    m_ui->closeButton->show();
    m_ui->printButton->setToolTip(QStringLiteral("Click to print End-User License Agreement."));
    m_ui->saveAsButton->setToolTip(QStringLiteral("Click to save End-User License Agreement."));
    m_ui->closeButton->setToolTip(QStringLiteral("Click to close dialog."));
}

void EULAWindowController::printAction()
{
    auto* panel = new QPrintDialog(&sharedPrinter(), this);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QDialog::finished, this, &EULAWindowController::printPanelDidEnd);
    panel->open();
}

void EULAWindowController::printPanelDidEnd(int returnCode)
{
    if (returnCode != QDialog::Accepted)
        return;
    m_ui->descriptionTextView->print(&sharedPrinter());
}

void EULAWindowController::saveAsAction()
{
    auto* panel = new QFileDialog(this);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setNameFilter(QStringLiteral("PDF (*.pdf)"));
    panel->setDefaultSuffix(QStringLiteral("pdf"));
    panel->selectFile(getAppTitle(agreementFileSuffix()));
    connect(panel, &QDialog::finished, this, [this, panel](int result) {
        const QStringList chosen = panel->selectedFiles();
        savePanelDidEnd(chosen.isEmpty() ? QString() : chosen.constFirst(), result);
    });
    panel->open();
}

bool EULAWindowController::savePanelDidEnd(const QString& fileName, int returnCode)
{
    if (returnCode != QDialog::Accepted || fileName.isEmpty())
        return false;
    QString path = fileName;
    if (QFileInfo(path).suffix().compare(QLatin1String("pdf"), Qt::CaseInsensitive) != 0)
        path += QLatin1String(".pdf");

    // The shared settings, sent to a file instead of a printer.
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageLayout(sharedPrinter().pageLayout());
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    m_ui->descriptionTextView->document()->print(&printer);
    // QPrinter reports a file it could not open only through its state.
    if (printer.printerState() == QPrinter::Error || !QFileInfo(path).isFile()) {
        platform::logError(QStringLiteral("(saveAsAction:)"), QStringLiteral("could not write %1").arg(path));
        return false;
    }
    return true;
}

void EULAWindowController::closeAction()
{
    accept();
}
