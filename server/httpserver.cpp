#include "httpserver.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace {
constexpr qint64 maxHeaderSize = 64 * 1024;
}

struct HttpServer::Pending
{
    QByteArray buffer;
    bool headersDone = false;
    qint64 bodyLength = 0;
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
        m_pending.insert(socket, new Pending);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            delete m_pending.take(socket);
            socket->deleteLater();
        });
    }
}

void HttpServer::onReadyRead(QTcpSocket *socket)
{
    Pending *pending = m_pending.value(socket);
    if (!pending)
        return; // already answered
    pending->buffer += socket->readAll();

    if (!pending->headersDone) {
        const qsizetype end = pending->buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (pending->buffer.size() > maxHeaderSize) {
                delete m_pending.take(socket);
                respond(socket, 431, "request headers too large\n", "text/plain");
                emit requestRefused({}, {}, 431);
            }
            return;
        }
        const QList<QByteArray> lines = pending->buffer.left(end).split('\n');
        pending->buffer.remove(0, end + 4);
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request &request = pending->request;
        if (requestLine.size() < 2) {
            delete m_pending.take(socket);
            respond(socket, 400, "malformed request line\n", "text/plain");
            emit requestRefused({}, {}, 400);
            return;
        }
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
        pending->bodyLength = lengthText.isEmpty() ? 0 : lengthText.toLongLong(&ok);
        if (!ok || pending->bodyLength < 0) {
            const QByteArray method = request.method, target = request.target;
            delete m_pending.take(socket);
            respond(socket, 400, "bad Content-Length\n", "text/plain");
            emit requestRefused(method, target, 400);
            return;
        }
        if (pending->bodyLength > m_maxBodySize) {
            const QByteArray method = request.method, target = request.target;
            delete m_pending.take(socket);
            respond(socket, 413, "request body too large\n", "text/plain");
            emit requestRefused(method, target, 413);
            return;
        }
        pending->headersDone = true;
    }

    if (pending->buffer.size() < pending->bodyLength)
        return;
    Request request = std::move(pending->request);
    request.body = pending->buffer.left(pending->bodyLength);
    request.peer = socket->peerAddress();
    request.socket = socket;
    delete m_pending.take(socket);
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
    socket->disconnectFromHost();
}
