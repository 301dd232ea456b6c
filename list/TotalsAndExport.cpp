// The controller's totals line and export.

#include "app/FolimeterAppDelegate.h"

#include "app/Platform.h"
#include "app/Utilities.h"
#include "list/Exporter.h"
#include "list/Totals.h"
#include "ui_MainWindow.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMessageBox>

#include <exception>

void FolimeterAppDelegate::updateTotalLabel()
{
    try {
        m_ui->labelTotalTIFFPages->setText(totalPagesText(pageTotals(m_files)));
        const std::vector<qsizetype> rows = selectedRows();
        m_ui->labelTotalFiles->setText(
            totalFilesText(m_files.size(), qsizetype(rows.size()), pageTotals(m_files, rows)));
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(updateTotalLabel:)"), QString::fromUtf8(e.what()));
    }
    m_ui->labelTotalFiles->repaint();
}

void FolimeterAppDelegate::updateTotalPagesLabel()
{
    try {
        m_ui->labelTotalTIFFPages->setText(totalPagesText(pageTotals(m_files)));
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(updateTotalPagesLabel:)"), QString::fromUtf8(e.what()));
    }
}

void FolimeterAppDelegate::exportAction()
{
    endEditing();
    const QString name = exporter::defaultFileName(QDateTime::currentDateTime());
    auto* dialog = new QFileDialog(m_window.get(), QStringLiteral("Export List To Tab Delimited Text File :"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("Text files (*.txt)"));
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    dialog->selectFile(name);
    connect(dialog, &QFileDialog::finished, this, [this, dialog](int result) {
        if (result == QDialog::Accepted && !dialog->selectedFiles().isEmpty())
            exportToFile(dialog->selectedFiles().constFirst());
    });
    dialog->open();
}

bool FolimeterAppDelegate::exportToFile(const QString& path)
{
    try {
        QString error;
        if (exporter::writeToFile(m_files, path, &error))
            return true;
        // A failed write is never silent; the old file, if any, is still in place.
        const QString message = tr("The list could not be exported to \"%1\": %2").arg(path, error);
        if (showAlert)
            showAlert(message);
        else
            QMessageBox::warning(m_window.get(), getAppTitle(QString("")), message);
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(export)"), QString::fromUtf8(e.what()));
    }
    return false;
}

void FolimeterAppDelegate::copyAction()
{
    try {
        std::vector<FileItemPtr> items;
        for (const qsizetype row : selectedRows()) {
            if (row < m_files.size())
                items.push_back(m_files.at(row));
        }
        if (items.empty())
            return;
        // The clipboard holds Unicode text: a name's byte that is not UTF-8 reads as U+FFFD.
        QGuiApplication::clipboard()->setText(QString::fromUtf8(exporter::encode(items)));
    } catch (const std::exception& e) {
        platform::logError(QStringLiteral("(copy:)"), QString::fromUtf8(e.what()));
    }
}
