#include "webview.h"

#include <QChildEvent>
#include <QDropEvent>

CWebView::CWebView(QWidget *parent) : QWebEngineView(parent)
{
    setAcceptDrops(true);
    watchFocusProxy();
}

CWebView::~CWebView() = default;

void CWebView::dropEvent(QDropEvent *e)
{
    emit signalDrop(e);
}

void CWebView::watchFocusProxy()
{
    if (QWidget *proxy = focusProxy()) {
        proxy->removeEventFilter(this);
        proxy->installEventFilter(this);
    }
}

bool CWebView::event(QEvent *event)
{
    // The engine makes its render widget when the page first shows; watch it once it exists.
    if (event->type() == QEvent::ChildPolished)
        watchFocusProxy();
    return QWebEngineView::event(event);
}

bool CWebView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == focusProxy()) {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove:
            static_cast<QDropEvent *>(event)->acceptProposedAction();
            return true;
        case QEvent::Drop:
            emit signalDrop(static_cast<QDropEvent *>(event));
            return true;
        default:
            break;
        }
    }
    return QWebEngineView::eventFilter(watched, event);
}
