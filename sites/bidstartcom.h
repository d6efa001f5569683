#pragma once

#include "siteparser.h"

// Bidstart with the StampWants shop: an offer link that comes twice in a row, with its thumbnail
// between, gives the offer and the site's 999-pixel rendering of that picture.
class CBidstartCom : public CSiteParser
{
    Q_OBJECT
public:
    explicit CBidstartCom(QObject *parent = nullptr);

    // Searches by name and catalogue number ("Germany[c]Mi 123a[inf]..." searches "Germany+123").
    QStringList searchByNumber(const QString &keyword, int limit);
    // Searches by the three descriptive fields after "[inf]".
    QStringList searchByInfo(const QString &keyword, int limit);
    // Walks the page at url, exactly as passed.
    QStringList loadPage(const QString &url, int limit);

private:
    void applyRules(const CWebElement &element) override;
    void readHosts();

    QString m_searchPrefix;
    QString m_shopPrefix;
    QString m_thumbPrefix;
    QString m_pictureTemplate;
};
