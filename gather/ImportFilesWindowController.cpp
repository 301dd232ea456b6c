#include "gather/ImportFilesWindowController.h"

#include "app/ButtonKeyCharacter.h"
#include "app/Platform.h"
#include "app/Utilities.h"
#include "gather/ImportFilesWindowControllerDelegate.h"
#include "gather/ImportListParser.h"
#include "ui_ImportFiles.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QMessageBox>

#include <exception>

ImportFilesWindowController::ImportFilesWindowController(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::ImportFiles>())
{
    m_ui->setupUi(this);
    for (QAbstractButton* radio : {static_cast<QAbstractButton*>(m_ui->importFromFileBtn),
                                   static_cast<QAbstractButton*>(m_ui->importFromTextBtn)})
        connect(radio, &QAbstractButton::clicked, this, [this, radio] { importMethodChanged(radio); });
    connect(m_ui->browseBtn, &QPushButton::clicked, this, &ImportFilesWindowController::browseImportFileAction);
    connect(m_ui->pasteFromClipboardBtn, &QPushButton::clicked, this,
            &ImportFilesWindowController::pasetFromClipboardAction);
    connect(m_ui->importBtn, &QPushButton::clicked, this, &ImportFilesWindowController::importAction);
    connect(m_ui->cancelBtn, &QPushButton::clicked, this, &ImportFilesWindowController::cancelAction);
    awakeFromNib();
}

ImportFilesWindowController::~ImportFilesWindowController() = default;

QString ImportFilesWindowController::countText(qsizetype count)
{
    return QStringLiteral("Total Files Found : %1").arg(count);
}

void ImportFilesWindowController::awakeFromNib()
{
    const QColor controlText = QApplication::palette().color(QPalette::Active, QPalette::ButtonText);
    setButtonKeyCharacter(m_ui->importFromFileBtn, QStringLiteral("F"), controlText, 2);
    setButtonKeyCharacter(m_ui->importFromTextBtn, QStringLiteral("T"), controlText, 2);
    setButtonKeyCharacter(m_ui->pasteFromClipboardBtn, QStringLiteral("p"), controlText, 1);
    setButtonKeyCharacter(m_ui->importBtn, QStringLiteral("i"), controlText, 1);
    importMethodChanged(m_ui->importFromFileBtn);
}

void ImportFilesWindowController::setButtonKeyCharacter(QAbstractButton* button, const QString& keyChar,
                                                        const QColor& color, int occurrence)
{
    ::setButtonKeyCharacter(button, keyChar, color, occurrence);
}

void ImportFilesWindowController::resetView()
{
    m_ui->importFile->clear();
    m_ui->importText->clear();
    m_files.clear();
    updateCount();
}

void ImportFilesWindowController::updateCount()
{
    m_ui->totalFilesFound->setText(countText(m_files.size()));
}

void ImportFilesWindowController::setTextViewActive(bool active)
{
    const QPalette app = QApplication::palette();
    QPalette pal = m_ui->importText->palette();
    const QColor text =
        active ? app.color(QPalette::Active, QPalette::Text) : app.color(QPalette::Disabled, QPalette::Text);
    const QColor base =
        active ? app.color(QPalette::Active, QPalette::Base) : app.color(QPalette::Active, QPalette::Button);
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        pal.setColor(group, QPalette::Text, text);
        pal.setColor(group, QPalette::Base, base);
    }
    m_ui->importText->setPalette(pal);
}

void ImportFilesWindowController::importMethodChanged(QAbstractButton* sender)
{
    Ui::ImportFiles& ui = *m_ui;
    ui.importFile->setEnabled(false);
    ui.importFile->clear();
    setTextViewActive(false);
    ui.importText->clear();
    ui.browseBtn->setEnabled(false);
    ui.pasteFromClipboardBtn->setEnabled(false);
    ui.importFromFileBtn->setChecked(false);
    ui.importFromTextBtn->setChecked(false);

    bool hasTag = false;
    const int tag = sender ? sender->property("tag").toInt(&hasTag) : -1;
    if (!hasTag)
        return;
    if (tag == 0) {
        ui.importFile->setEnabled(true);
        ui.browseBtn->setEnabled(true);
        ui.importFromFileBtn->setChecked(true);
        ui.importFromFileBtn->setFocus();
    } else if (tag == 1) {
        ui.pasteFromClipboardBtn->setEnabled(true);
        ui.importFromTextBtn->setChecked(true);
        setTextViewActive(true);
        ui.importFromTextBtn->setFocus();
    }
}

void ImportFilesWindowController::browseImportFileAction()
{
    auto* panel = new QFileDialog(this, QStringLiteral("Select Text File To Import:"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    panel->setAcceptMode(QFileDialog::AcceptOpen);
    panel->setFileMode(QFileDialog::ExistingFile);
    panel->setNameFilter(QStringLiteral("Text files (*.txt)"));
    connect(panel, &QDialog::finished, this,
            [this, panel](int result) { openPanelDidEnd(panel->selectedFiles(), result); });
    panel->open();
}

void ImportFilesWindowController::openPanelDidEnd(const QStringList& paths, int returnCode)
{
    if (returnCode != QDialog::Accepted || paths.isEmpty())
        return;
    m_ui->importFile->setText(paths.constLast());
}

void ImportFilesWindowController::pasetFromClipboardAction()
{
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty())
        return;
    parseText(text);
    QStringList paths;
    paths.reserve(m_files.size());
    for (const QUrl& url : std::as_const(m_files))
        paths << url.toLocalFile();
    m_ui->importText->setPlainText(paths.join(QLatin1Char('\n')));
}

void ImportFilesWindowController::parseText(const QString& text)
{
    m_files.clear();
    try {
        // An empty entry would admit every line without an extension.
        const QStringList types = m_allowedTypes.split(QLatin1Char(','), Qt::SkipEmptyParts);
        appendImportList(text, types, m_files);
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(parseText:)"), QString::fromUtf8(e.what()));
    }
    updateCount();
}

void ImportFilesWindowController::parseFile(const QString& path)
{
    try {
        m_ui->importFile->setText(path);
        const std::optional<QString> text = platform::readTextFileUtf8(path);
        parseText(text.value_or(QString()));
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(parseFile:)"), QString::fromUtf8(e.what()));
        m_files.clear();
        updateCount();
    }
}

void ImportFilesWindowController::showAlert(const QString& message)
{
    auto* alert = new QMessageBox(QMessageBox::Warning, getAppTitle(QString()), message, QMessageBox::Ok, this);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->open();
}

void ImportFilesWindowController::importAction()
{
    // The fields hold their values as typed; there is no pending edit to commit.
    Ui::ImportFiles& ui = *m_ui;
    const bool fileMode = ui.importFromFileBtn->isChecked();
    const bool textMode = ui.importFromTextBtn->isChecked();
    if (fileMode && ui.importFile->text().isEmpty()) {
        ui.browseBtn->setFocus();
        showAlert(QStringLiteral("Please select file to import!"));
        return;
    }
    if (textMode && ui.importText->toPlainText().isEmpty()) {
        ui.importText->setFocus();
        showAlert(QStringLiteral("Please paste file(s) path to import!"));
        return;
    }
    if (fileMode)
        parseFile(ui.importFile->text());
    if (textMode)
        parseText(ui.importText->toPlainText());
    if (m_files.isEmpty()) {
        showAlert(QStringLiteral("No File(s) Found!"));
        return;
    }
    if (m_delegate)
        m_delegate->ImportFilesWindowControllerDidFinish(this);
    accept();
}

void ImportFilesWindowController::cancelAction()
{
    QDialog::reject();
}

void ImportFilesWindowController::reject()
{
    cancelAction();
}
