#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The outside hosts the program talks to: recognition server, maker's site and update endpoint,
// stamp sites with their picture hosts, and the search engine. Each has a built-in default that
// "hosts.cfg" in the configuration folder and then the file named by QUILLET_HOSTS override line
// by line ("key = value", as config.cfg). A value may carry a port ("127.0.0.1:8080"); the
// search engine's may also carry a scheme.
class HostConfig
{
public:
    static const QStringList &keys();
    static QString defaultValue(const QString &key);

    // Defaults overridden by <configFolder>/hosts.cfg and then by $QUILLET_HOSTS.
    static HostConfig load(const QString &configFolder);

    QString value(const QString &key) const;
    void setValue(const QString &key, const QString &value);
    // Reads one file over the present values; unknown keys and empty values are ignored. A file
    // too large to be a host file is not read (see refusedFiles()).
    void overrideFrom(const QString &path);
    // The files that load() or overrideFrom() refused as too large.
    const QStringList &refusedFiles() const { return m_refused; }

    // The configuration every part of the program reads (GUI thread). The main window loads it at
    // start; until then it holds the defaults.
    static HostConfig &global();

    // Display labels of the six sites, in the order Delcampe, Colnect, Bidstart, eBay,
    // Poppe stamps, Google (each the site's domain name).
    static const QStringList &siteLabels();
    // The routable sites (list A), stamp dealers and postal services (list B) and philatelic
    // words (list C), matched as parts of a host name.
    static const QStringList &routableSites();
    static const QStringList &dealerHosts();
    static const QStringList &philatelicWords();

private:
    QMap<QString, QString> m_values;
    QStringList m_refused;
};
