#include "wholefile.h"

#include <QSaveFile>

#include <cerrno>

QString CWholeFile::write(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    QString reason;
    // Unbuffered: the failing write itself reports, with the system's own error.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        reason = file.errorString();
    } else {
        errno = 0;
        const qint64 written = file.write(data);
        // A write cut short by a full disk or a size limit returns what fit; the next one, which
        // the file makes for the rest, holds the reason.
        const int error = errno;
        if (written != data.size())
            reason = error != 0 ? qt_error_string(error) : file.errorString();
        else if (!file.commit())
            reason = file.errorString();
    }
    return reason.isEmpty() ? QString() : path + QStringLiteral(": ") + reason;
}
