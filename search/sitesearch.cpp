#include "sitesearch.h"

#include "sites/bidstartcom.h"
#include "sites/delcampe.h"
#include "sites/ebaycom.h"
#include "sites/googleimg.h"
#include "sites/hostconfig.h"
#include "sites/stampparsercolnectcom.h"
#include "sites/stampparserpoppestamps.h"

#include <QRegularExpression>
#include <QUrl>

namespace {

enum SiteIndex { Delcampe, Colnect, Bidstart, Ebay, Poppe, Google };

bool hasMarkers(const QString &item)
{
    return item.contains(QLatin1String("[inf]")) && item.contains(QLatin1String("[c]"));
}

// Name and number of a keyword item; the number reduced to its digits when it is not a plain
// decimal number and the digits are one.
struct KeywordKey
{
    QString name;
    QString number;
    QString reduced;
    bool plain = false;
};

bool keywordKey(const QString &item, KeywordKey *key)
{
    const QStringList pieces = item.left(item.indexOf(QLatin1String("[inf]"))).split(QLatin1String("[c]"));
    if (pieces.size() < 2)
        return false;
    key->name = pieces.at(0);
    key->number = key->reduced = pieces.at(1);
    key->number.toLongLong(&key->plain);
    if (!key->plain) {
        static const QRegularExpression nonDigits(QStringLiteral("[^0-9]"));
        const QString digits = QString(key->number).remove(nonDigits);
        bool isNumber = false;
        digits.toLongLong(&isNumber);
        if (isNumber)
            key->reduced = digits;
    }
    return true;
}

} // namespace

CSiteSearch::CSiteSearch(const bool &cancelRequested, QObject *parent)
    : QObject(parent), m_cancelRequested(cancelRequested), m_siteLabels(HostConfig::siteLabels()),
      m_knownHostLists{HostConfig::routableSites(), HostConfig::dealerHosts(), HostConfig::philatelicWords()},
      m_delcampe(new CDelcampe(this)), m_colnect(new CStampParserColnectCom(this)),
      m_bidstart(new CBidstartCom(this)), m_ebay(new CEbayCom(this)), m_poppe(new CStampParserPoppeStamps(this)),
      m_google(new CGoogleImg(this))
{
}

CSiteSearch::~CSiteSearch() = default;

void CSiteSearch::abortWait()
{
    for (CSiteParser *parser : std::initializer_list<CSiteParser *>{m_delcampe, m_colnect, m_bidstart, m_ebay,
                                                                     m_poppe, m_google})
        parser->abortWait();
}

QStringList CSiteSearch::normaliseKeywords(QStringList items)
{
    items.removeDuplicates();
    qsizetype i = 0;
    while (i < items.size()) {
        if (!hasMarkers(items.at(i))) {
            items.removeAt(i);
            continue;
        }
        KeywordKey a;
        if (!keywordKey(items.at(i), &a)) {
            ++i;
            continue;
        }
        bool removedSelf = false;
        for (qsizetype j = 0; j < items.size();) {
            if (j == i) {
                ++j;
                continue;
            }
            if (!hasMarkers(items.at(j))) {
                items.removeAt(j);
                if (j < i)
                    --i;
                continue;
            }
            KeywordKey b;
            if (!keywordKey(items.at(j), &b) || a.name != b.name || a.reduced != b.reduced) {
                ++j;
                continue;
            }
            // A plain number is the better spelling; of two that are not, only the same text repeats.
            if (!a.plain && b.plain) {
                items.removeAt(i);
                removedSelf = true;
                break;
            }
            if (a.plain || a.number == b.number) {
                items.removeAt(j);
                if (j < i)
                    --i;
                break;
            }
            ++j;
        }
        if (!removedSelf)
            ++i;
    }
    return items;
}

bool CSiteSearch::hostInList(const QStringList &list, const QString &host, int *index)
{
    for (int n = 0; n < list.size(); ++n) {
        if (host.contains(list.at(n), Qt::CaseInsensitive)) {
            *index = n;
            return true;
        }
    }
    return false;
}

QString CSiteSearch::domainOf(const QString &pageUrl)
{
    return QUrl(pageUrl).host().remove(QStringLiteral("www."), Qt::CaseInsensitive);
}

bool CSiteSearch::addHits(const QStringList &hits, const QString &source, QVector<field_ready> *list)
{
    for (qsizetype k = 0; k + 1 < hits.size(); k += 2) {
        if (m_cancelRequested)
            return false;
        field_ready record;
        record.pageUrl = hits.at(k);
        record.imageUrl = hits.at(k + 1);
        record.source = source;
        list->append(record);
    }
    return !m_cancelRequested;
}

void CSiteSearch::searchSites(QStringList keywordList, bool additional, const QString &recognitionText,
                              QVector<field_ready> *candidateList)
{
    keywordList = normaliseKeywords(keywordList);
    emit signalProgress(0);
    if (m_cancelRequested)
        return;

    // One step: every keyword item asked of one site, then the progress value of the pass.
    const auto step = [&](int site, auto &&ask, int progress) {
        for (const QString &item : std::as_const(keywordList)) {
            if (item.isEmpty())
                continue;
            if (m_cancelRequested || !addHits(ask(item), m_siteLabels.at(site), candidateList))
                return false;
        }
        emit signalProgress(progress);
        return true;
    };
    const int limit = hitLimit;
    if (!additional) {
        if (!step(Delcampe, [&](const QString &item) { return m_delcampe->searchByNumber(item, limit); }, 20)
            || !step(Colnect, [&](const QString &item) { return m_colnect->searchByNumber(item, limit); }, 40)
            || !step(Bidstart, [&](const QString &item) { return m_bidstart->searchByNumber(item, limit); }, 60)
            || !step(Ebay, [&](const QString &item) { return m_ebay->searchByNumber(item, limit); }, 60))
            return;
        emit signalProgress(80);
        if (m_cancelRequested)
            return;
        if (!step(Poppe, [&](const QString &item) {
                return m_poppe->searchByNumber(item, QStringLiteral("sgno"), limit)
                       + m_poppe->searchByNumber(item, QStringLiteral("scott_no"), limit);
            }, 80))
            return;
    } else {
        if (!step(Delcampe, [&](const QString &item) { return m_delcampe->searchByInfo(item, limit); }, 16))
            return;
        emit signalProgress(32);
        // Colnect is not asked by description; the bar still moves on, and keeps rising after Bidstart.
        if (!step(Bidstart, [&](const QString &item) { return m_bidstart->searchByInfo(item, limit); }, 40)
            || !step(Ebay, [&](const QString &item) { return m_ebay->searchByInfo(item, limit); }, 40))
            return;
    }
    if (!recognitionText.isEmpty() && !reverseImageSearch(recognitionText, candidateList))
        return;
    emit signalProgress(additional ? 50 : 99);
}

QStringList CSiteSearch::loadRoutedPage(int site, const QString &url)
{
    switch (site) {
    case Delcampe: return m_delcampe->loadPage(url, hitLimit);
    case Colnect: return m_colnect->loadPage(url, hitLimit);
    case Bidstart: return m_bidstart->loadPage(url, hitLimit);
    case Ebay: return m_ebay->loadPage(url, hitLimit);
    }
    return {};
}

bool CSiteSearch::reverseImageSearch(const QString &recognitionText, QVector<field_ready> *list)
{
    if (m_cancelRequested)
        return false;
    QStringList hits = m_google->searchByImage(recognitionText, hitLimit);
    if (m_google->m_hasMorePages && !m_cancelRequested)
        hits += m_google->searchNextPage(m_google->m_resultUrl, hitLimit, 10);

    for (qsizetype k = 0; k + 1 < hits.size(); k += 2) {
        if (m_cancelRequested)
            return false;
        field_ready record;
        record.source = m_siteLabels.at(Google);
        record.pageUrl = hits.at(k);
        record.imageUrl = hits.at(k + 1);
        record.domain = domainOf(record.pageUrl);

        int index = 0;
        if (hostInList(m_knownHostLists[0], record.domain, &index)) {
            record.kind = 1;
            // A page of a site we can read stands for its own offers, which are compared.
            const QStringList offers = index <= Ebay ? loadRoutedPage(index, record.pageUrl) : QStringList();
            if (offers.size() >= 2) {
                for (qsizetype n = 0; n + 1 < offers.size(); n += 2) {
                    if (m_cancelRequested)
                        return false;
                    field_ready offer = record;
                    offer.pageUrl = offers.at(n);
                    offer.imageUrl = offers.at(n + 1);
                    list->append(offer);
                }
                continue;
            }
        } else if (hostInList(m_knownHostLists[1], record.domain, &index)) {
            record.kind = 2;
        } else if (hostInList(m_knownHostLists[2], record.domain, &index)) {
            record.kind = 3;
        } else {
            record.kind = 4;
        }
        record.skipCompare = true;
        list->append(record);
    }
    return !m_cancelRequested;
}
