#pragma once

#include "auctionparser.h"

// Bidstart with the StampWants shop: an offer link that comes twice in a row, with its thumbnail
// between, gives the offer and the site's 999-pixel rendering of that picture.
class CBidstartCom : public CAuctionParser
{
    Q_OBJECT
public:
    explicit CBidstartCom(QObject *parent = nullptr);

private:
    void applyRules(const CWebElement &element) override;
    void readHosts() override;
    QString treatNumberText(QString text) const override;

    QString m_shopPrefix;
    QString m_thumbPrefix;
    QString m_pictureTemplate;
};
