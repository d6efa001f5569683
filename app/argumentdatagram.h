#pragma once

#include <QByteArray>
#include <QStringList>

// The argument list a start of the program hands to the running copy: one UDP datagram on the
// loopback interface holding the list in the binary stream format of the 4.8 series (a big-endian
// count, then per string its length in bytes and its UTF-16 code units, big-endian).
class CArgumentDatagram
{
public:
    static constexpr quint16 senderPort = 7731;
    static constexpr quint16 receiverPort = 7732;

    static QByteArray encode(const QStringList &arguments);
    // The strings that could be read; garbage gives what was readable, possibly nothing.
    static QStringList decode(const QByteArray &datagram);

    // Binds 127.0.0.1:7731 for a moment and sends the list to 127.0.0.1:7732. When the port cannot
    // be bound, writes "open port: ERROR" and sends nothing.
    static void forward(const QStringList &arguments);
};
