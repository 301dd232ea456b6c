#pragma once

#include <QDialog>

#include <memory>

class QFileDialog;
class QPrintDialog;
class QPrinter;

namespace Ui {
class EULA;
}

// The agreement viewer, from the "EULA" layout. The agreement text lives in the layout;
// every "##APPTITLE##" in it is replaced by the application title when the viewer is made.
// The text can be printed or saved as a PDF file.
class EULAWindowController : public QDialog {
    Q_OBJECT
public:
    explicit EULAWindowController(QWidget* parent = nullptr);
    ~EULAWindowController() override;

    // The outlets (headerLabel, descriptionTextView, printButton, saveAsButton, closeButton).
    Ui::EULA* ui() const { return m_ui.get(); }

    // The print settings shared by every print of the process.
    static QPrinter& sharedPrinter();

    // The suffix of the proposed file name, after the application title.
    static QString agreementFileSuffix() { return QStringLiteral(" End-User License Agreement"); }

public slots:
    // The print dialog over the text, window-modal on the viewer; prints when confirmed.
    void printAction();
    // A window-modal save dialog for a PDF file; see savePanelDidEnd.
    void saveAsAction();
    void closeAction();

public:
    // The end of the save dialog: with QDialog::Accepted writes the text as a PDF to
    // `fileName` (".pdf" appended unless it ends so), paginated; anything else writes nothing.
    // Answers whether a file was written.
    bool savePanelDidEnd(const QString& fileName, int returnCode);
    void printPanelDidEnd(int returnCode);

private:
    void awakeFromNib();

    std::unique_ptr<Ui::EULA> m_ui;
};
