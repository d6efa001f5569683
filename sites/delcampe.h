#pragma once

#include "siteparser.h"

// Delcampe, stamp items: an offer's title link completes a pair with the large-picture link seen
// last before it.
class CDelcampe : public CSiteParser
{
    Q_OBJECT
public:
    explicit CDelcampe(QObject *parent = nullptr);

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
    QString m_host;
    QString m_pictureMarker;
};
