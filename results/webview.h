#pragma once

#include <QWebEngineView>

class QDropEvent;

// The embedded browser's view. Files dropped on it go to the picture view instead of the page.
class CWebView : public QWebEngineView
{
    Q_OBJECT
public:
    explicit CWebView(QWidget *parent = nullptr);
    ~CWebView() override;

signals:
    void signalDrop(QDropEvent *e);

protected:
    void dropEvent(QDropEvent *e) override;
    // The engine's drops land on the view's focus-proxy child; they are caught there.
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;

private:
    void watchFocusProxy();
};
