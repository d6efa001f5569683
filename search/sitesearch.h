#pragma once

#include "matching/field_ready.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class CBidstartCom;
class CDelcampe;
class CEbayCom;
class CGoogleImg;
class CStampParserColnectCom;
class CStampParserPoppeStamps;

// Turns the recognition server's keywords into candidate stamps: cleans up the keyword list, asks
// the stamp sites in a fixed order and appends one record per hit, tagged with its site. The first
// pass searches by catalogue number; the additional pass by description and, through the reverse
// image search, by the picture itself, whose hits are routed by the host of their page.
class CSiteSearch : public QObject
{
    Q_OBJECT
public:
    // The limit of hits asked of every site.
    static constexpr int hitLimit = 99;

    // cancelRequested is the search's flag, tested before every site query and every record added.
    CSiteSearch(const bool &cancelRequested, QObject *parent = nullptr);
    ~CSiteSearch() override;

    // Appends the hits to candidateList. recognitionText (the stored upload's identifier) turns the
    // reverse image search on.
    void searchSites(QStringList keywordList, bool additional, const QString &recognitionText,
                     QVector<field_ready> *candidateList);
    // Ends the page wait of whichever site is being asked.
    void abortWait();

    // Duplicates and items without markers removed; of two items with the same name and number
    // (compared on its digits when it is not plain) one goes, as explained in the source.
    static QStringList normaliseKeywords(QStringList items);
    // At the first entry of list that host contains (case-insensitive), index is set to it and the
    // answer is true.
    static bool hostInList(const QStringList &list, const QString &host, int *index);
    // The host of a page address with every "www." removed.
    static QString domainOf(const QString &pageUrl);

signals:
    void signalProgress(int value);

private:
    // Appends one record per pair; false when the search was cancelled meanwhile.
    bool addHits(const QStringList &hits, const QString &source, QVector<field_ready> *list);
    bool reverseImageSearch(const QString &recognitionText, QVector<field_ready> *list);
    QStringList loadRoutedPage(int site, const QString &url);

    const bool &m_cancelRequested;
    QStringList m_siteLabels;
    QStringList m_knownHostLists[3];
    CDelcampe *m_delcampe;
    CStampParserColnectCom *m_colnect;
    CBidstartCom *m_bidstart;
    CEbayCom *m_ebay;
    CStampParserPoppeStamps *m_poppe;
    CGoogleImg *m_google;
};
