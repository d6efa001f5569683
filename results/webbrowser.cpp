#include "webbrowser.h"

#include "webview.h"
#include "style/stylesheets.h"
#include "sites/webpagefirefox.h"

#include <QDropEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEngineSettings>

namespace {

const char navigationStyle[] =
    "QToolButton {background: none; border: 0px; border-radius: 5px; background-color: qlineargradient(x1:0, "
    "y1:0, x0:1, y1:1, stop:0 #52afd3, stop:0.6 #71c5eb, stop:0.6 #71c5eb, stop:1 #71c5eb); color: white; "
    "font-weight: bold;} QToolButton:hover { background-color: qlineargradient(x1:0, y1:0, x0:1, y1:1, stop:0 "
    "#72c6eb, stop:0.4 #a1dbf5, stop:1 #a1dbf5); } QToolButton:pressed { background-color: "
    "qlineargradient(x1:0, y1:0, x0:1, y1:1, stop:0 #85c5eb, stop:0.4 #71c5eb, stop:1 #52abd3); } "
    "QToolButton:disabled { background-color: qlineargradient(x1:0, y1:0, x0:1, y1:1, stop:0 #c4cacc, "
    "stop:0.6 #e2e4e5, stop:1 #e5e6e7); }";

} // namespace

CWebBrowser::CWebBrowser(QWidget *parent) : QWidget(parent)
{
    m_layout = new QVBoxLayout(this);
    m_layout->setObjectName("verticalLayout");
    m_layout->setSpacing(0);
    m_layout->setContentsMargins(0, 0, 0, 0);

    m_page = new QWebPageFirefox;
    m_view = new CWebView(this);
    connect(m_view, &CWebView::signalDrop, this, &CWebBrowser::signalDrop);
    m_view->setPage(m_page);
    QWebEngineSettings *settings = m_view->settings();
    settings->setAttribute(QWebEngineSettings::AutoLoadImages, true);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, true);
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    connect(m_view, &QWebEngineView::urlChanged, this, &CWebBrowser::slotUpdateUrlEdit);
    // The engine may announce the new address before its history holds the entry; the buttons are
    // brought up to date again when the load ends.
    connect(m_view, &QWebEngineView::loadFinished, this, &CWebBrowser::updateNavigation);
    m_layout->addWidget(m_view);

    m_toolbar = new QWidget(this);
    m_toolbar->setObjectName("widget");
    m_toolbar->setMinimumSize(0, 40);
    m_toolbar->setMaximumSize(16777215, 40);
    m_toolbarLayout = new QHBoxLayout(m_toolbar);
    m_toolbarLayout->setObjectName("horizontalLayout");
    m_toolbarLayout->setSpacing(10);
    m_toolbarLayout->setContentsMargins(6, 10, 6, 0);

    const auto navigationButton = [this](const char *name, const char *text) {
        auto *button = new QToolButton(m_toolbar);
        button->setObjectName(name);
        button->setStyleSheet(QString::fromLatin1(navigationStyle));
        button->setMinimumSize(30, 30);
        button->setText(QString::fromLatin1(text));
        button->setEnabled(false);
        return button;
    };
    m_backButton = navigationButton("toolButton", "<");
    m_forwardButton = navigationButton("toolButton_2", ">");
    connect(m_backButton, &QToolButton::clicked, m_view, &QWebEngineView::back);
    connect(m_forwardButton, &QToolButton::clicked, m_view, &QWebEngineView::forward);

    m_urlEdit = new QLineEdit(m_toolbar);
    m_urlEdit->setObjectName("lineEdit");
    m_urlEdit->setMinimumSize(0, 25);
    connect(m_urlEdit, &QLineEdit::returnPressed, this, [this] { slotOpenUrl(); });

    m_zoomSlider = new QSlider(m_toolbar);
    m_zoomSlider->setObjectName("horizontalSlider");
    m_zoomSlider->setStyleSheet(
        QStringLiteral("QSlider:horizontal {} QSlider::groove:horizontal {background: qlineargradient(x1:0, y1:0, "
                       "x0:1, y1:1, stop:0 #255680, stop:0.75 #57c2ee, stop:1 #49a8dc); margin: 16px 0px 16px 0px; "
                       "height: 4px;} QSlider::handle:horizontal {background-image: url(")
        + CStyleSheets::resource(QStringLiteral("slider_button.png"))
        + QStringLiteral("); width: 13px; margin: -10px 0px -10px 0px; } QSlider::handle:hover {} "
                         "QSlider::handle:pressed {}"));
    m_zoomSlider->setMinimumSize(200, 24);
    m_zoomSlider->setMaximumSize(200, 16777215);
    m_zoomSlider->setOrientation(Qt::Horizontal);
    m_zoomSlider->setRange(40, 110);
    m_zoomSlider->setValue(90);
    connect(m_zoomSlider, &QSlider::valueChanged, this, &CWebBrowser::slotScaled);

    m_toolbarLayout->addWidget(m_backButton);
    m_toolbarLayout->addWidget(m_forwardButton);
    m_toolbarLayout->addWidget(m_urlEdit);
    m_toolbarLayout->addWidget(m_zoomSlider);
    m_layout->addWidget(m_toolbar);
}

CWebBrowser::~CWebBrowser()
{
    // The page goes before the view that shows it.
    m_view->setPage(nullptr);
    delete m_page;
}

void CWebBrowser::slotScaled(int value)
{
    m_view->setZoomFactor((value + 10) / 100.0);
}

void CWebBrowser::updateNavigation()
{
    m_backButton->setEnabled(m_view->history()->canGoBack());
    m_forwardButton->setEnabled(m_view->history()->canGoForward());
}

void CWebBrowser::slotUpdateUrlEdit(const QUrl &url)
{
    updateNavigation();
    m_urlEdit->setText(url.toString());
    m_urlEdit->setCursorPosition(0);
}

QUrl CWebBrowser::addressFor(const QString &text, bool typed)
{
    QString address = text;
    if (typed && !address.startsWith(QLatin1String("http://")) && !address.startsWith(QLatin1String("https://"))
        && !address.startsWith(QLatin1String("file:///")))
        address.prepend(QLatin1String("http://"));
    // Escapes are decoded, so "a%20b" reads as "a b"; the tolerant parse then writes the blank
    // back as an escape on the wire instead of refusing the address.
    const QString decoded = QUrl::fromPercentEncoding(address.trimmed().toUtf8());
    const QUrl url(decoded, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return QUrl();
    return url;
}

void CWebBrowser::slotOpenUrl(const QString &url)
{
    const bool typed = url.isEmpty();
    const QUrl address = addressFor(typed ? m_urlEdit->text() : url, typed);
    if (address.isValid())
        m_view->setUrl(address);
}
