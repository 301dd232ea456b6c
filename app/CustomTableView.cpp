#include "app/CustomTableView.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>

CustomTableView::CustomTableView(QWidget* parent) : QTableView(parent) {}

void CustomTableView::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        emit copyKeyPressed();
        return;
    }
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

void CustomTableView::setDropHandlers(DropValidator validate, DropAcceptor accept)
{
    m_validateDrop = std::move(validate);
    m_acceptDrop = std::move(accept);
}

bool CustomTableView::mayDrop(const QDropEvent* event) const
{
    return m_validateDrop && m_validateDrop(event->mimeData(), event->source());
}

void CustomTableView::setDropHighlighted(bool highlighted)
{
    if (m_dropHighlighted == highlighted)
        return;
    m_dropHighlighted = highlighted;
    viewport()->update();
}

// The item view's own drag handling targets rows and gaps between them; a drop here always
// targets the list as a whole, so these handlers replace it entirely.
void CustomTableView::dragEnterEvent(QDragEnterEvent* event)
{
    dragMoveEvent(event);
}

void CustomTableView::dragMoveEvent(QDragMoveEvent* event)
{
    // Asked again on every move: a job may have started since the drag entered.
    if (!mayDrop(event)) {
        setDropHighlighted(false);
        event->ignore();
        return;
    }
    setDropHighlighted(true);
    event->setDropAction(Qt::CopyAction);
    event->accept(viewport()->rect());
}

void CustomTableView::dragLeaveEvent(QDragLeaveEvent* event)
{
    setDropHighlighted(false);
    event->accept();
}

void CustomTableView::dropEvent(QDropEvent* event)
{
    setDropHighlighted(false);
    if (!mayDrop(event) || !m_acceptDrop || !m_acceptDrop(event->mimeData())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void CustomTableView::paintEvent(QPaintEvent* event)
{
    QTableView::paintEvent(event);
    if (!m_dropHighlighted)
        return;
    QPainter painter(viewport());
    QPen pen(palette().color(QPalette::Highlight));
    pen.setWidth(3);
    painter.setPen(pen);
    painter.drawRect(viewport()->rect().adjusted(1, 1, -2, -2));
}
