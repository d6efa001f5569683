#pragma once

#include "htmldocument.h"
#include "webelement.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// The hidden page the site parsers load their result pages into. It fetches the HTML alone (no
// pictures, scripts or plug-ins: a page without scripts is its parsed HTML) with an HTTP GET that
// follows redirects and reports the fixed desktop-browser user agent, and parses whatever has
// arrived when the document element is asked for, so a page that never finishes can still be
// walked. Bodies longer than CHtmlDocument::maxBytes end the load there.
class CWebPage : public QObject
{
    Q_OBJECT
public:
    explicit CWebPage(QObject *parent = nullptr);
    ~CWebPage() override;

    // The user agent every page request reports, whatever the URL.
    static QString userAgentForUrl(const QUrl &url);

    // Starts loading url, dropping the document and any load still running. "about:blank" loads
    // the empty page at once, without a signal; other schemes than http and https fail.
    void load(const QUrl &url);
    // Where the page ended up after redirects (the requested URL until the answer arrives).
    QUrl url() const { return m_url; }
    // The root of the document as parsed from what has arrived so far; never null.
    CWebElement documentElement();
    qsizetype bytesReceived() const { return m_body.size(); }

signals:
    // The load ended: the answer arrived complete (ok true), failed, or grew past the size bound
    // (then ok is true and the document holds the part before it).
    void loadFinished(bool ok);

private:
    void readBody();
    void finish(bool ok);
    void failLater();
    QByteArray decodedBody() const;

    QNetworkAccessManager *m_network;
    QPointer<QNetworkReply> m_reply;
    QUrl m_url;
    QByteArray m_body;
    QByteArray m_contentType;
    QSharedPointer<CHtmlDocument> m_document; // parse of m_body, null when stale
    quint64 m_generation = 0;                 // tells a stale queued failure from a live one
};
