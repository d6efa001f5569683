#pragma once

#include "siteparser.h"

// What the three auction sites share: a search by name and catalogue number, a search by the
// descriptive fields, and the walk of a given page, all through one search address per site.
class CAuctionParser : public CSiteParser
{
    Q_OBJECT
public:
    // Searches by name and catalogue number ("Germany[c]Mi 123a[inf]..." searches "Germany+123").
    QStringList searchByNumber(const QString &keyword, int limit);
    // Searches by the three descriptive fields after "[inf]".
    QStringList searchByInfo(const QString &keyword, int limit);
    // Walks the page at url, exactly as passed.
    QStringList loadPage(const QString &url, int limit);

protected:
    explicit CAuctionParser(QObject *parent = nullptr);

    // Reads the site's addresses from the host configuration, m_searchPrefix among them; called at
    // the start of every operation so that a changed configuration counts at once.
    void readHosts() override = 0;
    // The site's own treatment of a number search text.
    virtual QString treatNumberText(QString text) const { return text; }

    QString m_searchPrefix;
};
