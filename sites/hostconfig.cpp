#include "hostconfig.h"

#include "keyvaluefile.h"

#include <QDir>

namespace {

struct HostDefault
{
    const char *key;
    const char *value;
};

// The maker's site is ours to run; until it exists it points at a reserved name that never resolves.
constexpr HostDefault hostDefaults[] = {
    {"recognition", "127.0.0.1:8711"},
    {"maker", "quillet.example"},
    {"update", "quillet.example"},
    {"ebay", "www.ebay.com"},
    {"ebay_pictures", "ebayimg.com"},
    {"delcampe", "www.delcampe.net"},
    {"delcampe_pictures", "delcampe-static.net"},
    {"bidstart", "www.bidstart.com"},
    {"bidstart_shop", "stampwants.bidstart.com"},
    {"stampwants_thumbs", "thumbs.stampwants.com"},
    {"stampwants_pictures", "images.stampwants.com"},
    {"colnect", "colnect.com"},
    {"colnect_pictures", "i.colnect.net"},
    {"poppe", "www.poppe-stamps.com"},
    {"search_engine", "www.google.com"},
};

} // namespace

const QStringList &HostConfig::keys()
{
    static const QStringList all = [] {
        QStringList list;
        for (const HostDefault &entry : hostDefaults)
            list << QString::fromLatin1(entry.key);
        return list;
    }();
    return all;
}

QString HostConfig::defaultValue(const QString &key)
{
    for (const HostDefault &entry : hostDefaults) {
        if (key == QLatin1String(entry.key))
            return QString::fromLatin1(entry.value);
    }
    return {};
}

HostConfig HostConfig::load(const QString &configFolder)
{
    HostConfig config;
    config.overrideFrom(QDir(configFolder).filePath(QStringLiteral("hosts.cfg")));
    const QString fromEnvironment = qEnvironmentVariable("QUILLET_HOSTS");
    if (!fromEnvironment.isEmpty())
        config.overrideFrom(fromEnvironment);
    return config;
}

QString HostConfig::value(const QString &key) const
{
    const auto found = m_values.constFind(key);
    return found != m_values.constEnd() ? *found : defaultValue(key);
}

void HostConfig::setValue(const QString &key, const QString &value)
{
    m_values.insert(key, value);
}

void HostConfig::overrideFrom(const QString &path)
{
    bool tooLarge = false;
    const KeyValueFile::Entries entries = KeyValueFile::read(path, &tooLarge);
    if (tooLarge)
        m_refused << path;
    for (const auto &[key, value] : entries) {
        if (keys().contains(key) && !value.isEmpty())
            m_values.insert(key, value);
    }
}

HostConfig &HostConfig::global()
{
    static HostConfig config;
    return config;
}

const QStringList &HostConfig::siteLabels()
{
    static const QStringList labels = {"delcampe.net", "colnect.com",      "bidstart.com",
                                       "ebay.com",     "poppe-stamps.com", "google.com"};
    return labels;
}

const QStringList &HostConfig::routableSites()
{
    static const QStringList list = {"delcampe", "colnect", "bidstart", "ebay", "poppe-stamps"};
    return list;
}

const QStringList &HostConfig::dealerHosts()
{
    static const QStringList list = {"stanleygibbons.com", "hipstamp.com", "usps.com", "royalmail.com"};
    return list;
}

const QStringList &HostConfig::philatelicWords()
{
    static const QStringList list = {"stamp", "collect", "philately", "philatelic", "marki"};
    return list;
}
