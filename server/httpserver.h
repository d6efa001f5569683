#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QUrl>
#include <functional>

class QTcpServer;
class QTcpSocket;

// A small HTTP/1.1 server on QTcpServer, for the recognition server and for the local stand-ins
// of the outside world that tests use. It reads one request per connection (request line, headers,
// a body by Content-Length up to a limit) and hands it to the handler, which answers through the
// request's socket: with respond() or, to misbehave on purpose in tests, by writing to it directly.
// Proxy-style requests (absolute targets) keep their host in url().
// It defends itself against clients that hog it: connections are limited in number (in all and
// per peer address), a request must arrive within a time limit (the headers within
// requestTimeout, the body within requestTimeout plus one second per minBodyRate bytes announced,
// and never a pause of requestTimeout), and the bodies being received may together announce at
// most maxBufferedBodies bytes. A client past a limit gets 503 or 408 and its connection is closed.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QByteArray method;
        QByteArray target;                      // as sent: a path or an absolute URL
        QUrl url;                               // absolute, host taken from the target or the Host header
        QList<QPair<QByteArray, QByteArray>> headers; // as sent, in order
        QByteArray body;
        QHostAddress peer;
        QTcpSocket *socket = nullptr;           // the connection; closed after respond()

        // First header of that name (case-insensitive), or empty.
        QByteArray header(const QByteArray &name) const;
        // How many headers of that name were sent.
        int headerCount(const QByteArray &name) const;
    };

    using Handler = std::function<void(Request &request)>;

    explicit HttpServer(Handler handler, QObject *parent = nullptr);
    ~HttpServer() override;

    struct Limits
    {
        int maxConnections = 512;
        int maxConnectionsPerPeer = 64;
        int requestTimeoutMs = 15000;
        qint64 minBodyRate = 32 * 1024;             // bytes per second
        qint64 maxBufferedBodies = 256 * 1024 * 1024;
    };

    // Largest body accepted; a longer one gets 413 without reaching the handler.
    void setMaxBodySize(qint64 bytes) { m_maxBodySize = bytes; }
    void setLimits(const Limits &limits) { m_limits = limits; }
    const Limits &limits() const { return m_limits; }

    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;
    QHostAddress address() const;
    // "127.0.0.1:port"
    QString hostAndPort() const;

    // Sends a complete response and closes the connection (its sending side once the answer is out, the rest once
    // the client has closed or after a short while).
    static void respond(QTcpSocket *socket, int status, const QByteArray &body,
                        const QByteArray &contentType = "text/html; charset=utf-8",
                        const QList<QPair<QByteArray, QByteArray>> &extraHeaders = {});
    static QByteArray reasonPhrase(int status);

signals:
    // Emitted for every request before the handler runs (logging, tests counting requests).
    void requestReceived(const QByteArray &method, const QUrl &url);
    // Emitted when the server itself answers an error status without calling the handler (headers
    // too large, malformed request line, bad or too large Content-Length, a limit reached, a
    // client too slow). Method and target are empty when the request line was not read.
    void requestRefused(const QByteArray &method, const QByteArray &target, int status);

private:
    struct Pending;
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void expire(QTcpSocket *socket, bool headersPhase);
    // Ends a request before the handler: answers the status, frees what the request held.
    void refuse(QTcpSocket *socket, int status, const QByteArray &text);
    void forget(QTcpSocket *socket);
    static void closeGently(QTcpSocket *socket);

    Handler m_handler;
    QTcpServer *m_server;
    qint64 m_maxBodySize = 32 * 1024 * 1024;
    Limits m_limits;
    QMap<QTcpSocket *, Pending *> m_pending;
    QHash<QHostAddress, int> m_connectionsPerPeer;
    int m_connectionCount = 0;
    qint64 m_bufferedBodies = 0;
};
