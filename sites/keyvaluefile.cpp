#include "keyvaluefile.h"

#include <QFile>

bool KeyValueFile::parseLine(QString line, QString *key, QString *value)
{
    line.remove(QLatin1Char(' '));
    line.remove(QLatin1Char('\r'));
    line.remove(QLatin1Char('\n'));
    const QStringList parts = line.split(QLatin1Char('='), Qt::KeepEmptyParts);
    if (parts.size() < 2)
        return false;
    *key = parts.at(0);
    *value = parts.at(1);
    return true;
}

KeyValueFile::Entries KeyValueFile::read(QIODevice &device, bool *tooLarge)
{
    Entries entries;
    if (device.size() > maxFileSize) {
        if (tooLarge)
            *tooLarge = true;
        return entries;
    }
    while (!device.atEnd()) {
        QByteArray raw = device.readLine(maxLineLength);
        if (raw.isEmpty())
            break;
        if (!raw.endsWith('\n') && !device.atEnd()) {
            // Overlong line: drop it with the rest of it.
            while (!device.atEnd() && !device.readLine(maxLineLength).endsWith('\n')) {
            }
            continue;
        }
        QString key, value;
        if (parseLine(QString::fromLocal8Bit(raw), &key, &value))
            entries.append({key, value});
    }
    return entries;
}

KeyValueFile::Entries KeyValueFile::read(const QString &path, bool *tooLarge)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return read(file, tooLarge);
}
