#include "commandchannel.h"

#include "argumentdatagram.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// The user the kernel recorded for the other end when it connected.
bool peerIsThisUser(const QLocalSocket *socket)
{
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    return credentials.uid == ::getuid();
}

} // namespace

CCommandChannel::CCommandChannel(QObject *parent) : QObject(parent), m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &CCommandChannel::accept);
}

CCommandChannel::~CCommandChannel() = default;

QString CCommandChannel::socketPath(const QString &lockPath)
{
    return lockPath + QStringLiteral(".socket");
}

bool CCommandChannel::listen(const QString &path)
{
    QLocalServer::removeServer(path);
    if (!m_server->listen(path)) {
        qDebug() << "open port: ERROR" << m_server->errorString();
        return false;
    }
    return true;
}

void CCommandChannel::accept()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        if (!peerIsThisUser(socket)) {
            qDebug("command from another user refused");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_incoming.insert(socket, QByteArray());
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { finish(socket); });
        read(socket);
        if (socket->state() != QLocalSocket::ConnectedState)
            finish(socket);
    }
}

void CCommandChannel::read(QLocalSocket *socket)
{
    const auto found = m_incoming.find(socket);
    if (found == m_incoming.end())
        return;
    found->append(socket->read(maxPayloadBytes + 1 - found->size()));
    if (found->size() > maxPayloadBytes) {
        qDebug("command list too long, dropped");
        m_incoming.erase(found);
        socket->abort();
        socket->deleteLater();
    }
}

void CCommandChannel::finish(QLocalSocket *socket)
{
    read(socket);
    const auto found = m_incoming.find(socket);
    if (found == m_incoming.end())
        return;
    const QByteArray payload = *found;
    m_incoming.erase(found);
    socket->deleteLater();
    m_lists.enqueue(CArgumentDatagram::decode(payload));
    emit signalReceived();
}

bool CCommandChannel::send(QStringList arguments, const QString &path, int timeoutMs)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QFileInfo file(arguments.at(i));
        if (!arguments.at(i).isEmpty() && file.isRelative() && file.exists())
            arguments[i] = file.absoluteFilePath();
    }
    const QByteArray payload = CArgumentDatagram::encode(arguments);
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(path);
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        if (deadline.hasExpired()) {
            qDebug() << "open port: ERROR" << socket.errorString();
            return false;
        }
        QThread::msleep(50); // the running copy may not be listening yet
    }
    socket.write(payload);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
        ;
    const bool sent = socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
    return sent;
}
