#pragma once

#include "list/SortDescriptor.h"

#include <QMenu>
#include <QPointer>
#include <QTableView>

#include <functional>

class QMimeData;

// The file list's table. Offers its context menu on a right-button press with at least one
// row selected, and hands the list's own keys (Delete, Backspace, Ctrl+Up, Ctrl+Down, Copy)
// to its owner through signals. It keeps the list's sort descriptors, and as a drop target it
// asks its owner whether a drag may be dropped and to take a drop; an accepted drag
// highlights the whole table, never a row or a gap between rows.
class CustomTableView : public QTableView {
    Q_OBJECT
public:
    explicit CustomTableView(QWidget* parent = nullptr);

    QMenu* contextMenu() const { return m_contextMenu; }
    void setContextMenu(QMenu* menu) { m_contextMenu = menu; }

    const SortDescriptors& sortDescriptors() const { return m_sortDescriptors; }
    void setSortDescriptors(const SortDescriptors& descriptors) { m_sortDescriptors = descriptors; }

    // `validate` answers whether a drag carrying `data`, started from `source` (null for
    // other applications), may be dropped; `accept` takes a drop and answers whether it did.
    using DropValidator = std::function<bool(const QMimeData* data, const QObject* source)>;
    using DropAcceptor = std::function<bool(const QMimeData* data)>;
    void setDropHandlers(DropValidator validate, DropAcceptor accept);

    // True while an accepted drag is over the table.
    bool isDropHighlighted() const { return m_dropHighlighted; }

signals:
    // Delete or Backspace, whatever modifiers are held.
    void removeKeyPressed();
    // Ctrl+Up or Ctrl+Down; the event is handed on as it came.
    void reorderKeyPressed(QKeyEvent* event);
    // The Copy key (Ctrl+C), in place of the item view's copy of the current cell alone.
    void copyKeyPressed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool mayDrop(const QDropEvent* event) const;
    void setDropHighlighted(bool highlighted);

    QPointer<QMenu> m_contextMenu; // not owned
    SortDescriptors m_sortDescriptors;
    DropValidator m_validateDrop;
    DropAcceptor m_acceptDrop;
    bool m_dropHighlighted = false;
};
