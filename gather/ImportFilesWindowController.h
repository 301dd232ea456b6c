#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QAbstractButton;
class ImportFilesWindowControllerDelegate;

namespace Ui {
class ImportFiles;
}

// The import-list dialog, from the "ImportFiles" layout: a list of paths comes from a text
// file (file mode) or from typed or pasted text (text mode); the accepted, de-duplicated
// file URLs are kept in files() and handed to the delegate on Import. Shown window-modal
// on the main window. The parsing rules are parseImportList's (gather/ImportListParser.h).
class ImportFilesWindowController : public QDialog {
    Q_OBJECT
public:
    explicit ImportFilesWindowController(QWidget* parent = nullptr);
    ~ImportFilesWindowController() override;

    // The outlets: importFromFileBtn and importFromTextBtn (the mode radio buttons, tags 0
    // and 1), pasteFromClipboardBtn, importBtn, browseBtn, cancelBtn, importFile (path of the
    // list file), totalFilesFound (count label), importText (the typed or pasted paths).
    Ui::ImportFiles* ui() const { return m_ui.get(); }

    // Not owned; told when an import succeeds.
    ImportFilesWindowControllerDelegate* delegate() const { return m_delegate; }
    void setDelegate(ImportFilesWindowControllerDelegate* delegate) { m_delegate = delegate; }

    // The accepted extensions joined by ","; "" until the owner sets it.
    QString allowedTypes() const { return m_allowedTypes; }
    void setAllowedTypes(const QString& allowedTypes) { m_allowedTypes = allowedTypes; }

    // The result of the most recent parse: absolute file URLs in order of first appearance.
    const QList<QUrl>& files() const { return m_files; }

    // Empties the path, the text and files(), and shows the count 0. Keeps the mode.
    void resetView();

    // Empties files() and parses `text` into it on a worker thread, so that a long list never
    // holds up the window. When the result is in, files() and the count label show it and
    // `then` runs, on the main thread. A failure part-way is logged as
    // "Error in (parseText:) : reason" and keeps what was found up to then. A parse still
    // running is dropped by the next parse, resetView, a mode change or Cancel.
    void parseText(const QString& text, std::function<void()> then = {});
    // Puts `path` into the path field, then reads the file's UTF-8 text and parses it, both on
    // a worker thread. A file that cannot be read, is not valid UTF-8 or is not a regular file
    // (a pipe or device would never end) gives no entries.
    void parseFile(const QString& path, std::function<void()> then = {});
    // True while a parse runs; Import and paste wait for it to end.
    bool isParsing() const { return m_isParsing; }

    // The end of the file chooser: with QDialog::Accepted the last chosen path goes into the
    // path field; nothing is parsed.
    void openPanelDidEnd(const QStringList& paths, int returnCode);

    // Marks a key character of one of the dialog's buttons: with `occurrence` 1 the first
    // occurrence ignoring case, otherwise the last with exact case.
    void setButtonKeyCharacter(QAbstractButton* button, const QString& keyChar, const QColor& color, int occurrence);

    static QString countText(qsizetype count);

public slots:
    // Switches mode by the sender's "tag" (0 file mode, 1 text mode, anything else neither);
    // always empties the path and the text.
    void importMethodChanged(QAbstractButton* sender);
    void browseImportFileAction();
    // Replaces the text with the accepted paths of the clipboard's text; no text, no change.
    void pasetFromClipboardAction();
    // Validates, parses, hands files() to the delegate and closes; alerts keep it open.
    void importAction();
    // Closes without handing anything over.
    void cancelAction();

    void reject() override;

private:
    void awakeFromNib();
    void updateCount();
    QStringList acceptedTypes() const;
    void setTextViewActive(bool active);
    void showAlert(const QString& message);
    void startParse(std::function<QList<QUrl>()> work, std::function<void()> then);
    void dropRunningParse();

    std::unique_ptr<Ui::ImportFiles> m_ui;
    ImportFilesWindowControllerDelegate* m_delegate = nullptr;
    QString m_allowedTypes;
    QList<QUrl> m_files;
    // Counts parses, so that the result of a dropped one is recognised and ignored.
    quint64 m_parseGeneration = 0;
    bool m_isParsing = false;
};
