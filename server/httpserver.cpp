#include "httpserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {
constexpr qint64 maxHeaderSize = 64 * 1024;
constexpr int lingerMs = 2000;
}

struct HttpServer::Pending
{
    QByteArray buffer;
    qsizetype scanned = 0;      // how far the search for the end of the headers got
    bool headersDone = false;
    qint64 bodyLength = 0;      // counted in m_bufferedBodies once the headers are read
    QTimer *idle = nullptr;     // restarted by every byte that arrives
    Request request;
};

QByteArray HttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

int HttpServer::Request::headerCount(const QByteArray &name) const
{
    int count = 0;
    for (const auto &entry : headers)
        count += entry.first.compare(name, Qt::CaseInsensitive) == 0;
    return count;
}

HttpServer::HttpServer(Handler handler, QObject *parent)
    : QObject(parent), m_handler(std::move(handler)), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
}

HttpServer::~HttpServer()
{
    qDeleteAll(m_pending);
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
    return m_server->listen(address, port);
}

quint16 HttpServer::port() const
{
    return m_server->serverPort();
}

QHostAddress HttpServer::address() const
{
    return m_server->serverAddress();
}

QString HttpServer::hostAndPort() const
{
    return QStringLiteral("%1:%2").arg(address().toString()).arg(port());
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        const QHostAddress peer = socket->peerAddress();
        if (m_connectionCount >= m_limits.maxConnections
            || m_connectionsPerPeer.value(peer) >= m_limits.maxConnectionsPerPeer) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            respond(socket, 503, "too many connections\n", "text/plain");
            emit requestRefused({}, {}, 503);
            continue;
        }
        ++m_connectionCount;
        ++m_connectionsPerPeer[peer];
        auto *pending = new Pending;
        pending->idle = new QTimer(socket);
        pending->idle->setSingleShot(true);
        pending->idle->setInterval(m_limits.requestTimeoutMs);
        connect(pending->idle, &QTimer::timeout, this, [this, socket] {
            if (m_pending.contains(socket))
                refuse(socket, 408, "request too slow\n");
        });
        pending->idle->start();
        m_pending.insert(socket, pending);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, peer] {
            forget(socket);
            --m_connectionCount;
            if (--m_connectionsPerPeer[peer] <= 0)
                m_connectionsPerPeer.remove(peer);
            socket->deleteLater();
        });
        QTimer::singleShot(m_limits.requestTimeoutMs, socket, [this, socket] { expire(socket, true); });
    }
}

void HttpServer::forget(QTcpSocket *socket)
{
    Pending *pending = m_pending.take(socket);
    if (!pending)
        return;
    if (pending->headersDone)
        m_bufferedBodies -= pending->bodyLength;
    // The timer may be the one whose timeout brought us here.
    pending->idle->stop();
    pending->idle->deleteLater();
    delete pending;
}

void HttpServer::refuse(QTcpSocket *socket, int status, const QByteArray &text)
{
    const Pending *pending = m_pending.value(socket);
    const QByteArray method = pending ? pending->request.method : QByteArray();
    const QByteArray target = pending ? pending->request.target : QByteArray();
    forget(socket);
    respond(socket, status, text, "text/plain");
    emit requestRefused(method, target, status);
}

void HttpServer::expire(QTcpSocket *socket, bool headersPhase)
{
    const Pending *pending = m_pending.value(socket);
    if (pending && pending->headersDone != headersPhase)
        refuse(socket, 408, "request too slow\n");
}

void HttpServer::onReadyRead(QTcpSocket *socket)
{
    Pending *pending = m_pending.value(socket);
    if (!pending) {
        socket->readAll(); // already answered or refused: what follows is dropped
        return;
    }
    pending->buffer += socket->readAll();
    pending->idle->start();

    if (!pending->headersDone) {
        // Only the new bytes are searched, so a client dripping its headers costs linear time.
        const qsizetype end = pending->buffer.indexOf("\r\n\r\n", qMax<qsizetype>(0, pending->scanned - 3));
        if (end < 0) {
            pending->scanned = pending->buffer.size();
            if (pending->buffer.size() > maxHeaderSize)
                refuse(socket, 431, "request headers too large\n");
            return;
        }
        const QList<QByteArray> lines = pending->buffer.left(end).split('\n');
        pending->buffer.remove(0, end + 4);
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request &request = pending->request;
        if (requestLine.size() < 2)
            return refuse(socket, 400, "malformed request line\n");
        request.method = requestLine.at(0);
        request.target = requestLine.at(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        if (request.target.startsWith("http://") || request.target.startsWith("https://")) {
            request.url = QUrl::fromEncoded(request.target);
        } else {
            request.url = QUrl::fromEncoded("http://" + request.header("Host") + request.target);
            if (request.url.host().isEmpty())
                request.url = QUrl::fromEncoded("http://" + hostAndPort().toLatin1() + request.target);
        }
        bool ok = true;
        const QByteArray lengthText = request.header("Content-Length");
        const qint64 bodyLength = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&ok);
        if (!ok || bodyLength < 0)
            return refuse(socket, 400, "bad Content-Length\n");
        if (bodyLength > m_maxBodySize)
            return refuse(socket, 413, "request body too large\n");
        if (m_bufferedBodies + bodyLength > m_limits.maxBufferedBodies)
            return refuse(socket, 503, "server busy\n");
        pending->headersDone = true;
        pending->bodyLength = bodyLength;
        pending->buffer.reserve(bodyLength); // grown once, not copied as it doubles
        m_bufferedBodies += bodyLength;
        const qint64 bodyMs = bodyLength * 1000 / qMax<qint64>(1, m_limits.minBodyRate);
        QTimer::singleShot(std::chrono::milliseconds(m_limits.requestTimeoutMs + bodyMs), socket,
                           [this, socket] { expire(socket, false); });
    }

    if (pending->buffer.size() < pending->bodyLength)
        return;
    Request request = std::move(pending->request);
    request.body = pending->buffer.left(pending->bodyLength);
    request.peer = socket->peerAddress();
    request.socket = socket;
    forget(socket);
    emit requestReceived(request.method, request.url);
    m_handler(request);
}

QByteArray HttpServer::reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

void HttpServer::respond(QTcpSocket *socket, int status, const QByteArray &body,
                         const QByteArray &contentType,
                         const QList<QPair<QByteArray, QByteArray>> &extraHeaders)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    for (const auto &[name, value] : extraHeaders)
        head += name + ": " + value + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    socket->write(body);
    closeGently(socket);
}

void HttpServer::closeGently(QTcpSocket *socket)
{
    // A client may still be sending when it is answered: a refused upload, a body too slow. Were
    // the connection closed with its bytes unread, the kernel would reset it, and a reset can throw
    // the answer away before the client reads it. So only the sending side is shut once the answer
    // is out; what still arrives is read and dropped until the client closes, or for a short while
    // counted from then (a busy server may take a while to send, and an answer is never cut).
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() > 0 || socket->state() != QAbstractSocket::ConnectedState)
            return;
        ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
        QTimer::singleShot(lingerMs, socket, &QTcpSocket::abort);
    });
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
}

// Compiled here, not with the rest of the project's meta-objects, so that the server links only
// what it uses (see server/CMakeLists.txt).
#include "moc_httpserver.cpp"
