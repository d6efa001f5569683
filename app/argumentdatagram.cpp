#include "argumentdatagram.h"

#include <QDataStream>
#include <QDebug>
#include <QHostAddress>
#include <QIODevice>
#include <QUdpSocket>

QByteArray CArgumentDatagram::encode(const QStringList &arguments)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_8);
    stream << arguments;
    return bytes;
}

QStringList CArgumentDatagram::decode(const QByteArray &datagram)
{
    // Read string by string so that a datagram of garbage yields the strings before the fault and
    // a huge count cannot make us reserve memory for it.
    QDataStream stream(datagram);
    stream.setVersion(QDataStream::Qt_4_8);
    quint32 count = 0;
    stream >> count;
    QStringList arguments;
    for (quint32 i = 0; i < count && stream.status() == QDataStream::Ok; ++i) {
        QString text;
        stream >> text;
        if (stream.status() != QDataStream::Ok)
            break;
        arguments << text;
    }
    return arguments;
}

void CArgumentDatagram::forward(const QStringList &arguments)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, senderPort)) {
        qDebug() << "open port: ERROR";
        return;
    }
    socket.writeDatagram(encode(arguments), QHostAddress::LocalHost, receiverPort);
    socket.close();
}
