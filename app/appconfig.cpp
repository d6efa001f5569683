#include "appconfig.h"

#include "sites/keyvaluefile.h"
#include "sites/wholefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>

namespace {

QString withoutBlanks(QString text)
{
    return text.remove(QLatin1Char(' '));
}

} // namespace

AppConfig::AppConfig()
{
    load();
}

QString AppConfig::configFolder()
{
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    return documents + QStringLiteral("/Quillet/");
}

QString AppConfig::filePath()
{
    return configFolder() + QStringLiteral("config.cfg");
}

QString AppConfig::programFolder()
{
    return QCoreApplication::applicationDirPath();
}

void AppConfig::load()
{
    max_out = 10;
    QFile file(filePath());
    // Opening for reading and writing creates a missing file when its folder exists.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Text)) {
        // The whole path: on this platform the documents folder itself may not exist yet, and
        // settings that can never be saved would be lost at every exit.
        QDir().mkpath(configFolder());
    } else {
        fileTooLarge = false;
        const KeyValueFile::Entries entries = KeyValueFile::read(file, &fileTooLarge);
        for (const auto &[key, value] : entries) {
            if (key == QLatin1String("path"))
                path = value;
            else if (key == QLatin1String("language"))
                language = value;
            else if (key == QLatin1String("max_out")) {
                // A hand-edited value that is not a number must not silently empty every
                // report: it reads as the default.
                bool isNumber = false;
                const qint32 number = value.trimmed().toInt(&isNumber);
                if (isNumber)
                    max_out = number;
            }
            else if (key == QLatin1String("last_path"))
                last_path = QString(value).replace(QStringLiteral("///"), QStringLiteral(" "));
        }
    }
    if (withoutBlanks(path) == withoutBlanks(programFolder()))
        firstStart = false;
}

QString AppConfig::save()
{
    // Replaced whole or not at all: a crash or a full disk never leaves a half-written or empty
    // configuration behind, which would lose every setting and bring back the first start.
    QByteArray text;
    QTextStream out(&text);
    out << "path = " << programFolder() << "\n";
    out << "language = " << (language.isEmpty() ? QStringLiteral("english") : language) << "\n";
    if (max_out == 0)
        out << "colnet = 10\n";
    else
        out << "max_out = " << max_out << "\n";
    out << "last_path = ";
    if (!last_path.isEmpty()) {
        QString folder = last_path.endsWith(QLatin1Char('/'))
                             ? QDir::cleanPath(QFileInfo(last_path).absoluteFilePath())
                             : QFileInfo(last_path).absolutePath();
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        out << folder.replace(QLatin1Char(' '), QStringLiteral("///"));
    }
    out << "\n";
    out.flush();
    const QString error = CWholeFile::write(filePath(), text);
    if (!error.isEmpty())
        qWarning("The settings could not be saved: %s", qPrintable(error));
    return error;
}
