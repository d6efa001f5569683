#pragma once

#include "siteparser.h"

// Poppe Stamps' catalogue: the entries of a country with a number in a catalogue numbering
// ("sgno", "scott_no"); each entry link pairs with every picture marked "poppe-stamps" after it.
class CStampParserPoppeStamps : public CSiteParser
{
    Q_OBJECT
public:
    // File of the country table in the country table folder.
    static constexpr const char *countryTableFile = "poppe.tsv";
    explicit CStampParserPoppeStamps(QObject *parent = nullptr);

    QStringList searchByNumber(const QString &keyword, const QString &catalogueField, int limit);

private:
    void applyRules(const CWebElement &element) override;
    void readHosts() override;

    QMap<QString, QString> m_countryIds;
    QString m_host;
};
