#pragma once

#include <QString>
#include <QTemporaryDir>

// A home folder of its own for one test: the documents folder (and so the configuration folder)
// lies inside it, and the previous HOME comes back when the fixture ends.
class TempHome
{
public:
    TempHome();
    ~TempHome();

    QString path() const { return m_dir.path(); }
    // <home>/Documents/Quillet/
    QString configFolder() const;
    // Writes config.cfg with the given lines (creating the folder).
    void writeConfig(const QString &text) const;
    // A configuration that is not a first start: the program folder recorded, the given language.
    void writeKnownConfig(const QString &language = QStringLiteral("english")) const;
    QString readConfig() const;

private:
    QTemporaryDir m_dir;
    QByteArray m_oldHome;
    QByteArray m_oldXdgConfig;
};
