#include "display.h"

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPixmap>

CDisplay::CDisplay(QWidget *parent) : QLabel(parent)
{
    setAcceptDrops(true);
}

QSize CDisplay::shownSize() const
{
    const QPixmap shown = pixmap();
    return shown.isNull() ? QSize(0, 0) : shown.size();
}

QPoint CDisplay::pictureOffset() const
{
    const QSize shown = shownSize();
    return {(width() - shown.width()) / 2, (height() - shown.height()) / 2};
}

bool CDisplay::acceptedDropPath(const QString &path)
{
    // The bare ending counts; no dot is needed.
    for (const char *ending : {"bmp", "gif", "png", "jpg", "jpeg"}) {
        if (path.endsWith(QLatin1String(ending), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void CDisplay::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CDisplay::dragMoveEvent(QDragMoveEvent *event)
{
    event->acceptProposedAction();
}

void CDisplay::dragLeaveEvent(QDragLeaveEvent *event)
{
    event->accept();
}

void CDisplay::dropEvent(QDropEvent *event)
{
    event->acceptProposedAction();
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls) {
        const QString path = url.toLocalFile();
        if (!path.isEmpty() && acceptedDropPath(path)) {
            emit signalOutUrl(path);
            return;
        }
    }
}

void CDisplay::slotDropOverboard(QDropEvent *event)
{
    dropEvent(event);
}

void CDisplay::mousePressEvent(QMouseEvent *event)
{
    if (event->buttons() == Qt::RightButton)
        emit signalContextMenu();
    else if (event->button() == Qt::LeftButton)
        emit signalClicked(event->position().toPoint());
}
