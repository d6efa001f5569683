#include "tepageitem.h"

#include "tepageitemhandle.h"

#include <QPainter>

CTEPageItem::CTEPageItem(QWidget *parent, CDisplay *view, QPixmap *source) : QWidget(parent)
{
    setAutoFillBackground(false);
    for (int position = 0; position < HandleCount; ++position) {
        auto *handle = new CTEPageItemHandle(this, position, view, source);
        m_handles[position] = handle;
        connect(handle, &CTEPageItemHandle::signalMouseReleaseEvent, this, &CTEPageItem::signalMouseReleaseEvent);
        connect(handle, &CTEPageItemHandle::signalContextMenu, this, &CTEPageItem::signalContextMenu);
    }
    connect(m_handles[CTEPageItemHandle::Inside], &CTEPageItemHandle::signalUpdateGeometry, this,
            &CTEPageItem::slotUpdateGeometry);
}

CTEPageItem::~CTEPageItem()
{
    for (CTEPageItemHandle *handle : m_handles)
        delete handle;
}

void CTEPageItem::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    update();
    for (CTEPageItemHandle *handle : m_handles) {
        handle->setVisible(selected);
        if (selected)
            handle->raise();
    }
}

void CTEPageItem::updateHandles()
{
    const int x = this->x();
    const int y = this->y();
    const int w = width();
    const int h = height();
    const int r = x + w - 1;
    const int b = y + h - 1;
    const QPoint places[8] = {{x - 6, y - 6},         {x + w / 2 - 6, y - 6}, {r - 5, y - 6},
                              {r - 5, y + h / 2 - 6}, {r - 5, b - 5},         {x + w / 2 - 6, b - 5},
                              {x - 6, b - 5},         {x - 6, y + h / 2 - 6}};
    for (int position = 0; position < 8; ++position)
        m_handles[position]->move(places[position]);
    CTEPageItemHandle *inside = m_handles[CTEPageItemHandle::Inside];
    if (!inside->dragging())
        inside->setGeometry(x + 3, y + 3, w - 6, h - 6);
}

void CTEPageItem::slotUpdateGeometry()
{
    updateHandles();
}

void CTEPageItem::resizeEvent(QResizeEvent *)
{
    updateHandles();
}

void CTEPageItem::moveEvent(QMoveEvent *)
{
    // Keeps the handles on the frame whoever moves it; a drag of the inside handle leaves that
    // handle where the drag began.
    updateHandles();
}

void CTEPageItem::paintEvent(QPaintEvent *)
{
    if (!m_selected)
        return;
    QPainter painter(this);
    QPen pen(QColor(255, 50, 50, 255), 2, Qt::DashLine);
    painter.setPen(pen);
    painter.drawRect(QRect(QPoint(1, 1), QPoint(width() - 2, height() - 2)));
}
