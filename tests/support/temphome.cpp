#include "temphome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

TempHome::TempHome() : m_oldHome(qgetenv("HOME")), m_oldXdgConfig(qgetenv("XDG_CONFIG_HOME"))
{
    qputenv("HOME", m_dir.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/.config").toLocal8Bit());
}

TempHome::~TempHome()
{
    qputenv("HOME", m_oldHome);
    if (m_oldXdgConfig.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_oldXdgConfig);
}

QString TempHome::configFolder() const
{
    return m_dir.path() + QStringLiteral("/Documents/Quillet/");
}

void TempHome::writeConfig(const QString &text) const
{
    QDir().mkpath(configFolder());
    QFile file(configFolder() + "config.cfg");
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text.toUtf8());
}

void TempHome::writeKnownConfig(const QString &language) const
{
    writeConfig(QStringLiteral("path = %1\nlanguage = %2\nmax_out = 10\nlast_path = \n")
                    .arg(QCoreApplication::applicationDirPath(), language));
}

QString TempHome::readConfig() const
{
    QFile file(configFolder() + "config.cfg");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
