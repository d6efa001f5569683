#include "googleimg.h"

#include "htmldocument.h"
#include "webpagefirefox.h"
#include "hostconfig.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

CGoogleImg::CGoogleImg(QObject *parent) : CSiteParser(parent), m_firefoxPage(new QWebPageFirefox)
{
}

CGoogleImg::~CGoogleImg()
{
    delete m_firefoxPage;
}

QString CGoogleImg::searchUrl(const QString &imageId)
{
    // A configured search engine may name its own scheme (a local stand-in speaks plain http).
    QString engine = HostConfig::global().value(QStringLiteral("search_engine"));
    if (!engine.contains(QLatin1String("://")))
        engine.prepend(QLatin1String("https://"));
    return engine + QStringLiteral("/searchbyimage?image_url=http://")
           + HostConfig::global().value(QStringLiteral("recognition")) + QStringLiteral("/db3/process/") + imageId
           + QStringLiteral(".jpg");
}

QStringList CGoogleImg::searchByImage(const QString &imageId, int limit)
{
    beginOperation(limit);
    m_hasMorePages = false;
    return loadWalkAndKeep(searchUrl(imageId));
}

QStringList CGoogleImg::searchNextPage(const QString &baseUrl, int limit, int start)
{
    beginOperation(limit);
    m_hasMorePages = false;
    return loadWalkAndKeep(baseUrl + QStringLiteral("&start=") + QString::number(start));
}

QStringList CGoogleImg::loadWalkAndKeep(const QString &url)
{
    {
        QTimer timer;
        timer.setSingleShot(true);
        QEventLoop loop;
        connect(m_firefoxPage, &QWebEnginePage::loadFinished, &loop, &QEventLoop::quit);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &CSiteParser::signalAbortWait, &loop, &QEventLoop::quit);
        m_firefoxPage->load(QUrl(url));
        timer.start(pageTimeLimit());
        loop.exec();
    }

    // The page as its scripts left it. A page whose scripts never yield gives no tree in time,
    // and is then walked as empty.
    QString html;
    {
        QTimer timer;
        timer.setSingleShot(true);
        QEventLoop loop;
        bool answered = false;
        const QPointer<QEventLoop> guard(&loop);
        m_firefoxPage->runJavaScript(QStringLiteral("document.documentElement ? document.documentElement.outerHTML : ''"),
                                     [&html, &answered, guard](const QVariant &result) {
                                         if (!guard)
                                             return; // the wait is over; the answer comes too late
                                         html = result.toString();
                                         answered = true;
                                         guard->quit();
                                     });
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &CSiteParser::signalAbortWait, &loop, &QEventLoop::quit);
        timer.start(snapshotTimeLimitMs);
        if (!answered)
            loop.exec();
    }
    walkElement(CHtmlDocument::fromHtml(html)->documentElement());
    m_resultUrl = m_firefoxPage->url().toString();
    m_firefoxPage->load(QUrl(QStringLiteral("about:blank")));
    return m_hits;
}

void CGoogleImg::applyRules(const CWebElement &element)
{
    const QString tag = element.tagName().toLower();
    const QString cls = element.attribute(QStringLiteral("class")).toLower();
    const CWebElement parent = element.parent();
    const QString parentTag = parent.tagName().toLower();
    const QString parentClass = parent.attribute(QStringLiteral("class")).toLower();

    if (parentTag == QLatin1String("h3") && parentClass == QLatin1String("r") && tag == QLatin1String("a")) {
        m_pageUrl = element.attribute(QStringLiteral("href")).toLower();
    } else if (tag == QLatin1String("img")
               && element.attribute(QStringLiteral("src")).contains(QLatin1String("://encrypted"), Qt::CaseInsensitive)) {
        m_imageUrl = element.attribute(QStringLiteral("src"));
        addPair(m_pageUrl, m_imageUrl, false);
    } else if (tag == QLatin1String("span") && cls == QLatin1String("csb gbil ch")) {
        m_hasMorePages = true;
    }
}
