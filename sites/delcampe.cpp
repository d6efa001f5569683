#include "delcampe.h"

#include "hostconfig.h"

CDelcampe::CDelcampe(QObject *parent) : CAuctionParser(parent)
{
}

void CDelcampe::readHosts()
{
    const HostConfig &hosts = HostConfig::global();
    m_host = hosts.value("delcampe");
    m_searchPrefix = "http://" + m_host + "/items?language=E&searchString=";
    m_pictureMarker = "." + hosts.value("delcampe_pictures") + "/img_large/auction/";
}

void CDelcampe::applyRules(const CWebElement &element)
{
    if (element.tagName().toLower() != QLatin1String("a"))
        return;
    const QString href = element.attribute(QStringLiteral("href"), QString());
    if (href.contains(m_pictureMarker, Qt::CaseInsensitive)) {
        m_imageUrl = href; // the link to the large picture
        return;
    }
    const QString cssClass = element.attribute(QStringLiteral("class"), QString());
    if (cssClass.contains(QLatin1String("a0408"), Qt::CaseInsensitive)) {
        m_pageUrl = "http://" + m_host + "/" + href; // the offer link is relative
        addPair(m_pageUrl, m_imageUrl, true);
    }
}
