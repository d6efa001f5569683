#pragma once

#include <QWebEnginePage>

class QWebEngineProfile;

// A web engine page that presents itself to every site as a desktop Firefox. Used where pages must
// run as in a real browser: the reverse image search and the embedded browser.
class QWebPageFirefox : public QWebEnginePage
{
    Q_OBJECT
public:
    explicit QWebPageFirefox(QObject *parent = nullptr);

    // The user agent every request of the page reports, whatever the URL.
    QString userAgentForUrl(const QUrl &url) const;

    // The profile all these pages share: off the record, with the fixed user agent.
    static QWebEngineProfile *firefoxProfile();
};
