#pragma once

#include "auctionparser.h"

// Delcampe, stamp items: an offer's title link completes a pair with the large-picture link seen
// last before it.
class CDelcampe : public CAuctionParser
{
    Q_OBJECT
public:
    explicit CDelcampe(QObject *parent = nullptr);

private:
    void applyRules(const CWebElement &element) override;
    void readHosts() override;

    QString m_host;
    QString m_pictureMarker;
};
