#include "webpagefirefox.h"

#include <QCoreApplication>
#include <QWebEngineProfile>

namespace {
const QString firefoxUserAgent =
    QStringLiteral("Mozilla/5.0 (Windows NT 6.1; WOW64; rv:24.0) Gecko/20100101 Firefox/24.0");
}

QWebPageFirefox::QWebPageFirefox(QObject *parent) : QWebEnginePage(firefoxProfile(), parent)
{
}

QString QWebPageFirefox::userAgentForUrl(const QUrl &) const
{
    return firefoxUserAgent;
}

QWebEngineProfile *QWebPageFirefox::firefoxProfile()
{
    // Lives as long as the application, after every page that uses it.
    static QWebEngineProfile *profile = [] {
        auto *created = new QWebEngineProfile(QCoreApplication::instance());
        created->setHttpUserAgent(firefoxUserAgent);
        return created;
    }();
    return profile;
}
