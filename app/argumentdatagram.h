#pragma once

#include <QByteArray>
#include <QStringList>

// The argument list a start of the program hands to the running copy, in the binary stream format
// of the 4.8 series: a big-endian count, then per string its length in bytes (0xFFFFFFFF for a
// null string) and its UTF-16 code units, big-endian.
class CArgumentDatagram
{
public:
    static QByteArray encode(const QStringList &arguments);
    // The strings that could be read; garbage gives what was readable, possibly nothing. Nothing is
    // allocated beyond the payload's own size, whatever its counts and lengths announce.
    static QStringList decode(const QByteArray &payload);
    // True when the payload holds every string its count announces: the list has arrived whole
    // and the sender needs to send nothing more.
    static bool isComplete(const QByteArray &payload);

private:
    static QStringList parse(const QByteArray &payload, bool *complete);
};
