#include "searchreport.h"

#include "sites/wholefile.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QUrl>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// The site a thumbnail's caption names: the site label, or for reverse-image-search hits the host.
QString siteOf(const field_ready &record)
{
    return record.kind > 0 ? record.domain : record.source;
}

QString evidencePicture(qsizetype i)
{
    return QString::number(i) + QStringLiteral("-evidence.jpg");
}

// Where a report's parts go; empty names when the path has no folder or no base name.
struct Layout
{
    explicit Layout(const QString &reportPath)
    {
        const qsizetype slash = reportPath.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            folder = reportPath.left(slash) + QLatin1Char('/');
        fileName = reportPath.mid(slash + 1);
        const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
        baseName = dot < 0 ? fileName : fileName.left(dot);
    }
    bool isValid() const { return !folder.isEmpty() && !baseName.isEmpty(); }
    QString pictureFolder() const { return folder + baseName + QLatin1Char('/'); }

    QString folder;
    QString fileName;
    QString baseName;
};

// The pictures a report writes: 0.jpg, 1.jpg, ... and companions such as 0-evidence.jpg.
bool isReportPicture(const QString &name)
{
    static const QRegularExpression numbered(QStringLiteral("^[0-9]+(-[a-z]+)?\\.jpg$"));
    return numbered.match(name).hasMatch();
}

QStringList reportPictures(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::System | QDir::Hidden);
    names.removeIf([](const QString &name) { return !isReportPicture(name); });
    return names;
}

// rename(2): replaces the target, unlike QFile::rename.
bool replaceWith(const QString &from, const QString &to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

QString failure(const QString &path, const QString &reason)
{
    return path + QStringLiteral(": ") + reason;
}

} // namespace

QByteArray CSearchReport::pageText(const QString &baseName, const QVector<field_ready> &resultList,
                                   const QString &outcome, const CMatchEvidence::Translator &tr)
{
    QByteArray page = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
                      "<title>report</title></head><body>";
    // A line of its own, so that a script finds it without reading markup.
    if (!outcome.isEmpty())
        page += "\n<p>" + escapedText(outcome) + "</p>\n";
    const QByteArray folder = QUrl::toPercentEncoding(baseName);
    for (qsizetype i = 0; i < resultList.size(); ++i) {
        page += "<p><a href=\"" + attributeValue(pageAddress(resultList.at(i).pageUrl)) + "\"><img border=\"0\" src=\""
                + attributeValue(folder + '/' + QByteArray::number(i) + ".jpg") + "\"></a></p>";
        const field_ready &record = resultList.at(i);
        if (!record.evidence.isEmpty()) {
            page += "<div class=\"evidence\"><p>" + escapedText(siteOf(record)) + "<br>"
                    + escapedText(record.evidence.agreementText(tr)) + "</p><img border=\"0\" src=\""
                    + attributeValue(folder + '/' + evidencePicture(i).toLatin1()) + "\"></div>";
        }
    }
    page += "</body></html>";
    return page;
}

CSearchReport::PathCheck CSearchReport::checkPath(const QString &path)
{
    const QFileInfo file(path);
    if (file.isDir())
        return PathIsFolder;
    if (!Layout(path).isValid())
        return PathNotAFile;
    return PathUsable;
}

QString CSearchReport::previousFolder(const QString &reportPath)
{
    const Layout layout(reportPath);
    return layout.folder + QLatin1Char('.') + layout.fileName + QStringLiteral(".previous/");
}

void CSearchReport::setAside(const QString &reportPath)
{
    const Layout layout(reportPath);
    if (!layout.isValid())
        return;
    const QString page = layout.folder + layout.fileName;
    const bool hasPage = QFileInfo(page).isFile();
    const QStringList pictures = reportPictures(layout.pictureFolder());
    if (!hasPage && pictures.isEmpty())
        return;
    QDir previous(previousFolder(reportPath));
    previous.removeRecursively();
    const bool kept = QDir().mkpath(previous.filePath(layout.baseName));
    // What cannot be kept goes all the same: left in place it would pass for the new search's.
    const auto move = [kept](const QString &from, const QString &to) {
        if (!kept || !replaceWith(from, to))
            QFile::remove(from);
    };
    if (hasPage)
        move(page, previous.filePath(layout.fileName));
    for (const QString &name : pictures)
        move(layout.pictureFolder() + name, previous.filePath(layout.baseName + QLatin1Char('/') + name));
}

void CSearchReport::dropPrevious(const QString &reportPath)
{
    if (Layout(reportPath).isValid())
        QDir(previousFolder(reportPath)).removeRecursively();
}

QString CSearchReport::write(const QString &reportPath, const QVector<field_ready> &resultList,
                             const QString &outcome, const CMatchEvidence::Translator &tr)
{
    QList<QImage> pictures;
    QList<std::pair<QString, QImage>> evidence;
    for (qsizetype i = 0; i < resultList.size(); ++i) {
        const field_ready &result = resultList.at(i);
        pictures << result.image;
        if (!result.evidence.isEmpty())
            evidence.append({evidencePicture(i), result.evidence.outlined(result.image)});
    }
    return writePage(reportPath, [&](const QString &baseName) { return pageText(baseName, resultList, outcome, tr); },
                     pictures, evidence);
}

QString CSearchReport::writePage(const QString &reportPath, const std::function<QByteArray(const QString &)> &page,
                                 const QList<QImage> &pictures, const QList<std::pair<QString, QImage>> &namedPictures)
{
    const Layout layout(reportPath);
    if (!layout.isValid()) {
        qDebug("report path error");
        return failure(reportPath, QStringLiteral("not a file in a folder"));
    }
    const QString pictureFolder = layout.pictureFolder();
    if (!QDir().mkpath(layout.folder) || !QDir().mkpath(pictureFolder)) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        qDebug("creat report path error");
        return failure(pictureFolder, reason);
    }

    // The pictures are written into a folder of their own first, each flushed to disk, and take
    // their place only when all of them are whole.
    const QString writing = layout.folder + QLatin1Char('.') + layout.baseName + QLatin1Char('.')
                            + QString::number(QCoreApplication::applicationPid()) + QStringLiteral(".writing/");
    QDir(writing).removeRecursively();
    const auto cleanUp = qScopeGuard([writing] { QDir(writing).removeRecursively(); });
    if (!QDir().mkdir(writing)) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        qDebug("creat report path error");
        return failure(writing, reason);
    }
    QList<std::pair<QString, QImage>> named;
    for (qsizetype i = 0; i < pictures.size(); ++i)
        named.append({QString::number(i) + QStringLiteral(".jpg"), pictures.at(i)});
    named += namedPictures;
    for (const auto &[name, picture] : std::as_const(named)) {
        // A picture that cannot be encoded leaves its reference dangling, as it always did.
        QByteArray jpeg;
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        if (picture.isNull() || !QImageWriter(&buffer, "jpg").write(picture))
            continue;
        const QString error = CWholeFile::write(writing + name, jpeg);
        if (!error.isEmpty()) {
            qDebug("save report error");
            return error;
        }
    }
    // The whole folder in one step when the old one is empty; else picture by picture, so that
    // the user's own files beside them stay.
    const QStringList written = reportPictures(writing);
    const bool folderMoved = QDir(pictureFolder).isEmpty() && QDir().rmdir(pictureFolder)
                             && replaceWith(writing, pictureFolder);
    if (!folderMoved) {
        QDir().mkpath(pictureFolder);
        for (const QString &name : written) {
            if (!replaceWith(writing + name, pictureFolder + name)) {
                const QString reason = QString::fromLocal8Bit(std::strerror(errno));
                qDebug("save report error");
                for (const QString &placed : written)
                    QFile::remove(pictureFolder + placed);
                return failure(pictureFolder + name, reason);
            }
        }
    }

    // The page last, written whole or not at all: it never refers to pictures that are not there.
    const QString error = CWholeFile::write(reportPath, page(layout.baseName));
    if (!error.isEmpty()) {
        qDebug("save report error");
        for (const QString &placed : written)
            QFile::remove(pictureFolder + placed);
        return error;
    }
    return {};
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
