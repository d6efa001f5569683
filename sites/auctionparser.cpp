#include "auctionparser.h"

CAuctionParser::CAuctionParser(QObject *parent) : CSiteParser(parent)
{
}

QStringList CAuctionParser::searchByNumber(const QString &keyword, int limit)
{
    beginOperation(limit);
    readHosts();
    QString text;
    if (!numberSearchText(keyword, &text))
        return {};
    return loadAndWalk(m_searchPrefix + treatNumberText(text));
}

QStringList CAuctionParser::searchByInfo(const QString &keyword, int limit)
{
    beginOperation(limit);
    readHosts();
    QString text;
    if (!infoSearchText(keyword, &text))
        return {};
    return loadAndWalk(m_searchPrefix + text);
}

QStringList CAuctionParser::loadPage(const QString &url, int limit)
{
    beginOperation(limit);
    readHosts();
    return loadAndWalk(url);
}
