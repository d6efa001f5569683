#include "stampparserpoppestamps.h"

#include "hostconfig.h"

CStampParserPoppeStamps::CStampParserPoppeStamps(QObject *parent)
    : CSiteParser(parent), m_countryIds(loadCountryTable(QLatin1String(countryTableFile)))
{
}

void CStampParserPoppeStamps::readHosts()
{
    m_host = HostConfig::global().value("poppe");
}

QStringList CStampParserPoppeStamps::searchByNumber(const QString &keyword, const QString &catalogueField,
                                                    int limit)
{
    beginOperation(limit);
    readHosts();
    QString id;
    QString number;
    bool named = false;
    if (!catalogueKeyAndNumber(m_countryIds, keyword, &id, &number, &named))
        return {};
    if (named) // without a name part the text before "[inf]" is sent as it is
        number = digitsOnly(number);
    return loadAndWalk("http://" + m_host + "/?t=32&cid=" + id + "&" + catalogueField + "=" + number);
}

void CStampParserPoppeStamps::applyRules(const CWebElement &element)
{
    const QString tag = element.tagName().toLower();
    if (tag == QLatin1String("a")) {
        const QString href = element.attribute(QStringLiteral("href"), QString());
        if (href.startsWith(QLatin1String("?t=34&stamp_no="))) {
            m_pageUrl = "http://" + m_host + "/" + href;
            return;
        }
    }
    if (tag == QLatin1String("img")) {
        const QString alt = element.attribute(QStringLiteral("alt"), QString()).toLower();
        if (alt == QLatin1String("poppe-stamps")) {
            m_imageUrl = element.attribute(QStringLiteral("src"), QString());
            addPair(m_pageUrl, m_imageUrl, false);
        }
    }
}
