#pragma once

#include "model/FileItem.h"

#include <QDialog>

#include <memory>

namespace Ui {
class FilePropertiesDialog;
}

// A file's properties when the desktop offers no file manager to show them: name, folder,
// type, size, pages and the three dates, read when the window is made. Deletes itself
// when closed.
class FilePropertiesDialog : public QDialog {
    Q_OBJECT
public:
    explicit FilePropertiesDialog(const FileItem& item, QWidget* parent = nullptr);
    ~FilePropertiesDialog() override;

    Ui::FilePropertiesDialog* ui() const { return m_ui.get(); }

private:
    std::unique_ptr<Ui::FilePropertiesDialog> m_ui;
};
