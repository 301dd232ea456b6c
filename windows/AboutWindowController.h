#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class About;
}

// The About window, from the "About" layout, filled when it is made: icon, title and
// version, greeting, support address as a mail link, copyright.
class AboutWindowController : public QDialog {
    Q_OBJECT
public:
    explicit AboutWindowController(QWidget* parent = nullptr);
    ~AboutWindowController() override;

    // The outlets (logoImage, titleLabel, headerLabel, copyrightLabel, emailLink, okButton).
    Ui::About* ui() const { return m_ui.get(); }

public slots:
    void okAction();

private:
    void awakeFromNib();

    std::unique_ptr<Ui::About> m_ui;
};
