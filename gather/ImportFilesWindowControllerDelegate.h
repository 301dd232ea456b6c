#pragma once

class ImportFilesWindowController;

// Told by the import-list dialog when an import succeeds: at most once per press of Import,
// only when the parse found at least one entry, before the dialog closes. The receiver reads
// the dialog's files().
class ImportFilesWindowControllerDelegate {
public:
    virtual void ImportFilesWindowControllerDidFinish(ImportFilesWindowController* controller) = 0;

protected:
    ~ImportFilesWindowControllerDelegate() = default;
};
