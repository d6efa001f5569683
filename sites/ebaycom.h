#pragma once

#include "siteparser.h"

// eBay, stamp category: offer links ("/itm/") paired with the 225-pixel pictures that follow them.
class CEbayCom : public CSiteParser
{
    Q_OBJECT
public:
    explicit CEbayCom(QObject *parent = nullptr);

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
    QString m_itemPrefix;
    QString m_pictureMarker;
};
