#include "loadclient.h"

#include "search/recognitionclient.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTcpSocket>

namespace {

constexpr qsizetype chunkSize = 64 * 1024;

QByteArray garbage()
{
    QByteArray bytes(2000, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.replace("\r\n\r\n", "\r\n..");
    return bytes + "\r\n\r\n";
}

} // namespace

LoadClient::LoadClient(Kind kind, const QByteArray &request, QObject *parent)
    : QObject(parent), m_kind(kind), m_request(request)
{
    switch (kind) {
    case Kind::Garbage:
        m_request = garbage();
        break;
    case Kind::HugeHeaders:
        m_request = "GET /db3/process/0.jpg HTTP/1.1\r\nX-Filler: " + QByteArray(100 * 1024, 'a');
        break;
    case Kind::Oversized:
        m_request = "POST /db3/index.php?os=win&ver=2 HTTP/1.1\r\nHost: quillet\r\n"
                    "Content-Length: 1000000000000\r\n\r\n";
        break;
    default:
        break;
    }
    switch (kind) {
    case Kind::DripHeaders:
        m_sendNow = 0;
        break;
    case Kind::DripBody:
        m_sendNow = m_request.indexOf("\r\n\r\n") + 4;
        break;
    case Kind::StallBody:
        m_sendNow = m_request.size() - 1;
        break;
    default:
        m_sendNow = m_request.size();
        break;
    }
    m_drip.setInterval(100);
    connect(&m_drip, &QTimer::timeout, this, [this] {
        m_sendNow = qMin(m_sendNow + 1, m_request.size());
        sendMore();
    });
}

QByteArray LoadClient::uploadRequest(const QByteArray &picture)
{
    CRecognitionClient client;
    QRandomGenerator generator(QRandomGenerator::global()->generate());
    const QByteArray body = CRecognitionClient::requestBody(
        client.keyField(CRecognitionClient::saltText(generator)), picture);
    return "POST /db3/index.php?os=win&ver=2 HTTP/1.1\r\nHost: quillet\r\n"
           "Content-Type: multipart/form-data; boundary=AyV04a\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

qint64 LoadClient::peakResidentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() / 1024;
    }
    return -1;
}

void LoadClient::start(const QHostAddress &source, const QHostAddress &server, quint16 port)
{
    m_timer.start();
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        if (m_kind == Kind::DripHeaders || m_kind == Kind::DripBody)
            m_drip.start();
        sendMore();
    });
    connect(m_socket, &QTcpSocket::bytesWritten, this, &LoadClient::sendMore);
    connect(m_socket, &QTcpSocket::readyRead, this, [this] { m_answer += m_socket->readAll(); });
    connect(m_socket, &QTcpSocket::disconnected, this, &LoadClient::finish);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            finish();
    });
    if (!m_socket->bind(source)) {
        QMetaObject::invokeMethod(this, &LoadClient::finish, Qt::QueuedConnection);
        return;
    }
    m_socket->connectToHost(server, port);
}

void LoadClient::sendMore()
{
    // Once the server has answered, whatever is left would only be refused.
    if (!m_answer.isEmpty() || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    while (m_sent < m_sendNow && m_socket->bytesToWrite() < chunkSize) {
        const qsizetype size = qMin(chunkSize, m_sendNow - m_sent);
        m_socket->write(m_request.constData() + m_sent, size);
        m_sent += size;
    }
}

void LoadClient::finish()
{
    if (m_done)
        return;
    m_done = true;
    m_drip.stop();
    if (m_socket->isOpen())
        m_answer += m_socket->readAll();
    m_elapsedMs = m_timer.elapsed();
    m_endText = QStringLiteral("%1 (%2 of %3 bytes sent)").arg(m_socket->errorString()).arg(m_sent).arg(m_request.size());
    // "HTTP/1.1 200 OK"
    if (m_answer.startsWith("HTTP/1.") && m_answer.size() >= 12)
        m_status = m_answer.mid(9, 3).toInt();
    emit finished(this);
}
