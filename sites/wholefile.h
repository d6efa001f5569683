#pragma once

#include <QByteArray>
#include <QString>

// A file replaced whole or not at all: written beside its place, flushed to disk, and renamed over
// the old one only when every byte is there. A full disk or a write error leaves the old file as
// it was.
class CWholeFile
{
public:
    // Empty on success; else the file's path and the system's reason ("No space left on device").
    static QString write(const QString &path, const QByteArray &data);
};
