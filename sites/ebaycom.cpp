#include "ebaycom.h"

#include "hostconfig.h"

CEbayCom::CEbayCom(QObject *parent) : CAuctionParser(parent)
{
}

void CEbayCom::readHosts()
{
    const HostConfig &hosts = HostConfig::global();
    m_searchPrefix = "http://" + hosts.value("ebay") + "/sch/Stamps-/260/i.html?_nkw=";
    m_itemPrefix = "http://" + hosts.value("ebay") + "/itm/";
    m_pictureMarker = "." + hosts.value("ebay_pictures") + "/d/l225/m/";
}

QString CEbayCom::treatNumberText(QString text) const
{
    return text.replace(QLatin1Char('-'), QLatin1Char('+'));
}

void CEbayCom::applyRules(const CWebElement &element)
{
    const QString tag = element.tagName().toLower();
    if (tag == QLatin1String("a")) {
        const QString href = element.attribute(QStringLiteral("href"), QString());
        if (href.startsWith(m_itemPrefix)) {
            m_pageUrl = href;
            return;
        }
    }
    if (tag == QLatin1String("img")) {
        const QString src = element.attribute(QStringLiteral("src"), QString());
        if (src.contains(m_pictureMarker, Qt::CaseInsensitive)) {
            m_imageUrl = src;
            addPair(m_pageUrl, m_imageUrl, true);
        }
    }
}
