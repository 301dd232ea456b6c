#pragma once

#include <QMenu>
#include <QPointer>
#include <QTableView>

// The file list's table. Offers its context menu on a right-button press with at least one
// row selected, and hands the list's own keys (Delete, Backspace, Ctrl+Up, Ctrl+Down) to
// its owner through signals.
class CustomTableView : public QTableView {
    Q_OBJECT
public:
    explicit CustomTableView(QWidget* parent = nullptr);

    QMenu* contextMenu() const { return m_contextMenu; }
    void setContextMenu(QMenu* menu) { m_contextMenu = menu; }

signals:
    // Delete or Backspace, whatever modifiers are held.
    void removeKeyPressed();
    // Ctrl+Up or Ctrl+Down; the event is handed on as it came.
    void reorderKeyPressed(QKeyEvent* event);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QPointer<QMenu> m_contextMenu; // not owned
};
