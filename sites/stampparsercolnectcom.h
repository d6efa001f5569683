#pragma once

#include "siteparser.h"

// Colnect's stamp catalogue: the list of entries with a catalogue code, in one country when the
// name part is a known country; each entry link pairs with its full-size picture.
class CStampParserColnectCom : public CSiteParser
{
    Q_OBJECT
public:
    // File of the country table in the country table folder.
    static constexpr const char *countryTableFile = "colnect.tsv";
    explicit CStampParserColnectCom(QObject *parent = nullptr);

    QStringList searchByNumber(const QString &keyword, int limit);
    QStringList loadPage(const QString &url, int limit);

private:
    void applyRules(const CWebElement &element) override;
    void readHosts() override;

    QMap<QString, QString> m_countryIds;
    QString m_host;
    QString m_thumbMarker;
};
