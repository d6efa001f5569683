#pragma once

#include <QUrl>
#include <QWidget>

class CWebView;
class QDropEvent;
class QHBoxLayout;
class QLineEdit;
class QSlider;
class QToolButton;
class QVBoxLayout;
class QWebPageFirefox;

// The browser of the "Browser" tab: a web view above a bar with back and forward, an address line
// and a zoom slider. It opens web pages only; local files and other schemes are never loaded.
class CWebBrowser : public QWidget
{
    Q_OBJECT
public:
    explicit CWebBrowser(QWidget *parent = nullptr);
    ~CWebBrowser() override;

    CWebView *view() const { return m_view; }
    QLineEdit *urlEdit() const { return m_urlEdit; }
    QSlider *zoomSlider() const { return m_zoomSlider; }
    QToolButton *backButton() const { return m_backButton; }
    QToolButton *forwardButton() const { return m_forwardButton; }

    // The address a text of the address line or of a caller stands for; an invalid URL for
    // anything that is not an http or https address.
    static QUrl addressFor(const QString &text, bool typed);

signals:
    void signalDrop(QDropEvent *e);

public slots:
    void slotScaled(int value);
    void slotUpdateUrlEdit(const QUrl &url);
    void slotOpenUrl(const QString &url = QString());

private:
    void updateNavigation();

    QVBoxLayout *m_layout;
    CWebView *m_view;
    QWidget *m_toolbar;
    QHBoxLayout *m_toolbarLayout;
    QToolButton *m_backButton;
    QToolButton *m_forwardButton;
    QLineEdit *m_urlEdit;
    QSlider *m_zoomSlider;
    QWebPageFirefox *m_page;
};
