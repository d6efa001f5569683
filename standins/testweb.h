#pragma once

#include "server/httpserver.h"

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QList>
#include <QMap>
#include <QNetworkProxy>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>

class HostConfig;
class QTcpSocket;

// The stamp sites, on 127.0.0.1, for the tests and the demo. One HTTP server answers for every site host: it serves search
// result pages and offer pages shaped like each site's (the elements and attributes the parsers
// read, among navigation, scripts, adverts, comments and nested tables), the pictures they point
// to, and raw pages a test sets. It also works as an HTTP proxy (absolute request targets, routed
// by host), so clients keep real-looking host names ("www.ebay.test") through useAsProxy().
// It can misbehave on demand and records every request it saw.
//
//     TestWeb web;
//     web.start();
//     web.useAsProxy();                      // this process's requests go to the test web
//     web.configureHosts();                  // HostConfig::global() names the test web's hosts
//     web.setStamps(TestWeb::Ebay, {{"s1"}, {"s2"}});
//     CEbayCom().searchByNumber(...)          // -> pageUrl(Ebay, "s1"), pictureUrl(Ebay, "s1"), ...
class TestWeb : public QObject
{
    Q_OBJECT
public:
    enum Site { Ebay, Delcampe, Bidstart, Colnect, Poppe };

    // A stamp on offer. Its id (letters, digits and "_") names its pages and pictures; its
    // picture addresses serve picture as JPEG, or a picture drawn from the id when it is null.
    struct Stamp
    {
        QString id;
        QImage picture = {};
    };

    enum class Behaviour {
        Normal,
        Stall, // headers and the first prefixBytes of the body, then nothing (connection kept open)
        Drip,  // headers and the first prefixBytes, then one byte a second
    };

    struct SeenRequest
    {
        QByteArray method;
        QByteArray target; // as sent: absolute when it came as a proxy request
        QUrl url;          // absolute
        QByteArray userAgent;
    };

    using Handler = std::function<bool(HttpServer::Request &request)>;

    explicit TestWeb(QObject *parent = nullptr);
    ~TestWeb() override; // restores the application proxy if useAsProxy() changed it

    bool start();
    quint16 port() const;
    QString hostAndPort() const; // "127.0.0.1:port"

    // The test web's name for a host configuration key: "ebay" -> "www.ebay.test", ...
    static QString hostName(const QString &key);
    // The host of a site's search and offer pages.
    static QString siteHost(Site site);
    // Sets every site key (and "search_engine") of config to the test web's names.
    static void configureHosts(HostConfig &config);
    static void configureHosts();
    // The global configuration of a whole search: the sites through this web as proxy, its search
    // engine reached directly, and the given recognition server.
    void configureSearch(const QString &recognition) const;
    // Routes this process's requests through the test web (QNetworkProxy::setApplicationProxy).
    void useAsProxy();
    // The same for every host but loopback addresses, which are reached directly: for tests that
    // also talk to servers of their own on 127.0.0.1. The web engine does not follow it.
    void useAsProxyExceptLoopback();

    // Every search on the site lists these stamps, in order (a stamp listed twice shows twice);
    // with forRequest, only searches whose URL it accepts (entries added later are asked first).
    // The first unconditional list also fills the site's offer pages ("similar items").
    void setStamps(Site site, const QList<Stamp> &stamps,
                   std::function<bool(const QUrl &)> forRequest = {});
    // Demo stamp n as the sites' searches for its keywords find it: Delcampe's and eBay's by
    // "Demoland+n", Colnect's by its catalogue code.
    void offerDemoStamp(int n, const QList<Stamp> &delcampe, const QList<Stamp> &colnect, const QList<Stamp> &ebay);
    void clearStamps();
    // The addresses a site's parser reports for a stamp.
    static QString pageUrl(Site site, const QString &id);
    static QString pictureUrl(Site site, const QString &id);
    // The result page the site serves for these stamps.
    static QByteArray resultPage(Site site, const QList<Stamp> &stamps);
    // A stamp-like picture drawn from the id (same id, same picture).
    static QImage drawStamp(const QString &id, QSize size = QSize(200, 240));
    // Misbehaviours for a handler: a picture body without end, written as fast as it is taken;
    // a PNG whose header alone declares width by height (a decompression bomb).
    static void sendEndlessBody(QTcpSocket *socket);
    static QByteArray pngDeclaring(int width, int height);

    // Makes the pictures of stamps listed without one, from their id (a null image: drawn as above).
    void setPictureSource(std::function<QImage(const QString &id)> source) { m_pictureSource = std::move(source); }

    // Serves body for exactly this URL (scheme, host, path and query).
    void setPage(const QString &url, const QByteArray &body,
                 const QByteArray &contentType = "text/html; charset=utf-8");
    // Asked first for every request to host; answers and returns true, or returns false.
    void addHandler(const QString &host, Handler handler);
    void removeHandlers(const QString &host);
    // How page answers (not pictures) from host are sent.
    void setBehaviour(const QString &host, Behaviour behaviour, qint64 prefixBytes = 0);

    QList<SeenRequest> requests() const { return m_requests; }
    // Requests seen for host, or all of them for an empty host.
    int requestCount(const QString &host = QString()) const;
    void clearRequests() { m_requests.clear(); }

private:
    struct StampList
    {
        QList<Stamp> stamps;
        std::function<bool(const QUrl &)> forRequest;
    };
    struct RawPage
    {
        QByteArray body;
        QByteArray contentType;
    };
    struct Misbehaviour
    {
        Behaviour behaviour = Behaviour::Normal;
        qint64 prefixBytes = 0;
    };

    void handle(HttpServer::Request &request);
    bool servePicture(HttpServer::Request &request);
    bool serveSitePage(HttpServer::Request &request);
    void sendPage(HttpServer::Request &request, int status, const QByteArray &body,
                  const QByteArray &contentType = "text/html; charset=utf-8");
    QList<Stamp> stampsFor(Site site, const QUrl &url) const;
    QImage pictureOf(const QString &id) const;

    HttpServer *m_server;
    QMap<Site, QList<StampList>> m_stamps;
    QHash<QString, RawPage> m_pages;
    QMultiHash<QString, Handler> m_handlers;
    QHash<QString, Misbehaviour> m_behaviours;
    QList<SeenRequest> m_requests;
    std::function<QImage(const QString &)> m_pictureSource;
    bool m_proxySet = false;
    bool m_factorySet = false;
    QNetworkProxy m_previousProxy;
};
