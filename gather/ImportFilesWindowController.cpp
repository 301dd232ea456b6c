#include "gather/ImportFilesWindowController.h"

#include "app/ButtonKeyCharacter.h"
#include "app/MainThread.h"
#include "app/Platform.h"
#include "app/Utilities.h"
#include "gather/ImportFilesWindowControllerDelegate.h"
#include "gather/ImportListParser.h"
#include "ui_ImportFiles.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>

#include <exception>
#include <thread>

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
    dropRunningParse();
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
    dropRunningParse();
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
    if (m_isParsing)
        return;
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty())
        return;
    parseText(text, [this] {
        QStringList paths;
        paths.reserve(m_files.size());
        for (const QUrl& url : std::as_const(m_files))
            paths << url.toLocalFile();
        m_ui->importText->setPlainText(paths.join(QLatin1Char('\n')));
    });
}

namespace {

// The accepted entries of `text`; a failure part-way keeps what was found before it.
QList<QUrl> parseListText(const QString& text, const QStringList& types)
{
    QList<QUrl> files;
    try {
        appendImportList(text, types, files);
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(parseText:)"), QString::fromUtf8(e.what()));
    }
    return files;
}

QList<QUrl> parseListFile(const QString& path, const QStringList& types)
{
    std::optional<QString> text;
    try {
        // Only a regular file has an end: a pipe or a device could be read forever.
        if (QFileInfo(path).isFile())
            text = platform::readTextFileUtf8(path);
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(parseFile:)"), QString::fromUtf8(e.what()));
        text.reset();
    }
    if (!text)
        return {};
    return parseListText(*text, types);
}

} // namespace

QStringList ImportFilesWindowController::acceptedTypes() const
{
    // An empty entry would admit every line without an extension.
    return m_allowedTypes.split(QLatin1Char(','), Qt::SkipEmptyParts);
}

void ImportFilesWindowController::parseText(const QString& text, std::function<void()> then)
{
    startParse([text, types = acceptedTypes()] { return parseListText(text, types); }, std::move(then));
}

void ImportFilesWindowController::parseFile(const QString& path, std::function<void()> then)
{
    m_ui->importFile->setText(path);
    startParse([path, types = acceptedTypes()] { return parseListFile(path, types); }, std::move(then));
}

void ImportFilesWindowController::startParse(std::function<QList<QUrl>()> work, std::function<void()> then)
{
    m_files.clear();
    const quint64 generation = ++m_parseGeneration;
    m_isParsing = true;
    m_ui->importBtn->setEnabled(false);

    QPointer<ImportFilesWindowController> self(this);
    auto deliver = [self, generation, then = std::move(then)](QList<QUrl> files) {
        if (!self || self->m_parseGeneration != generation)
            return; // dropped, or the dialog is gone
        self->m_isParsing = false;
        self->m_ui->importBtn->setEnabled(true);
        self->m_files = std::move(files);
        self->updateCount();
        if (then)
            then();
    };
    // Detached: quitting never waits for a list file on a slow or hung disk.
    std::thread([work = std::move(work), deliver = std::move(deliver)]() mutable {
        QList<QUrl> files;
        try {
            files = work();
        } catch (const std::exception& e) {
            platform::logError(QStringLiteral("(parseText:)"), QString::fromUtf8(e.what()));
        }
        performOnMainThread([&] { deliver(std::move(files)); });
    }).detach();
}

void ImportFilesWindowController::dropRunningParse()
{
    ++m_parseGeneration;
    if (!m_isParsing)
        return;
    m_isParsing = false;
    m_ui->importBtn->setEnabled(true);
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
    if (m_isParsing)
        return;
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
    auto handOver = [this] {
        if (m_files.isEmpty()) {
            showAlert(QStringLiteral("No File(s) Found!"));
            return;
        }
        if (m_delegate)
            m_delegate->ImportFilesWindowControllerDidFinish(this);
        accept();
    };
    if (fileMode)
        parseFile(ui.importFile->text(), handOver);
    else if (textMode)
        parseText(ui.importText->toPlainText(), handOver);
    else
        handOver();
}

void ImportFilesWindowController::cancelAction()
{
    dropRunningParse();
    QDialog::reject();
}

void ImportFilesWindowController::reject()
{
    cancelAction();
}
