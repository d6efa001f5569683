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

// What the running copy answers once it has taken a list whole.
constexpr char taken = '\x06';

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
    } else if (CArgumentDatagram::isComplete(*found)) {
        take(socket);
    }
}

void CCommandChannel::take(QLocalSocket *socket)
{
    m_lists.enqueue(CArgumentDatagram::decode(m_incoming.take(socket)));
    // The sender waits for this before it ends: its list is in our hands now.
    socket->write(&taken, 1);
    socket->flush();
    socket->disconnectFromServer();
    socket->deleteLater();
    emit signalReceived();
}

void CCommandChannel::finish(QLocalSocket *socket)
{
    read(socket);
    // A list cut short: what it holds is taken, as it always was.
    if (m_incoming.contains(socket))
        take(socket);
}

QStringList CCommandChannel::withAbsolutePaths(QStringList arguments)
{
    static const QLatin1String savePrefix("/SAVEDATA:");
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString &argument = arguments[i];
        if (argument.startsWith(savePrefix, Qt::CaseInsensitive)) {
            const QString path = argument.mid(savePrefix.size()).replace(QLatin1Char('\\'), QLatin1Char('/'));
            if (!path.isEmpty() && QFileInfo(path).isRelative())
                argument = argument.left(savePrefix.size()) + QFileInfo(path).absoluteFilePath();
            continue;
        }
        const QFileInfo file(argument);
        if (!argument.isEmpty() && file.isRelative() && file.exists())
            argument = file.absoluteFilePath();
    }
    return arguments;
}

bool CCommandChannel::send(const QStringList &arguments, const QString &path, int timeoutMs, QString *error)
{
    const auto fail = [error](const QString &reason) {
        qDebug() << "open port: ERROR" << reason;
        if (error)
            *error = reason;
        return false;
    };
    const QByteArray payload = CArgumentDatagram::encode(arguments);
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(path);
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        if (deadline.hasExpired())
            return fail(socket.errorString());
        QThread::msleep(50); // the running copy may not be listening yet
    }
    // The running copy is listening: it has as long again to take the list.
    deadline = QDeadlineTimer(timeoutMs);
    socket.write(payload);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
        ;
    if (socket.bytesToWrite() > 0)
        return fail(socket.errorString());
    while (socket.bytesAvailable() == 0 && socket.state() == QLocalSocket::ConnectedState
           && socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
        ;
    char answer = 0;
    if (socket.read(&answer, 1) != 1 || answer != taken)
        return fail(QStringLiteral("the running copy did not take the list"));
    socket.disconnectFromServer();
    return true;
}
