#pragma once

#include "webelement.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class CWebPage;

// What the site parsers share: the hidden page, the load-and-wait procedure, the element walk with
// its limit, the hit list (pairs of page URL and picture URL, in page order) and the reading of
// the search keyword "name[c]number[inf]field 1[i]field 2[i]field 3". Each site supplies its URLs
// and the rules its walk applies to every element.
class CSiteParser : public QObject
{
    Q_OBJECT
public:
    // How long one page may take before whatever has arrived is walked.
    static constexpr int pageTimeLimitMs = 30000;
    // Test hook: shortens (or, with 0 or less, restores) the page time limit for every parser.
    static void setPageTimeLimitForTesting(int milliseconds);
    static int pageTimeLimit();

    // Where the country tables are read from: the executable's folder + "/resources/countries".
    static QString countryTableFolder();
    // Test hook: reads the country tables from another folder (empty restores the default).
    static void setCountryTableFolderForTesting(const QString &folder);

    // Walks a page's HTML as a load would, without loading anything (tests and fuzzing): the hit
    // list its rules find, at most limit pairs.
    QStringList walkHtml(const QByteArray &html, int limit);

    // Ends the page wait of a running operation at once (the user stopped the search); the page is
    // then walked as far as it arrived.
    void abortWait() { emit signalAbortWait(); }

signals:
    void signalAbortWait();

protected:
    explicit CSiteParser(QObject *parent = nullptr);

    // Starts an operation: no pairs yet, the limit, an empty list. The two URL slots keep what the
    // previous walk left in them.
    void beginOperation(int limit);
    // Loads url into the hidden page, waits for the end of the load or the time limit, walks the
    // document as it stands, then drops it and returns the hit list.
    QStringList loadAndWalk(const QString &url);
    // Pre-order walk of the elements under parent with applyRules on each. The limit is looked at
    // only when an element is entered: once reached, the loops on the path finish their remaining
    // children without descending. Kept iterative so that no page can exhaust the stack.
    void walkElement(const CWebElement &parent);
    // One site's rules for one element; at most one rule fires.
    virtual void applyRules(const CWebElement &element) = 0;
    // Reads the site's addresses from the host configuration before a walk.
    virtual void readHosts() {}

    // Appends the pair and counts it; with unlessListed, not when imageUrl is already an element of
    // the list (exact comparison).
    void addPair(const QString &pageUrl, const QString &imageUrl, bool unlessListed);

    // Keyword split: false when the keyword lacks "[inf]" or "[c]"; otherwise head is the text before
    // the first "[inf]" and parts that text split at "[c]" (empty parts kept).
    static bool splitKeyword(const QString &keyword, QString *head, QStringList *parts);
    // The info search text "field 1+field 2" (blanks, commas and full stops as "+", double quotes
    // dropped) followed by "+field 3" unless field 3 is "0001"; false when the keyword lacks a
    // marker or its info part does not have exactly three "[i]" fields.
    static bool infoSearchText(const QString &keyword, QString *text);
    // The number search text: "name+digits of the number", or the text before "[inf]" as it is when
    // that has no "[c]"; false when the keyword lacks a marker.
    static bool numberSearchText(const QString &keyword, QString *text);
    static QString digitsOnly(const QString &text);
    // The site's key for a name part ("+" read as a blank, lower case), in lower case; empty for an
    // unknown name, which the lookup then records with an empty key.
    static QString lookupCountry(QMap<QString, QString> &table, const QString &namePart);
    // A catalogue keyword: with a name part, the site's country key for it and the number part;
    // without one, an empty key and the text before "[inf]" as the number. Returns the keyword
    // split's answer (false when a marker is missing) and whether there was a name part.
    static bool catalogueKeyAndNumber(QMap<QString, QString> &table, const QString &keyword, QString *key,
                                      QString *number, bool *named);
    // Reads a country table file: one "name<TAB>key" line each, "#" lines are comments. A name
    // whose key is not known yet has an empty key.
    static QMap<QString, QString> loadCountryTable(const QString &fileName);

    CWebPage *m_page;
    QStringList m_hits;
    QString m_pageUrl;
    QString m_imageUrl;
    qint32 m_count = 0;
    qint32 m_limit = 0;
};
