#include "webpage.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTextCodec>
#include <QTimer>

CWebPage::CWebPage(QObject *parent) : QObject(parent), m_network(new QNetworkAccessManager(this))
{
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

CWebPage::~CWebPage()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

QString CWebPage::userAgentForUrl(const QUrl &)
{
    return QStringLiteral("Mozilla/5.0 (Windows NT 6.1; WOW64; rv:24.0) Gecko/20100101 Firefox/24.0");
}

void CWebPage::load(const QUrl &url)
{
    ++m_generation;
    if (m_reply) {
        QNetworkReply *old = m_reply;
        m_reply = nullptr;
        old->disconnect(this);
        old->abort();
        old->deleteLater();
    }
    m_url = url;
    m_body.clear();
    m_contentType.clear();
    m_document.reset();

    if (url.toString() == QLatin1String("about:blank"))
        return;
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != "http" && scheme != "https")) {
        failLater();
        return;
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgentForUrl(url));
    request.setRawHeader("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
    m_reply = m_network->get(request);
    connect(m_reply, &QNetworkReply::readyRead, this, &CWebPage::readBody);
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        readBody();
        if (m_reply)
            finish(m_reply->error() == QNetworkReply::NoError);
    });
}

void CWebPage::failLater()
{
    const quint64 generation = m_generation;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == m_generation)
            emit loadFinished(false);
    });
}

void CWebPage::readBody()
{
    if (!m_reply)
        return;
    m_url = m_reply->url();
    m_contentType = m_reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    const qint64 room = CHtmlDocument::maxBytes - m_body.size();
    if (room > 0) {
        const QByteArray chunk = m_reply->read(room);
        if (!chunk.isEmpty()) {
            m_body += chunk;
            m_document.reset();
        }
    }
    if (m_body.size() >= CHtmlDocument::maxBytes)
        finish(true); // the rest would be cut anyway
}

void CWebPage::finish(bool ok)
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    if (reply) {
        reply->disconnect(this);
        if (reply->isRunning())
            reply->abort();
        reply->deleteLater();
    }
    emit loadFinished(ok);
}

QByteArray CWebPage::decodedBody() const
{
    // The parser reads UTF-8; other encodings, named by the answer or by the page itself, are
    // converted first.
    QTextCodec *codec = nullptr;
    const qsizetype charsetAt = m_contentType.toLower().indexOf("charset=");
    if (charsetAt >= 0) {
        QByteArray name = m_contentType.mid(charsetAt + 8).trimmed();
        const qsizetype end = name.indexOf(';');
        if (end >= 0)
            name.truncate(end);
        codec = QTextCodec::codecForName(name.replace('"', "").replace('\'', "").trimmed());
    }
    if (!codec)
        codec = QTextCodec::codecForHtml(m_body, QTextCodec::codecForName("UTF-8"));
    if (!codec || codec->mibEnum() == 106) // UTF-8
        return m_body;
    return codec->toUnicode(m_body).toUtf8();
}

CWebElement CWebPage::documentElement()
{
    if (!m_document)
        m_document = CHtmlDocument::parse(decodedBody());
    return m_document->documentElement();
}
