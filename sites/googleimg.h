#pragma once

#include "siteparser.h"

class QWebPageFirefox;

// The reverse image search: the search engine is given the address of the picture the recognition
// server keeps, in a page that runs scripts and loads pictures like a desktop browser, and the page
// as it stands after loading is walked for result links and their thumbnails.
class CGoogleImg : public CSiteParser
{
    Q_OBJECT
public:
    explicit CGoogleImg(QObject *parent = nullptr);
    ~CGoogleImg() override;

    QStringList searchByImage(const QString &imageId, int limit);
    QStringList searchNextPage(const QString &baseUrl, int limit, int start);

    // The search address for a picture kept by the recognition server.
    static QString searchUrl(const QString &imageId);

    // The address the last result page ended on, and whether it offered a further page.
    QString m_resultUrl;
    bool m_hasMorePages = false;

    // Longest wait for the page's element tree once the page has loaded (or its time is up).
    static constexpr int snapshotTimeLimitMs = 5000;

private:
    QStringList loadWalkAndKeep(const QString &url);
    void applyRules(const CWebElement &element) override;

    QWebPageFirefox *m_firefoxPage;
};
