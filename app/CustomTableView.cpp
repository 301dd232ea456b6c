#include "app/CustomTableView.h"

#include <QContextMenuEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>

CustomTableView::CustomTableView(QWidget* parent) : QTableView(parent) {}

void CustomTableView::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Space:
        QTableView::keyPressEvent(event);
        return;
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
        emit removeKeyPressed();
        return;
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (event->modifiers() & Qt::ControlModifier) {
            emit reorderKeyPressed(event);
            return;
        }
        break;
    default:
        break;
    }
    QTableView::keyPressEvent(event);
}

void CustomTableView::contextMenuEvent(QContextMenuEvent* event)
{
    // Only a right-button press over a non-empty selection offers the menu.
    const bool hasSelection = selectionModel() && selectionModel()->hasSelection();
    if (event->reason() != QContextMenuEvent::Mouse || !hasSelection || !m_contextMenu) {
        event->ignore();
        return;
    }
    m_contextMenu->popup(event->globalPos());
    event->accept();
}
