#include "siteparser.h"

#include "htmldocument.h"
#include "webpage.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>

#include <vector>

namespace {
int pageTimeLimitOverride = 0;
QString countryFolderOverride;
} // namespace

void CSiteParser::setPageTimeLimitForTesting(int milliseconds)
{
    pageTimeLimitOverride = milliseconds;
}

int CSiteParser::pageTimeLimit()
{
    return pageTimeLimitOverride > 0 ? pageTimeLimitOverride : pageTimeLimitMs;
}

QString CSiteParser::countryTableFolder()
{
    if (!countryFolderOverride.isEmpty())
        return countryFolderOverride;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/resources/countries");
}

void CSiteParser::setCountryTableFolderForTesting(const QString &folder)
{
    countryFolderOverride = folder;
}

CSiteParser::CSiteParser(QObject *parent) : QObject(parent), m_page(new CWebPage(this))
{
}

void CSiteParser::beginOperation(int limit)
{
    m_count = 0;
    m_limit = limit - 1;
    m_hits.clear();
}

QStringList CSiteParser::loadAndWalk(const QString &url)
{
    QTimer timer;
    timer.setSingleShot(true);
    QEventLoop loop;
    connect(m_page, &CWebPage::loadFinished, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &CSiteParser::signalAbortWait, &loop, &QEventLoop::quit);
    m_page->load(QUrl(url));
    timer.start(pageTimeLimit());
    loop.exec();
    walkElement(m_page->documentElement());
    m_page->load(QUrl(QStringLiteral("about:blank")));
    return m_hits;
}

QStringList CSiteParser::walkHtml(const QByteArray &html, int limit)
{
    beginOperation(limit);
    readHosts();
    walkElement(CHtmlDocument::parse(html)->documentElement());
    return m_hits;
}

void CSiteParser::walkElement(const CWebElement &parent)
{
    if (m_count > m_limit)
        return;
    // One entry per element entered: the next child of it still to be visited.
    std::vector<CWebElement> nextChild;
    nextChild.push_back(parent.firstChild());
    while (!nextChild.empty()) {
        CWebElement &slot = nextChild.back();
        if (slot.isNull()) {
            nextChild.pop_back();
            continue;
        }
        const CWebElement child = slot;
        slot = child.nextSibling();
        applyRules(child);
        if (m_count > m_limit)
            continue; // entering the child would return at once
        nextChild.push_back(child.firstChild());
    }
}

void CSiteParser::addPair(const QString &pageUrl, const QString &imageUrl, bool unlessListed)
{
    if (unlessListed && m_hits.contains(imageUrl))
        return;
    m_hits << pageUrl << imageUrl;
    ++m_count;
}

bool CSiteParser::splitKeyword(const QString &keyword, QString *head, QStringList *parts)
{
    if (!keyword.contains(QLatin1String("[inf]")) || !keyword.contains(QLatin1String("[c]")))
        return false;
    *head = keyword.split(QStringLiteral("[inf]")).first();
    *parts = head->split(QStringLiteral("[c]"));
    return true;
}

bool CSiteParser::infoSearchText(const QString &keyword, QString *text)
{
    if (!keyword.contains(QLatin1String("[inf]")) || !keyword.contains(QLatin1String("[c]")))
        return false;
    const QString info = keyword.split(QStringLiteral("[inf]")).at(1);
    const QStringList fields = info.split(QStringLiteral("[i]"));
    if (fields.size() != 3)
        return false;
    QString search = fields.at(0) + QLatin1Char('+') + fields.at(1);
    search.replace(QLatin1Char(' '), QLatin1Char('+'))
        .replace(QLatin1Char(','), QLatin1Char('+'))
        .replace(QLatin1Char('.'), QLatin1Char('+'))
        .remove(QLatin1Char('"'));
    if (fields.at(2) != QLatin1String("0001"))
        search += QLatin1Char('+') + fields.at(2);
    *text = search;
    return true;
}

bool CSiteParser::numberSearchText(const QString &keyword, QString *text)
{
    QString head;
    QStringList parts;
    if (!splitKeyword(keyword, &head, &parts))
        return false;
    *text = parts.size() >= 2 ? parts.at(0) + QLatin1Char('+') + digitsOnly(parts.at(1)) : head;
    return true;
}

bool CSiteParser::catalogueKeyAndNumber(QMap<QString, QString> &table, const QString &keyword, QString *key,
                                        QString *number, bool *named)
{
    QString head;
    QStringList parts;
    if (!splitKeyword(keyword, &head, &parts))
        return false;
    *named = parts.size() >= 2;
    *key = *named ? lookupCountry(table, parts.at(0)) : QString();
    *number = *named ? parts.at(1) : head;
    return true;
}

QString CSiteParser::lookupCountry(QMap<QString, QString> &table, const QString &namePart)
{
    const QString name = namePart.toLower().replace(QLatin1Char('+'), QLatin1Char(' '));
    return table[name].toLower();
}

QString CSiteParser::digitsOnly(const QString &text)
{
    static const QRegularExpression nonDigit(QStringLiteral("[^0-9]"));
    return QString(text).remove(nonDigit);
}

QMap<QString, QString> CSiteParser::loadCountryTable(const QString &fileName)
{
    QMap<QString, QString> table;
    QFile file(countryTableFolder() + QLatin1Char('/') + fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug("country table missing: %s", qPrintable(file.fileName()));
        return table;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype tab = line.indexOf(QLatin1Char('\t'));
        if (tab < 0)
            table.insert(line.trimmed(), QString());
        else
            table.insert(line.left(tab).trimmed(), line.mid(tab + 1).trimmed());
    }
    return table;
}
