#include "searchreport.h"

#include <QDebug>
#include <QDir>
#include <QSaveFile>
#include <QUrl>

namespace {

QByteArray attributeValue(const QByteArray &encoded)
{
    QByteArray text = encoded;
    text.replace('&', "&amp;").replace('"', "&quot;").replace('<', "&lt;").replace('>', "&gt;");
    return text;
}

// A match's page as a link: web addresses only, so a hostile site cannot plant a script link.
QByteArray pageAddress(const QString &pageUrl)
{
    const QUrl url(pageUrl, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return {};
    return url.toEncoded();
}

} // namespace

QByteArray CSearchReport::pageText(const QString &baseName, const QVector<field_ready> &resultList)
{
    QByteArray page = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
                      "<title>report</title></head><body>";
    const QByteArray folder = QUrl::toPercentEncoding(baseName);
    for (qsizetype i = 0; i < resultList.size(); ++i) {
        page += "<p><a href=\"" + attributeValue(pageAddress(resultList.at(i).pageUrl)) + "\"><img border=\"0\" src=\""
                + attributeValue(folder + '/' + QByteArray::number(i) + ".jpg") + "\"></a></p>";
    }
    page += "</body></html>";
    return page;
}

void CSearchReport::write(const QString &reportPath, const QVector<field_ready> &resultList)
{
    QList<QImage> pictures;
    for (const field_ready &result : resultList)
        pictures << result.image;
    writePage(reportPath, [&resultList](const QString &baseName) { return pageText(baseName, resultList); }, pictures);
}

bool CSearchReport::writePage(const QString &reportPath, const std::function<QByteArray(const QString &)> &page,
                              const QList<QImage> &pictures)
{
    const qsizetype slash = reportPath.lastIndexOf(QLatin1Char('/'));
    QString folder = slash < 0 ? QString() : reportPath.left(slash);
    const QString fileName = reportPath.mid(slash + 1);
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString baseName = dot < 0 ? fileName : fileName.left(dot);
    if (folder.isEmpty() || baseName.isEmpty()) {
        qDebug("report path error");
        return false;
    }
    folder += QLatin1Char('/');
    const QString pictureFolder = folder + baseName + QLatin1Char('/');
    if (!QDir().mkpath(folder) || !QDir().mkpath(pictureFolder)) {
        qDebug("creat report path error");
        return false;
    }
    bool ok = true;
    for (qsizetype i = 0; i < pictures.size(); ++i)
        ok &= pictures.at(i).save(pictureFolder + QString::number(i) + QStringLiteral(".jpg"));

    // Written whole or not at all: an old report is never left half overwritten.
    QSaveFile file(reportPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(page(baseName)) < 0 || !file.commit()) {
        qDebug("save report error");
        return false;
    }
    return ok;
}

QByteArray CSearchReport::escapedText(const QString &text)
{
    QByteArray escaped;
    for (const uint code : text.toUcs4()) {
        if (code == '&')
            escaped += "&amp;";
        else if (code == '<')
            escaped += "&lt;";
        else if (code == '>')
            escaped += "&gt;";
        else if (code == '"')
            escaped += "&quot;";
        else if (code >= 0x20 && code < 0x7f)
            escaped += char(code);
        else
            escaped += "&#" + QByteArray::number(code) + ';';
    }
    return escaped;
}
