#include "tepageitemhandle.h"

#include "display.h"
#include "tepageitem.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

namespace {

bool onLeftEdge(int p) { return p == CTEPageItemHandle::TopLeft || p == CTEPageItemHandle::BottomLeft || p == CTEPageItemHandle::Left; }
bool onRightEdge(int p) { return p == CTEPageItemHandle::TopRight || p == CTEPageItemHandle::Right || p == CTEPageItemHandle::BottomRight; }
bool onTopEdge(int p) { return p == CTEPageItemHandle::TopLeft || p == CTEPageItemHandle::Top || p == CTEPageItemHandle::TopRight; }
bool onBottomEdge(int p) { return p == CTEPageItemHandle::BottomRight || p == CTEPageItemHandle::Bottom || p == CTEPageItemHandle::BottomLeft; }

} // namespace

CTEPageItemHandle::CTEPageItemHandle(CTEPageItem *frame, int position, CDisplay *view, QPixmap *source)
    : QWidget(frame->parentWidget()), m_frame(frame), m_position(position), m_view(view), m_source(source)
{
    hide();
    setMouseTracking(true);
    if (position == Inside) {
        setAutoFillBackground(false);
        resize(frame->size());
        return;
    }
    setAutoFillBackground(true);
    setFixedSize(12, 12);
    static const Qt::CursorShape cursors[8] = {Qt::SizeFDiagCursor, Qt::SizeVerCursor, Qt::SizeBDiagCursor,
                                               Qt::SizeHorCursor,   Qt::SizeFDiagCursor, Qt::SizeVerCursor,
                                               Qt::SizeBDiagCursor, Qt::SizeHorCursor};
    setCursor(cursors[position]);
}

void CTEPageItemHandle::paintEvent(QPaintEvent *)
{
    if (m_position == Inside)
        return;
    QPainter painter(this);
    painter.setPen(Qt::blue);
    painter.drawRect(QRect(QPoint(0, 0), QPoint(width() - 2, height() - 2)));
}

void CTEPageItemHandle::mousePressEvent(QMouseEvent *event)
{
    if (event->buttons() == Qt::RightButton)
        emit signalContextMenu();
    event->accept();
    if (event->button() == Qt::LeftButton) {
        m_pressPoint = m_view->mapFromGlobal(event->globalPosition().toPoint());
        const QRect frame = m_frame->geometry();
        m_left0 = frame.left();
        m_top0 = frame.top();
        m_right0 = frame.right();
        m_bottom0 = frame.bottom();
    }
}

void CTEPageItemHandle::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    event->accept();
    const QPoint mouse = m_view->mapFromGlobal(event->globalPosition().toPoint());
    if (m_dragAnchor == QPoint(-1, -1))
        m_dragAnchor = mouse;
    if (m_position == Inside) {
        dragInside(mouse);
        return;
    }

    const QPoint d = mouse - m_pressPoint;
    const int viewWidth = m_view->width();
    const int viewHeight = m_view->height();
    int w = m_right0 - m_left0 + 1;
    int h = m_bottom0 - m_top0 + 1;
    if (onLeftEdge(m_position))
        w -= d.x();
    if (onRightEdge(m_position))
        w += d.x();
    if (onTopEdge(m_position))
        h -= d.y();
    if (onBottomEdge(m_position))
        h += d.y();

    // Too close to the view's far side: the handle stops following.
    if ((onLeftEdge(m_position) && mouse.x() > viewWidth - farSideMargin)
        || (onTopEdge(m_position) && mouse.y() > viewHeight - farSideMargin)
        || (onRightEdge(m_position) && mouse.x() < farSideMargin)
        || (onBottomEdge(m_position) && mouse.y() < farSideMargin))
        return;

    const QRect frame = m_frame->geometry();
    const int x = frame.x(), y = frame.y(), fw = frame.width(), fh = frame.height();
    switch (m_position) {
    case TopLeft: resizeWithOrigin(x + fw - w, y + fh - h, w, h); break;
    case Top: resizeWithOrigin(x, y + fh - h, fw, h); break;
    case TopRight: resizeWithOrigin(x, y + fh - h, w, h); break;
    case Right: resizeKeepOrigin(w, fh); break;
    case BottomRight: resizeKeepOrigin(w, h); break;
    case Bottom: resizeKeepOrigin(fw, h); break;
    case BottomLeft: resizeWithOrigin(x + fw - w, y, w, h); break;
    case Left: resizeWithOrigin(x + fw - w, y, w, fh); break;
    default: break;
    }
}

void CTEPageItemHandle::resizeKeepOrigin(int w, int h)
{
    const QSize shown = m_view->shownSize();
    const QPoint offset = m_view->pictureOffset();
    m_frame->setMaximumWidth(m_view->width() - offset.x() - m_frame->x());
    m_frame->setMaximumHeight(m_view->height() - offset.y() - m_frame->y());
    const int minW = int(minimumSide / (double(m_source->width()) / shown.width()));
    const int minH = int(minimumSide / (double(m_source->height()) / shown.height()));
    m_frame->resize(qMax(w, minW), qMax(h, minH));
}

void CTEPageItemHandle::resizeWithOrigin(int x, int y, int w, int h)
{
    const QSize shown = m_view->shownSize();
    const QPoint offset = m_view->pictureOffset();
    const int maxW = m_frame->x() - offset.x() + m_frame->width();
    const int maxH = m_frame->y() - offset.y() + m_frame->height();
    m_frame->setMaximumWidth(maxW);
    m_frame->setMaximumHeight(maxH);
    const int m = int(minimumSide / (double(m_source->width()) / shown.width()));
    const int newW = qMax(w, m);
    const int newH = qMax(h, m);
    if (newW > maxW || newH > maxH)
        return;
    if (w < m && x != m_frame->x())
        x = x + w - m;
    if (h < m && y != m_frame->y())
        y = y + h - m;
    m_frame->setGeometry(x, y, newW, newH);
}

void CTEPageItemHandle::dragInside(const QPoint &mouse)
{
    const QSize shown = m_view->shownSize();
    const QPoint offset = m_view->pictureOffset();
    int x = this->x() + (mouse.x() - m_dragAnchor.x()) - 3;
    int y = this->y() + (mouse.y() - m_dragAnchor.y()) - 3;
    const int maxX = offset.x() + shown.width() - m_frame->width();
    const int maxY = offset.y() + shown.height() - m_frame->height();
    if (x > maxX)
        x = maxX;
    else if (x < offset.x())
        x = offset.x();
    if (y > maxY)
        y = maxY;
    else if (y < offset.y())
        y = offset.y();
    m_frame->move(x, y);
    emit signalUpdateGeometry();
}

void CTEPageItemHandle::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_position == Inside) {
        m_dragAnchor = QPoint(-1, -1);
        move(m_frame->x() + 3, m_frame->y() + 3);
    }
    if (event->button() == Qt::LeftButton) {
        emit signalMouseReleaseEvent();
        event->accept();
    }
}
