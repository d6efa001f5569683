#pragma once

#include "auctionparser.h"

// eBay, stamp category: offer links ("/itm/") paired with the 225-pixel pictures that follow them.
class CEbayCom : public CAuctionParser
{
    Q_OBJECT
public:
    explicit CEbayCom(QObject *parent = nullptr);

private:
    void applyRules(const CWebElement &element) override;
    void readHosts() override;
    QString treatNumberText(QString text) const override;

    QString m_itemPrefix;
    QString m_pictureMarker;
};
