#include "argumentdatagram.h"

#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

QByteArray CArgumentDatagram::encode(const QStringList &arguments)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_8);
    stream << arguments;
    return bytes;
}

QStringList CArgumentDatagram::decode(const QByteArray &payload)
{
    bool complete = false;
    return parse(payload, &complete);
}

bool CArgumentDatagram::isComplete(const QByteArray &payload)
{
    bool complete = false;
    parse(payload, &complete);
    return complete;
}

QStringList CArgumentDatagram::parse(const QByteArray &payload, bool *complete)
{
    // Read by hand: the stream operators would reserve what a count or a length announces before
    // finding out that the payload holds far less.
    const auto *data = reinterpret_cast<const uchar *>(payload.constData());
    const qsizetype size = payload.size();
    qsizetype at = 0;
    const auto readCount = [&](quint32 *value) {
        if (size - at < 4)
            return false;
        *value = qFromBigEndian<quint32>(data + at);
        at += 4;
        return true;
    };
    quint32 count = 0;
    QStringList arguments;
    *complete = false;
    if (!readCount(&count))
        return arguments;
    for (quint32 i = 0; i < count; ++i) {
        quint32 bytes = 0;
        if (!readCount(&bytes))
            return arguments;
        if (bytes == 0xFFFFFFFFu) {
            arguments << QString();
            continue;
        }
        if (bytes % 2 != 0 || bytes > quint64(size - at))
            return arguments;
        QString text(qsizetype(bytes / 2), Qt::Uninitialized);
        qFromBigEndian<char16_t>(data + at, qsizetype(bytes / 2), text.data());
        at += bytes;
        arguments << text;
    }
    *complete = true;
    return arguments;
}
