#include "bidstartcom.h"

#include "hostconfig.h"

CBidstartCom::CBidstartCom(QObject *parent) : CAuctionParser(parent)
{
}

void CBidstartCom::readHosts()
{
    const HostConfig &hosts = HostConfig::global();
    m_searchPrefix = "http://" + hosts.value("bidstart") + "/search_results.php?keywords=";
    m_shopPrefix = "http://" + hosts.value("bidstart_shop") + "/";
    m_thumbPrefix = "http://" + hosts.value("stampwants_thumbs") + "/";
    m_pictureTemplate = "http://" + hosts.value("bidstart") + "/makethumbdetails.php?pic=http://"
                        + hosts.value("stampwants_pictures") + "/[image]&w=999&mx=Y";
}

QString CBidstartCom::treatNumberText(QString text) const
{
    return text.replace(QLatin1Char(' '), QLatin1Char('+'));
}

void CBidstartCom::applyRules(const CWebElement &element)
{
    const QString tag = element.tagName().toLower();
    if (tag == QLatin1String("a")) {
        const QString href = element.attribute(QStringLiteral("href"), QString());
        if (href.startsWith(m_shopPrefix)) {
            if (href == m_pageUrl) {
                // The second link to the same offer, after its picture.
                const QString fileName = m_imageUrl.mid(m_imageUrl.lastIndexOf(QLatin1Char('/')) + 1);
                addPair(m_pageUrl, QString(m_pictureTemplate).replace("[image]", fileName), true);
            }
            m_pageUrl = href;
            return;
        }
    }
    if (tag == QLatin1String("img")) {
        const QString src = element.attribute(QStringLiteral("src"), QString());
        if (src.startsWith(m_thumbPrefix))
            m_imageUrl = src;
    }
}
