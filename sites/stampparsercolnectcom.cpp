#include "stampparsercolnectcom.h"

#include "hostconfig.h"

CStampParserColnectCom::CStampParserColnectCom(QObject *parent)
    : CSiteParser(parent), m_countryIds(loadCountryTable(QLatin1String(countryTableFile)))
{
}

void CStampParserColnectCom::readHosts()
{
    const HostConfig &hosts = HostConfig::global();
    m_host = hosts.value("colnect");
    m_thumbMarker = "http://" + hosts.value("colnect_pictures") + "/images/t/";
}

QStringList CStampParserColnectCom::searchByNumber(const QString &keyword, int limit)
{
    beginOperation(limit);
    readHosts();
    QString key;
    QString number;
    bool named = false;
    if (!catalogueKeyAndNumber(m_countryIds, keyword, &key, &number, &named))
        return {};
    number = digitsOnly(number);
    const QString url = key.isEmpty()
                            ? "http://" + m_host + "/en/stamps/list/catalog_code/" + number
                            : "http://" + m_host + "/en/stamps/list/country/" + key + "/catalog_code/" + number;
    return loadAndWalk(url);
}

QStringList CStampParserColnectCom::loadPage(const QString &url, int limit)
{
    beginOperation(limit);
    readHosts();
    return loadAndWalk(url);
}

void CStampParserColnectCom::applyRules(const CWebElement &element)
{
    const QString tag = element.tagName().toLower();
    if (tag == QLatin1String("a")) {
        const QString href = element.attribute(QStringLiteral("href"), QString());
        if (href.startsWith(QLatin1String("/en/stamps/stamp/"))) {
            m_pageUrl = "http://" + m_host + href;
            return;
        }
    }
    if (tag == QLatin1String("img")) {
        const QString src = element.attribute(QStringLiteral("src"), QString());
        if (src.contains(m_thumbMarker, Qt::CaseInsensitive)) {
            // The full-size picture instead of the thumbnail.
            m_imageUrl = QString(src).replace(QLatin1String("/t/"), QLatin1String("/f/"));
            addPair(m_pageUrl, m_imageUrl, true);
        }
    }
}
