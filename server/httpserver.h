#pragma once

#include <QByteArray>
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

    // Largest body accepted; a longer one gets 413 without reaching the handler.
    void setMaxBodySize(qint64 bytes) { m_maxBodySize = bytes; }

    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;
    QHostAddress address() const;
    // "127.0.0.1:port"
    QString hostAndPort() const;

    // Sends a complete response and closes the connection.
    static void respond(QTcpSocket *socket, int status, const QByteArray &body,
                        const QByteArray &contentType = "text/html; charset=utf-8",
                        const QList<QPair<QByteArray, QByteArray>> &extraHeaders = {});
    static QByteArray reasonPhrase(int status);

signals:
    // Emitted for every request before the handler runs (logging, tests counting requests).
    void requestReceived(const QByteArray &method, const QUrl &url);
    // Emitted when the server itself answers an error status without calling the handler (headers
    // too large, malformed request line, bad or too large Content-Length). Method and target are
    // empty when the request line was not read.
    void requestRefused(const QByteArray &method, const QByteArray &target, int status);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);

    struct Pending;
    Handler m_handler;
    QTcpServer *m_server;
    qint64 m_maxBodySize = 32 * 1024 * 1024;
    QMap<QTcpSocket *, Pending *> m_pending;
};
